// Drawing at the pace of the screen: a pacer that runs the window's redraw once per screen refresh however
// often the mirror changes, and the surface view, which shows a picture made at its own size.
#pragma once

#include <QImage>
#include <QObject>
#include <QRegion>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace shapes {
class PictureSource;
}

// Views mark what changed and ask for a refresh; the pacer emits refresh() once, at the next frame. A hand on a
// slider changes the mirror many times between two frames: only the last state is drawn.
// Where the window keeps the pixels of a picture a painter is about to paint, so that they can be written there
// directly: the picture's (0, 0) and rows, and which of its pixels the paint may change (picture coordinates).
struct WindowPixels {
    uchar* origin = nullptr;
    qsizetype stride = 0;
    QRegion area;
};
// For a picture of `size` device pixels placed at `at` (the painter's coordinates, no world transform): found on
// a raster picture of the window when the picture lands on whole device pixels one for one (a scale factor of 1,
// 2, ...); false otherwise.
bool windowPixels(QPainter& painter, const QPointF& at, const QSize& size, qreal ratio, WindowPixels* out);

class RefreshPacer : public QObject {
    Q_OBJECT
public:
    explicit RefreshPacer(QObject* parent = nullptr);
    // A refresh at the next frame (one at most, however often this is called before it).
    void request();
    // The refresh a frame would make, made now (a frame already asked for is then not made twice).
    void refreshNow();
    bool pending() const { return timer_.isActive(); }
    int intervalMs() const { return timer_.interval(); }

signals:
    void refresh();

private:
    QTimer timer_;
};

// A surface picture, square, as large as the view allows, centred. The picture is made at pictureSide() by its
// owner: painting is a copy of its pixels, never a scaling; a picture given as a source is drawn straight into
// the window's pixels when it is painted. The view paints its whole area itself, so nothing behind it is
// repainted when the picture changes.
class SurfaceView : public QWidget {
    Q_OBJECT
public:
    explicit SurfaceView(QWidget* parent = nullptr);

    // The side, in device pixels, of the picture that fills the view.
    int pictureSide() const;
    // Shows a picture (expected to be pictureSide() square); a null image leaves the view empty.
    void setPicture(const QImage& picture);
    // The same, made when it is painted.
    void setPicture(std::shared_ptr<const shapes::PictureSource> source);
    // The picture shown (made whole from a source).
    QImage picture() const;
    void clear() { setPicture(QImage()); }
    // How many paints wrote a source's pixels straight into the window's.
    int directPaints() const { return direct_; }

    QSize sizeHint() const override { return QSize(200, 200); }
    QSize minimumSizeHint() const override { return QSize(80, 80); }

signals:
    // The view changed size: its picture must be made again at the new side.
    void resized();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRect pictureRect() const;
    QSize pictureSize() const;
    bool paintDirectly(QPainter& painter, const QRect& at);
    QImage picture_;  // the picture, or the source's made whole when a paint or a caller needed it
    std::shared_ptr<const shapes::PictureSource> source_;
    int direct_ = 0;
};
