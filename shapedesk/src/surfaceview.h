// Drawing at the pace of the screen: a pacer that runs the window's redraw once per screen refresh however
// often the mirror changes, and the surface view, which shows a picture made at its own size.
#pragma once

#include <QImage>
#include <QObject>
#include <QTimer>
#include <QWidget>

// Views mark what changed and ask for a refresh; the pacer emits refresh() once, at the next frame. A hand on a
// slider changes the mirror many times between two frames: only the last state is drawn.
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
// owner: painting is a copy of its pixels, never a scaling. The view paints its whole area itself, so nothing
// behind it is repainted when the picture changes.
class SurfaceView : public QWidget {
    Q_OBJECT
public:
    explicit SurfaceView(QWidget* parent = nullptr);

    // The side, in device pixels, of the picture that fills the view.
    int pictureSide() const;
    // Shows a picture (expected to be pictureSide() square); a null image leaves the view empty.
    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }
    void clear() { setPicture(QImage()); }

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
    QImage picture_;
};
