// Drawing at the pace of the screen, and the surface view.
#include "surfaceview.h"

#include "surfacepictures.h"

#include <QGuiApplication>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>

#include <algorithm>
#include <cmath>

RefreshPacer::RefreshPacer(QObject* parent) : QObject(parent) {
    // One frame of the screen the program starts on; 60 Hz when it tells none.
    double hz = 60.0;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        if (screen->refreshRate() >= 20.0 && screen->refreshRate() <= 500.0) hz = screen->refreshRate();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(std::max(1, static_cast<int>(std::lround(1000.0 / hz))));
    connect(&timer_, &QTimer::timeout, this, &RefreshPacer::refresh);
}

void RefreshPacer::request() {
    if (!timer_.isActive()) timer_.start();
}

void RefreshPacer::refreshNow() {
    timer_.stop();
    emit refresh();
}

SurfaceView::SurfaceView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

int SurfaceView::pictureSide() const {
    const double ratio = devicePixelRatioF();
    return std::max(1, static_cast<int>(std::floor(std::min(width(), height()) * ratio)));
}

QSize SurfaceView::pictureSize() const {
    if (source_) return source_->size();
    return picture_.size();
}

QRect SurfaceView::pictureRect() const {
    const QSize device = pictureSize();
    if (device.isEmpty()) return QRect();
    const double ratio = devicePixelRatioF();
    const QSize size(static_cast<int>(std::lround(device.width() / ratio)),
                     static_cast<int>(std::lround(device.height() / ratio)));
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

void SurfaceView::setPicture(const QImage& picture) {
    const QRect before = pictureRect();
    source_.reset();
    picture_ = picture;
    if (!picture_.isNull()) picture_.setDevicePixelRatio(devicePixelRatioF());
    const QRect after = pictureRect();
    // Same place and size: only the picture's pixels are repainted.
    update(before == after ? after : QRegion(before).united(after).boundingRect());
}

void SurfaceView::setPicture(std::shared_ptr<const shapes::PictureSource> source) {
    if (!source || source->size().isEmpty()) return setPicture(QImage());
    const QRect before = pictureRect();
    source_ = std::move(source);
    picture_ = QImage();
    const QRect after = pictureRect();
    update(before == after ? after : QRegion(before).united(after).boundingRect());
}

QImage SurfaceView::picture() const {
    if (source_ && picture_.isNull()) {
        QImage made = source_->image();
        made.setDevicePixelRatio(devicePixelRatioF());
        return made;
    }
    return picture_;
}

bool windowPixels(QPainter& painter, const QPointF& at, const QSize& size, qreal ratio, WindowPixels* out) {
    QPaintEngine* engine = painter.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || ratio != std::round(ratio)) return false;
    QPaintDevice* device = engine->paintDevice();
    if (!device || device->devType() != QInternal::Image) return false;
    auto* target = static_cast<QImage*>(device);
    if (target->format() != QImage::Format_RGB32 && target->format() != QImage::Format_ARGB32_Premultiplied)
        return false;
    const QTransform& transform = painter.deviceTransform();
    if (transform.type() > QTransform::TxScale || transform.m11() != ratio || transform.m22() != ratio) return false;
    const QPointF origin = transform.map(at);
    if (origin.x() != std::round(origin.x()) || origin.y() != std::round(origin.y())) return false;
    const QRect picture(origin.toPoint(), size);
    // The device pixels this paint may write: the engine's clip for it, or the whole device.
    QRegion allowed = engine->systemClip();
    if (allowed.isEmpty()) allowed = QRegion(target->rect());
    allowed &= picture & target->rect();
    out->origin = target->bits() + picture.top() * target->bytesPerLine() + picture.left() * 4;
    out->stride = target->bytesPerLine();
    out->area = allowed.translated(-picture.topLeft());
    return true;
}

// A source's pixels written where the window keeps this view's, only those the paint may change.
bool SurfaceView::paintDirectly(QPainter& painter, const QRect& at) {
    WindowPixels pixels;
    if (!windowPixels(painter, QPointF(at.topLeft()), source_->size(), devicePixelRatioF(), &pixels)) return false;
    for (const QRect& r : pixels.area) source_->draw(pixels.origin, pixels.stride, r);
    ++direct_;
    return true;
}

void SurfaceView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect at = pictureRect();
    // Whatever of the exposed area the picture does not cover is background.
    if (!at.contains(event->rect())) {
        const QRegion rest = QRegion(event->rect()).subtracted(at);
        for (const QRect& r : rest) painter.fillRect(r, palette().window());
    }
    if (at.isEmpty() || !at.intersects(event->rect())) return;
    if (source_ && picture_.isNull() && paintDirectly(painter, at)) return;
    if (source_ && picture_.isNull()) picture_ = picture();
    painter.drawImage(at.topLeft(), picture_);
}

void SurfaceView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit resized();
}
