// The mirror view: a scene and view, the mirror item with one cell per actuator or one tile per segment,
// and the colour table the cells are painted with.
#pragma once

#include "aocontrol.h"

#include <QGraphicsObject>
#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <QPalette>
#include <QVector>
#include <QRgb>

#include <vector>

class QGraphicsEllipseItem;
class QGraphicsRectItem;
class RefreshPacer;
namespace MirrorKit {
class DMGraphicsItem;
}

// 256 entries: 0..254 a hue ramp from blue to red (or grey levels), 255 the palette's window background.
QVector<QRgb> makeColorTable(const QPalette& palette, bool grey = false);
// The table entry a command value in 0..1 is drawn with (never the background entry).
int colorIndex(double value);
// The same, inline for loops over every actuator: lround without the library call (x - whole is exact).
inline int colorIndexOf(double value) {
    if (!(value > 0.0)) return 0;
    const double x = value > 1.0 ? 254.0 : value * 254.0;
    const int whole = static_cast<int>(x);
    return whole + (x - whole >= 0.5 ? 1 : 0);
}

class DMScene : public QGraphicsScene {
    Q_OBJECT
public:
    explicit DMScene(QObject* parent = nullptr);

signals:
    void mouseOver(QPointF p);
    void mouseClicked(QPointF p);
    void segmentClicked(int i, QPointF p);

public slots:
    void handleFocusChanged(QGraphicsItem* newFocusItem, QGraphicsItem* oldFocusItem, Qt::FocusReason reason);

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
};

class DMView : public QGraphicsView {
    Q_OBJECT
public:
    explicit DMView(QWidget* parent = nullptr);
    // The mirror item covers its whole area when it draws cells: no background is drawn behind it.
    void setMirror(MirrorKit::DMGraphicsItem* mirror) { mirror_ = mirror; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void drawBackground(QPainter* painter, const QRectF& rect) override;
    void setupViewport(QWidget* widget) override;

private:
    static void makeOpaque(QWidget* widget);
    MirrorKit::DMGraphicsItem* mirror_ = nullptr;
};

namespace MirrorKit {

// A segment tile: its segment number and the actuators that drive it.
class DMSegmentGraphicsItem : public QGraphicsPolygonItem {
public:
    enum { Type = QGraphicsItem::UserType + 1 };
    DMSegmentGraphicsItem(int segment, std::vector<int> actuators, const QPolygonF& shape, QGraphicsItem* parent);
    int type() const override { return Type; }
    int segment() const { return segment_; }
    const std::vector<int>& actuators() const { return actuators_; }
    // Fills the tile from its actuators' values.
    void setColors(const std::vector<double>& frame, const QVector<QRgb>& table);

protected:
    void hoverEnterEvent(QGraphicsSceneHoverEvent* event) override;
    void hoverMoveEvent(QGraphicsSceneHoverEvent* event) override;
    void hoverLeaveEvent(QGraphicsSceneHoverEvent* event) override;

private:
    int segment_;
    std::vector<int> actuators_;
    QGraphicsEllipseItem* marker_ = nullptr;
};

class DMHexSegmentGraphicsItem : public DMSegmentGraphicsItem {
public:
    DMHexSegmentGraphicsItem(int segment, std::vector<int> actuators, QPointF centre, double radius,
                             QGraphicsItem* parent);
};

class DMSquareSegmentGraphicsItem : public DMSegmentGraphicsItem {
public:
    DMSquareSegmentGraphicsItem(int segment, std::vector<int> actuators, QPointF centre, double side,
                                QGraphicsItem* parent);
};

// The mirror as seen from the front. Cells sit on a grid of one unit per actuator with a margin of one
// unit; odd rows of a hexagonal-packed layout are shifted right by half a unit.
class DMGraphicsItem : public QGraphicsObject {
    Q_OBJECT
public:
    explicit DMGraphicsItem(QGraphicsItem* parent = nullptr);

    QRectF boundingRect() const override { return bounds_; }
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

    void setColorTable(const QVector<QRgb>& table) {
        table_ = table;
        if (!cellImage_.isNull()) cellImage_.setColorTable(table_);
        scaledStale_ = true;
        update();
    }
    const QVector<QRgb>& colorTable() const { return table_; }
    // Builds one cell per actuator, or one tile per segment when `segments` is set and the model is segmented.
    void build(const MirrorGeometry& geometry, bool segments);
    int actuatorCount() const { return actCount_; }
    int gridWidth() const { return width_; }
    bool hexPacked() const { return hex_; }
    bool showsSegments() const { return !tiles_.empty(); }
    bool gridEnabled() const { return showGrid_; }
    // True while it draws cells: every point of its bounds is painted.
    bool opaque() const { return !cellImage_.isNull(); }
    // The device pixels its picture of the cells covers when painted with `world` (item to logical
    // coordinates) on a device of that pixel ratio; empty when it draws no picture that way.
    QRect pictureOnDevice(const QTransform& world, qreal ratio) const;
    // Repaints wait for the pacer's next refresh; without a pacer they are asked for at once.
    void setPacer(RefreshPacer* pacer);
    // How many paints wrote the cells straight into the window's pixels.
    int directPaints() const { return direct_; }

    // Recolours every cell or tile from a frame (one value per actuator).
    void setValues(const std::vector<double>& frame);
    // Recolours one actuator's cell (or the tile holding it).
    void setActuatorValue(int actuator, double value);
    // The colour an actuator is drawn with now.
    QColor actuatorColor(int actuator) const;

    // The actuator under a point in item coordinates, or -1.
    int actuatorAt(const QPointF& p) const;
    // Centre of an actuator's cell in item coordinates.
    QPointF cellCentre(int actuator) const;
    DMSegmentGraphicsItem* tile(int segment) const;

public slots:
    void enableGrid(bool e);
    // Asks for the repaint of what changed since the last refresh.
    void flushUpdates();

private:
    void clearChildren();
    QPen cellPen() const;
    void changed(const QRectF& area);
    void requestUpdate(const QRectF& area);
    void recolour();
    // Asks the view for the repaint of the recoloured cells alone; false where it cannot tell their pixels.
    bool updateStaleCells();
    // The screen pixel maps for the cells shown at `size` device pixels.
    void mapTo(const QSize& size);
    void drawCells(uchar* origin, qsizetype stride, const QRect& area) const;
    bool paintDirectly(QPainter* painter, const QRect& device, qreal ratio);
    // The cells enlarged to `size` device pixels, nearest cell for each pixel.
    void rescale(const QSize& size);

    QVector<QRgb> table_;
    int actCount_ = 0;
    int width_ = 0;
    bool hex_ = false;
    bool showGrid_ = false;
    QRectF bounds_{0, 0, 1, 1};
    std::vector<int> gridToActuator_;              // width x width, -1 where no actuator sits
    QImage cellImage_;                             // the cells, two pixels per cell across
    std::vector<QPoint> cellPixel_;                // by actuator: its first pixel in cellImage_
    std::vector<qsizetype> cellOffset_;            // by actuator: that pixel's byte in cellImage_, or -1
    std::vector<DMSegmentGraphicsItem*> tiles_;    // by segment
    std::vector<int> tileOfActuator_;
    std::vector<double> frame_;
    RefreshPacer* pacer_ = nullptr;
    QRectF pendingUpdate_;
    // The cells as the screen shows them: made again when cells change or the view's size does, so that
    // painting copies pixels and never scales.
    QImage scaled_;
    bool scaledStale_ = true;
    bool scaledBehind_ = false;  // paints wrote the cells straight into the window since scaled_ was made
    QSize mapSize_;              // the device size the maps below were made for
    int direct_ = 0;
    std::vector<int> columnOf_, rowOf_;
    std::vector<std::pair<int, int>> columnRuns_;  // (first pixel, cell column) of each run of one cell column
    std::vector<int> columnStart_, rowStart_;      // by pixel column (row) of the cells: its first screen pixel
    QSize mappedCells_;                            // the cells' size the screen pixel maps were made for
    std::vector<QPoint> staleCells_;               // cells recoloured since the last paint (their first pixel)
};

}  // namespace MirrorKit
