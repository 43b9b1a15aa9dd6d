// The mirror view: a scene and view, the mirror item with one cell per actuator or one tile per segment,
// and the colour table the cells are painted with.
#include "dmview.h"

#include "surfacepictures.h"
#include "surfaceview.h"

#include <QBrush>
#include <QGraphicsEllipseItem>
#include <QGraphicsRectItem>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsSceneMouseEvent>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <climits>
#include <cmath>

QVector<QRgb> makeColorTable(const QPalette& palette, bool grey) {
    QVector<QRgb> table(256);
    for (int i = 0; i < 255; ++i) {
        if (grey) {
            table[i] = qRgb(i, i, i);
            continue;
        }
        const double hue = 240.0 - i * 240.0 / 255.0;
        const double x = hue / 60.0;
        const int k = static_cast<int>(std::floor(x));
        const double f = x - k;
        double r = 0, g = 0, b = 0;
        switch (k) {
            case 0: r = 1; g = f; b = 0; break;
            case 1: r = 1 - f; g = 1; b = 0; break;
            case 2: r = 0; g = 1; b = f; break;
            case 3: r = 0; g = 1 - f; b = 1; break;
            default: r = f; g = 0; b = 1; break;
        }
        table[i] = qRgb(static_cast<int>(r * 255), static_cast<int>(g * 255), static_cast<int>(b * 255));
    }
    table[255] = palette.color(QPalette::Window).rgb();
    return table;
}

int colorIndex(double value) { return colorIndexOf(value); }

// ---- scene and view ----

DMScene::DMScene(QObject* parent) : QGraphicsScene(parent) {
    // The cells never move but change colour often: no spatial index to keep up to date.
    setItemIndexMethod(QGraphicsScene::NoIndex);
    connect(this, &QGraphicsScene::focusItemChanged, this, &DMScene::handleFocusChanged);
}

void DMScene::handleFocusChanged(QGraphicsItem* newFocusItem, QGraphicsItem* oldFocusItem, Qt::FocusReason) {
    // An editor that loses focus to the scene background is closed by its own lostFocus signal; nothing else
    // in the scene takes focus, so only keep the view's idea of the focus in step.
    Q_UNUSED(newFocusItem);
    Q_UNUSED(oldFocusItem);
}

void DMScene::mousePressEvent(QGraphicsSceneMouseEvent* event) {
    QGraphicsScene::mousePressEvent(event);
    // A click inside an open editor belongs to the editor. Under the pointer a tile carries its hover marker:
    // the click belongs to the tile the topmost item sits in, whatever small item is drawn on it.
    if (QGraphicsItem* under = itemAt(event->scenePos(), QTransform())) {
        if (under->isWidget() || (under->parentItem() && under->parentItem()->isWidget())) return;
        for (QGraphicsItem* item = under; item; item = item->parentItem()) {
            if (item->type() == MirrorKit::DMSegmentGraphicsItem::Type) {
                emit segmentClicked(static_cast<MirrorKit::DMSegmentGraphicsItem*>(item)->segment(),
                                    event->scenePos());
                return;
            }
        }
    }
    emit mouseClicked(event->scenePos());
}

void DMScene::mouseMoveEvent(QGraphicsSceneMouseEvent* event) {
    QGraphicsScene::mouseMoveEvent(event);
    emit mouseOver(event->scenePos());
}

DMView::DMView(QWidget* parent) : QGraphicsView(parent) {
    setRenderHint(QPainter::Antialiasing, false);
    setRenderHint(QPainter::SmoothPixmapTransform, true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setMouseTracking(true);
    // The mirror is one item that asks for the rectangle of the cells that changed: repaint just that.
    setViewportUpdateMode(QGraphicsView::BoundingRectViewportUpdate);
    setOptimizationFlags(QGraphicsView::DontSavePainterState | QGraphicsView::DontAdjustForAntialiasing);
    makeOpaque(viewport());
}

void DMView::setupViewport(QWidget* widget) {
    QGraphicsView::setupViewport(widget);
    makeOpaque(widget);
}

// The viewport is not filled before each paint: drawBackground fills what the mirror's picture leaves, so the
// picture's pixels are written once. (Without the opaque attribute, the widgets under the viewport would be
// painted again instead.)
void DMView::makeOpaque(QWidget* widget) {
    widget->setAutoFillBackground(false);
    widget->setAttribute(Qt::WA_OpaquePaintEvent);
}

void DMView::resizeEvent(QResizeEvent* event) {
    QGraphicsView::resizeEvent(event);
    if (scene()) fitInView(sceneRect(), Qt::KeepAspectRatio);
}

void DMView::drawBackground(QPainter* painter, const QRectF& rect) {
    const QTransform world = painter->worldTransform();
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    // The device pixels the mirror's picture covers, placed as the item places them.
    QRect picture;
    if (mirror_ && mirror_->isVisible() && mirror_->opaque())
        picture = mirror_->pictureOnDevice(mirror_->sceneTransform() * world, ratio);
    // What the viewport's own fill would show, under the view's or scene's background.
    QBrush brush = backgroundBrush();
    if (brush.style() == Qt::NoBrush && scene()) brush = scene()->backgroundBrush();
    const QBrush base = viewport()->palette().brush(viewport()->backgroundRole());
    // Device pixels, so that no pixel at a picture's edge is left unfilled or filled twice.
    const QRect all(QPoint(0, 0), viewport()->size() * ratio);
    QRect bands[4];
    if (picture.isEmpty() || !picture.intersects(all)) {
        bands[0] = all;
    } else {
        const QRect p = picture & all;
        bands[0] = QRect(all.left(), all.top(), all.width(), p.top() - all.top());
        bands[1] = QRect(all.left(), p.bottom() + 1, all.width(), all.bottom() - p.bottom());
        bands[2] = QRect(all.left(), p.top(), p.left() - all.left(), p.height());
        bands[3] = QRect(p.right() + 1, p.top(), all.right() - p.right(), p.height());
    }
    const bool plain = brush.style() == Qt::SolidPattern;
    const bool covers = plain && brush.isOpaque();
    painter->setWorldTransform(QTransform::fromScale(1.0 / ratio, 1.0 / ratio));
    for (const QRect& band : bands) {
        if (band.isEmpty()) continue;
        if (!covers) painter->fillRect(band, base);
        if (plain) painter->fillRect(band, brush);
    }
    painter->setWorldTransform(world);
    // A patterned background keeps its own origin: drawn in scene units over all that is exposed, as before.
    if (!plain && brush.style() != Qt::NoBrush) QGraphicsView::drawBackground(painter, rect);
}

namespace MirrorKit {

// ---- segment tiles ----

DMSegmentGraphicsItem::DMSegmentGraphicsItem(int segment, std::vector<int> actuators, const QPolygonF& shape,
                                             QGraphicsItem* parent)
    : QGraphicsPolygonItem(shape, parent), segment_(segment), actuators_(std::move(actuators)) {
    setAcceptHoverEvents(true);
}

void DMSegmentGraphicsItem::setColors(const std::vector<double>& frame, const QVector<QRgb>& table) {
    auto indexOf = [&](size_t k) {
        const int a = actuators_[k];
        return a >= 0 && static_cast<size_t>(a) < frame.size() ? colorIndex(frame[static_cast<size_t>(a)]) : 0;
    };
    if (actuators_.size() == 1) {
        setBrush(QColor(table[indexOf(0)]));
    } else if (actuators_.size() == 2) {
        const QRectF r = polygon().boundingRect();
        QLinearGradient gradient(r.topLeft(), r.bottomRight());
        gradient.setColorAt(0, QColor(table[indexOf(0)]));
        gradient.setColorAt(1, QColor(table[indexOf(1)]));
        setBrush(gradient);
    } else if (actuators_.size() >= 3) {
        // Piston/tip/tilt segment: a 3 x 3 indexed image, the three actuators at three corners, smoothed.
        const int a = indexOf(0), b = indexOf(1), c = indexOf(2);
        int px[3][3];  // [row][column]
        px[2][2] = a;
        px[0][2] = b;
        px[2][0] = c;
        px[1][2] = (a + b) / 2;
        px[2][1] = (a + c) / 2;
        px[1][1] = (a + 2 * b + c) / 4;
        px[0][1] = (b + px[1][1]) / 2;
        px[1][0] = (c + px[1][1]) / 2;
        const int lo = std::min(px[0][1], px[1][0]), hi = std::max(px[0][1], px[1][0]);
        px[0][0] = px[1][1] >= lo && px[1][1] <= hi ? (px[0][1] + px[1][0]) / 2 : px[1][1];
        QImage image(3, 3, QImage::Format_Indexed8);
        image.setColorTable(table);
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 3; ++col) image.setPixel(col, r, static_cast<uint>(px[r][col]));
        const QRectF box = polygon().boundingRect();
        const QImage smooth =
            image.convertToFormat(QImage::Format_RGB32).scaled(48, 48, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QBrush brush(smooth);
        QTransform t;
        t.translate(box.left(), box.top());
        t.scale(box.width() / 48.0, box.height() / 48.0);
        brush.setTransform(t);
        setBrush(brush);
    }
}

void DMSegmentGraphicsItem::hoverEnterEvent(QGraphicsSceneHoverEvent* event) {
    if (!marker_) {
        marker_ = new QGraphicsEllipseItem(-0.1, -0.1, 0.2, 0.2, this);
        QPen pen(Qt::black);
        pen.setWidthF(0.04);
        marker_->setPen(pen);
        marker_->setBrush(Qt::NoBrush);
        marker_->setAcceptedMouseButtons(Qt::NoButton);
    }
    marker_->setPos(event->pos());
    marker_->show();
}

void DMSegmentGraphicsItem::hoverMoveEvent(QGraphicsSceneHoverEvent* event) {
    if (marker_) marker_->setPos(event->pos());
}

void DMSegmentGraphicsItem::hoverLeaveEvent(QGraphicsSceneHoverEvent*) {
    if (marker_) marker_->hide();
}

namespace {
QPolygonF hexagon(QPointF c, double radius) {
    QPolygonF p;
    for (int k = 0; k < 6; ++k) {
        const double angle = M_PI / 6.0 + k * M_PI / 3.0;  // pointy top
        p << QPointF(c.x() + radius * std::cos(angle), c.y() + radius * std::sin(angle));
    }
    return p;
}
QPolygonF square(QPointF c, double side) { return QPolygonF(QRectF(c.x() - side / 2, c.y() - side / 2, side, side)); }
}  // namespace

DMHexSegmentGraphicsItem::DMHexSegmentGraphicsItem(int segment, std::vector<int> actuators, QPointF centre,
                                                   double radius, QGraphicsItem* parent)
    : DMSegmentGraphicsItem(segment, std::move(actuators), hexagon(centre, radius), parent) {}

DMSquareSegmentGraphicsItem::DMSquareSegmentGraphicsItem(int segment, std::vector<int> actuators, QPointF centre,
                                                         double side, QGraphicsItem* parent)
    : DMSegmentGraphicsItem(segment, std::move(actuators), square(centre, side), parent) {}

// ---- the mirror item ----

DMGraphicsItem::DMGraphicsItem(QGraphicsItem* parent) : QGraphicsObject(parent) {
    table_ = makeColorTable(QPalette());
}

void DMGraphicsItem::setPacer(RefreshPacer* pacer) {
    if (pacer_) disconnect(pacer_, nullptr, this, nullptr);
    pacer_ = pacer;
    if (pacer_) connect(pacer_, &RefreshPacer::refresh, this, &DMGraphicsItem::flushUpdates);
}

void DMGraphicsItem::changed(const QRectF& area) {
    scaledStale_ = true;
    requestUpdate(area);
}

void DMGraphicsItem::requestUpdate(const QRectF& area) {
    if (!pacer_) {
        update(area);
        return;
    }
    pendingUpdate_ = pendingUpdate_.united(area);
    pacer_->request();
}

void DMGraphicsItem::flushUpdates() {
    if (pendingUpdate_.isEmpty()) return;
    if (!updateStaleCells()) update(pendingUpdate_);
    pendingUpdate_ = QRectF();
}

// A small step of a smooth shape changes a cell here and there over the whole mirror: only those cells are
// repainted, not the rectangle round them. That needs the picture on screen to be the one they were recoloured
// in: one view, showing the picture at its size. When more than a third of the cells changed, the rectangle is
// repainted instead: a region of that many pieces costs more to handle than the pixels it spares.
bool DMGraphicsItem::updateStaleCells() {
    if (scaledStale_ || staleCells_.empty() || mapSize_.isEmpty() || !scene() || scene()->views().size() != 1 ||
        3 * staleCells_.size() > cellPixel_.size())
        return false;
    QGraphicsView* view = scene()->views().front();
    QWidget* port = view->viewport();
    const qreal ratio = port->devicePixelRatioF();
    const QRect picture = pictureOnDevice(sceneTransform() * view->viewportTransform(), ratio);
    if (picture.isEmpty() || picture.size() != mapSize_) return false;
    // Row by row, left to right (frames that came faster than paints list rows again).
    auto byRow = [](const QPoint& a, const QPoint& b) { return a.y() < b.y() || (a.y() == b.y() && a.x() < b.x()); };
    if (!std::is_sorted(staleCells_.begin(), staleCells_.end(), byRow)) {
        std::sort(staleCells_.begin(), staleCells_.end(), byRow);
        staleCells_.erase(std::unique(staleCells_.begin(), staleCells_.end()), staleCells_.end());
    }
    // Each cell row is a band of the region, its runs of neighbouring cells its rectangles, in the view's logical
    // pixels (rounded outwards). Bands that overlap after rounding are joined one by one; otherwise the rectangles
    // already are the region's.
    std::vector<QRect> rects;
    std::vector<size_t> bandStart;
    bool overlap = false;
    int lastBottom = INT_MIN;
    auto toView = [&](int left, int top, int right, int bottom) {
        if (ratio == 1.0) return QRect(QPoint(picture.left() + left, picture.top() + top),
                                       QPoint(picture.left() + right - 1, picture.top() + bottom - 1));
        return QRectF(QPointF((picture.left() + left) / ratio, (picture.top() + top) / ratio),
                      QPointF((picture.left() + right) / ratio, (picture.top() + bottom) / ratio))
            .toAlignedRect();
    };
    for (size_t k = 0; k < staleCells_.size();) {
        const int row = staleCells_[k].y();
        const int top = rowStart_[static_cast<size_t>(row)], bottom = rowStart_[static_cast<size_t>(row) + 1];
        const size_t first = rects.size();
        int runLeft = 0, runRight = -1;
        auto endRun = [&]() {
            if (runRight <= runLeft) return;
            const QRect r = toView(runLeft, top, runRight, bottom);
            if (rects.size() > first && rects.back().right() + 1 >= r.left())
                rects.back().setRight(std::max(rects.back().right(), r.right()));
            else
                rects.push_back(r);
        };
        for (; k < staleCells_.size() && staleCells_[k].y() == row; ++k) {
            const int x = staleCells_[k].x();
            const int left = columnStart_[static_cast<size_t>(x)], right = columnStart_[static_cast<size_t>(x) + 2];
            if (top >= bottom || left >= right) continue;
            if (left <= runRight) {
                runRight = std::max(runRight, right);
                continue;
            }
            endRun();
            runLeft = left;
            runRight = right;
        }
        endRun();
        if (rects.size() == first) continue;
        overlap = overlap || rects[first].top() <= lastBottom;
        lastBottom = rects[first].bottom();
        bandStart.push_back(first);
    }
    if (rects.empty()) return true;
    QRegion region;
    if (!overlap) {
        region.setRects(rects.data(), static_cast<int>(rects.size()));
    } else {
        bandStart.push_back(rects.size());
        for (size_t b = 0; b + 1 < bandStart.size(); ++b) {
            QRegion band;
            band.setRects(rects.data() + bandStart[b], static_cast<int>(bandStart[b + 1] - bandStart[b]));
            region += band;
        }
    }
    port->update(region);
    return true;
}

void DMGraphicsItem::mapTo(const QSize& size) {
    const int w = cellImage_.width(), h = cellImage_.height();
    if (mapSize_ != size || mappedCells_ != cellImage_.size()) {
        mappedCells_ = cellImage_.size();
        mapSize_ = size;
        columnOf_.resize(static_cast<size_t>(size.width()));
        rowOf_.resize(static_cast<size_t>(size.height()));
        for (int x = 0; x < size.width(); ++x)
            columnOf_[static_cast<size_t>(x)] = std::min(w - 1, static_cast<int>((x + 0.5) * w / size.width()));
        for (int y = 0; y < size.height(); ++y)
            rowOf_[static_cast<size_t>(y)] = std::min(h - 1, static_cast<int>((y + 0.5) * h / size.height()));
        columnRuns_.clear();
        for (int x = 0; x < size.width(); ++x)
            if (x == 0 || columnOf_[static_cast<size_t>(x)] != columnOf_[static_cast<size_t>(x) - 1])
                columnRuns_.emplace_back(x, columnOf_[static_cast<size_t>(x)]);
        columnRuns_.emplace_back(size.width(), -1);
        columnStart_.assign(static_cast<size_t>(w) + 1, size.width());
        for (int x = size.width() - 1; x >= 0; --x) columnStart_[static_cast<size_t>(columnOf_[static_cast<size_t>(x)])] = x;
        rowStart_.assign(static_cast<size_t>(h) + 1, size.height());
        for (int y = size.height() - 1; y >= 0; --y) rowStart_[static_cast<size_t>(rowOf_[static_cast<size_t>(y)])] = y;
        // A pixel column (row) of the cells that covers no screen pixel starts where the next one does.
        for (int c = w - 1; c >= 0; --c)
            columnStart_[static_cast<size_t>(c)] = std::min(columnStart_[static_cast<size_t>(c)], columnStart_[static_cast<size_t>(c) + 1]);
        for (int r = h - 1; r >= 0; --r)
            rowStart_[static_cast<size_t>(r)] = std::min(rowStart_[static_cast<size_t>(r)], rowStart_[static_cast<size_t>(r) + 1]);
    }
}

void DMGraphicsItem::rescale(const QSize& size) {
    mapTo(size);
    if (scaled_.size() != size) scaled_ = QImage(size, QImage::Format_RGB32);
    staleCells_.clear();
    drawCells(scaled_.bits(), scaled_.bytesPerLine(), scaled_.rect());
    scaledStale_ = false;
    scaledBehind_ = false;
}

// The pixels of `area` (device pixels of the cells' picture at the mapped size) written at `origin`, the address
// of the picture's (0, 0), rows `stride` bytes apart.
void DMGraphicsItem::drawCells(uchar* origin, qsizetype stride, const QRect& area) const {
    const QRgb* colours = table_.constData();
    // The run of pixel columns holding the area's first column (the runs end with one past the last column).
    auto first = std::upper_bound(columnRuns_.begin(), columnRuns_.end() - 1, area.left(),
                                  [](int x, const std::pair<int, int>& run) { return x < run.first; }) -
                 1;
    const uchar* cells = cellImage_.constBits();
    const qsizetype cellStride = cellImage_.bytesPerLine();
    const int left = area.left(), right = area.right() + 1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* in = cells + rowOf_[static_cast<size_t>(y)] * cellStride;
        auto* out = reinterpret_cast<QRgb*>(origin + y * stride);
        for (auto k = first; k + 1 != columnRuns_.end() && k->first < right; ++k) {
            const QRgb colour = colours[in[k->second]];
            for (int x = std::max(k->first, left), end = std::min((k + 1)->first, right); x < end; ++x) out[x] = colour;
        }
    }
}

// The cells written where the window keeps the view's pixels, from the cells themselves: possible on a raster
// picture of the window when the cells land on whole device pixels one for one (a scale factor of 1, 2, ...).
// Only the pixels the paint may change are written; the kept picture is then behind, and made again when a paint
// needs it.
bool DMGraphicsItem::paintDirectly(QPainter* painter, const QRect& device, qreal ratio) {
    // The world transform is the identity here.
    WindowPixels pixels;
    if (!windowPixels(*painter, QPointF(device.left() / ratio, device.top() / ratio), device.size(), ratio, &pixels))
        return false;
    mapTo(device.size());
    for (const QRect& r : pixels.area) drawCells(pixels.origin, pixels.stride, r);
    staleCells_.clear();
    scaledStale_ = false;
    scaledBehind_ = true;
    ++direct_;
    return true;
}

// Only the cells recoloured since the last paint, each over its own pixels (what is repainted on screen).
void DMGraphicsItem::recolour() {
    const QRgb* colours = table_.constData();
    uchar* bits = scaled_.bits();
    const qsizetype stride = scaled_.bytesPerLine();
    const size_t count = staleCells_.size();
    for (size_t k = 0; k < count;) {
        // The cells of one row (setValues lists them row by row; a row met again is done again).
        const int row = staleCells_[k].y();
        const int top = rowStart_[static_cast<size_t>(row)], bottom = rowStart_[static_cast<size_t>(row) + 1];
        const uchar* in = cellImage_.constScanLine(row);
        for (; k < count && staleCells_[k].y() == row; ++k) {
            const int x = staleCells_[k].x();
            const int left = columnStart_[static_cast<size_t>(x)], right = columnStart_[static_cast<size_t>(x) + 2];
            const QRgb colour = colours[in[x]];
            for (int y = top; y < bottom; ++y) {
                auto* line = reinterpret_cast<QRgb*>(bits + y * stride);
                std::fill(line + left, line + right, colour);
            }
        }
    }
    staleCells_.clear();
}

QRect DMGraphicsItem::pictureOnDevice(const QTransform& world, qreal ratio) const {
    if (cellImage_.isNull()) return QRect();
    const QRectF picture(0, 0, cellImage_.width() * 0.5, cellImage_.height());
    const QTransform toDevice = world * QTransform::fromScale(ratio, ratio);
    const QRect device = toDevice.mapRect(picture).toRect();
    if (toDevice.type() <= QTransform::TxScale && toDevice.m11() > 0 && toDevice.m22() > 0 && !device.isEmpty() &&
        device.width() <= 8192 && device.height() <= 8192)
        return device;
    return QRect();
}

void DMGraphicsItem::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*) {
    if (cellImage_.isNull()) return;
    const QTransform world = painter->worldTransform();
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QRect device = pictureOnDevice(world, ratio);
    if (!device.isEmpty()) {
        painter->setWorldTransform(QTransform());
        if (!paintDirectly(painter, device, ratio)) {
            // Enlarged once to the pixels it covers; painting is then a copy.
            if (scaledStale_ || scaledBehind_ || scaled_.size() != device.size()) rescale(device.size());
            else if (!staleCells_.empty()) recolour();
            scaled_.setDevicePixelRatio(ratio);
            painter->drawImage(QPointF(device.left() / ratio, device.top() / ratio), scaled_);
        }
        painter->setWorldTransform(world);
    } else {
        // Rotated or sheared (never in this program's view): cells are sharp-edged, no smoothing between them.
        painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter->drawImage(QRectF(0, 0, cellImage_.width() * 0.5, cellImage_.height()), cellImage_);
    }
    if (!showGrid_) return;
    painter->setPen(cellPen());
    painter->setBrush(Qt::NoBrush);
    for (const QPoint& p : cellPixel_)
        if (p.x() >= 0) painter->drawRect(QRectF(p.x() * 0.5, p.y(), 1.0, 1.0));
}

void DMGraphicsItem::clearChildren() {
    for (QGraphicsItem* child : childItems()) delete child;
    cellImage_ = QImage();
    scaledStale_ = true;
    cellPixel_.clear();
    cellOffset_.clear();
    tiles_.clear();
    tileOfActuator_.clear();
}

QPen DMGraphicsItem::cellPen() const {
    if (!showGrid_) return Qt::NoPen;
    QPen pen(QColor(40, 40, 40));
    pen.setWidthF(0.04);
    return pen;
}

void DMGraphicsItem::build(const MirrorGeometry& geometry, bool segments) {
    prepareGeometryChange();
    clearChildren();
    actCount_ = std::max(0, geometry.actuators);
    width_ = geometry.width;
    const DMLayout layout = geometry.layout;
    hex_ = layout == DMHexLayout;
    frame_.assign(static_cast<size_t>(actCount_), 0.0);

    // Which grid positions hold an actuator, numbered in row-major order.
    const int w = width_;
    gridToActuator_.assign(static_cast<size_t>(w) * w, -1);
    int next = 0;
    for (int r = 0; r < w && next < actCount_; ++r) {
        for (int c = 0; c < w && next < actCount_; ++c) {
            bool present = true;
            if (layout == DMLinearLayout) {
                present = true;
            } else if (layout == DMCircularLayout || layout == DMHexLayout) {
                const auto& mask = geometry.mask;
                present = !mask.empty() && mask[static_cast<size_t>(r) * w + c] == 1;
            } else {
                const bool corner = (r == 0 || r == w - 1) && (c == 0 || c == w - 1);
                present = !corner;
            }
            if (present) gridToActuator_[static_cast<size_t>(r) * w + c] = next++;
        }
    }

    if (segments && geometry.segmented) {
        const int count = actCount_ / 3;
        tileOfActuator_.assign(static_cast<size_t>(actCount_), -1);
        const QPointF centre(1.0 + w / 2.0, 1.0 + w / 2.0);
        auto actuatorsOf = [&](int s) {
            std::vector<int> a;
            for (int k = 0; k < 3 && 3 * s + k < actCount_; ++k) {
                a.push_back(3 * s + k);
                tileOfActuator_[static_cast<size_t>(3 * s + k)] = s;
            }
            return a;
        };
        if (hex_) {
            // Rings of hexagons around a centre tile, filled row by row.
            int rings = 0;
            while (1 + 3 * rings * (rings + 1) < count) ++rings;
            const double radius = w / ((2 * rings + 1) * std::sqrt(3.0));
            int s = 0;
            for (int row = -rings; row <= rings && s < count; ++row) {
                const int across = 2 * rings + 1 - std::abs(row);
                for (int k = 0; k < across && s < count; ++k, ++s) {
                    const double x = centre.x() + (k - (across - 1) / 2.0) * std::sqrt(3.0) * radius;
                    const double y = centre.y() + row * 1.5 * radius;
                    auto* tile = new DMHexSegmentGraphicsItem(s, actuatorsOf(s), QPointF(x, y), radius * 0.96, this);
                    tiles_.push_back(tile);
                }
            }
        } else {
            const int across = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
            const double side = static_cast<double>(w) / across;
            for (int s = 0; s < count; ++s) {
                const QPointF c(1.0 + (s % across + 0.5) * side, 1.0 + (s / across + 0.5) * side);
                tiles_.push_back(new DMSquareSegmentGraphicsItem(s, actuatorsOf(s), c, side * 0.94, this));
            }
        }
        for (auto* tile : tiles_) tile->setPen(cellPen());
    } else {
        // The cells are one indexed image, two pixels per cell across so that shifted rows sit on whole pixels;
        // a margin of one cell all round, entry 255 (the background) where no actuator sits.
        cellImage_ = QImage(2 * (w + 2) + (hex_ ? 1 : 0), w + 2, QImage::Format_Indexed8);
        cellImage_.setColorTable(table_);
        cellImage_.fill(255);
        cellPixel_.assign(static_cast<size_t>(actCount_), QPoint(-1, -1));
        for (int r = 0; r < w; ++r) {
            for (int c = 0; c < w; ++c) {
                const int a = gridToActuator_[static_cast<size_t>(r) * w + c];
                if (a < 0) continue;
                const int shift = hex_ && (r % 2 == 1) ? 1 : 0;
                cellPixel_[static_cast<size_t>(a)] = QPoint(2 * (1 + c) + shift, 1 + r);
            }
        }
        cellOffset_.assign(cellPixel_.size(), -1);
        const qsizetype stride = cellImage_.bytesPerLine();
        for (size_t a = 0; a < cellPixel_.size(); ++a)
            if (cellPixel_[a].x() >= 0) cellOffset_[a] = cellPixel_[a].y() * stride + cellPixel_[a].x();
    }
    bounds_ = QRectF(0, 0, w + 2.0 + (hex_ ? 0.5 : 0.0), w + 2.0);
    setValues(frame_);
}

void DMGraphicsItem::setValues(const std::vector<double>& frame) {
    frame_ = frame;
    frame_.resize(static_cast<size_t>(actCount_), 0.0);
    if (!cellPixel_.empty()) {
        // Only the cells whose colour changes are written, and only the rectangle around them is repainted.
        int left = INT_MAX, top = INT_MAX, right = -1, bottom = -1;
        uchar* bits = cellImage_.bits();
        const double* values = frame_.data();
        const size_t count = cellOffset_.size();
        for (size_t a = 0; a < count; ++a) {
            const qsizetype offset = cellOffset_[a];
            if (offset < 0) continue;
            const uchar index = static_cast<uchar>(colorIndexOf(values[a]));
            uchar* pixel = bits + offset;
            if (pixel[0] == index) continue;
            pixel[0] = pixel[1] = index;
            const QPoint p = cellPixel_[a];
            if (!scaledStale_) staleCells_.push_back(p);
            left = std::min(left, p.x());
            right = std::max(right, p.x() + 1);
            top = std::min(top, p.y());
            bottom = std::max(bottom, p.y());
        }
        // Recolouring costs less than making the picture again even when every cell changed; frames that come
        // faster than paints list cells again, and past one entry a cell the picture is made again instead.
        if (staleCells_.size() > cellPixel_.size()) {
            scaledStale_ = true;
            staleCells_.clear();
        }
        if (right >= 0) requestUpdate(QRectF(left * 0.5, top, (right - left + 1) * 0.5, bottom - top + 1));
    }
    for (auto* tile : tiles_) tile->setColors(frame_, table_);
}

void DMGraphicsItem::setActuatorValue(int actuator, double value) {
    if (actuator < 0 || actuator >= actCount_) return;
    std::vector<double> frame = frame_;
    frame[static_cast<size_t>(actuator)] = value;
    setValues(frame);
}

QColor DMGraphicsItem::actuatorColor(int actuator) const {
    if (actuator < 0 || actuator >= actCount_) return QColor(table_[255]);
    return QColor(table_[colorIndex(frame_[static_cast<size_t>(actuator)])]);
}

int DMGraphicsItem::actuatorAt(const QPointF& p) const {
    const int row = static_cast<int>(std::floor(p.y() - 1.0));
    if (row < 0 || row >= width_) return -1;
    const double offset = hex_ && (row % 2 == 1) ? 1.5 : 1.0;
    const int col = static_cast<int>(std::floor(p.x() - offset));
    if (col < 0 || col >= width_) return -1;
    const int a = gridToActuator_[static_cast<size_t>(row) * width_ + col];
    return a < actCount_ ? a : -1;
}

QPointF DMGraphicsItem::cellCentre(int actuator) const {
    for (int r = 0; r < width_; ++r)
        for (int c = 0; c < width_; ++c)
            if (gridToActuator_[static_cast<size_t>(r) * width_ + c] == actuator)
                return QPointF(1.5 + c + (hex_ && r % 2 == 1 ? 0.5 : 0.0), 1.5 + r);
    return QPointF(-1, -1);
}

DMSegmentGraphicsItem* DMGraphicsItem::tile(int segment) const {
    return segment >= 0 && static_cast<size_t>(segment) < tiles_.size() ? tiles_[static_cast<size_t>(segment)]
                                                                         : nullptr;
}

void DMGraphicsItem::enableGrid(bool e) {
    showGrid_ = e;
    const QPen pen = cellPen();
    for (auto* tile : tiles_) tile->setPen(pen);
    update();
}

}  // namespace MirrorKit
