// Drawing at the pace of the screen, and the surface view.
#include "surfaceview.h"

#include <QGuiApplication>
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

QRect SurfaceView::pictureRect() const {
    if (picture_.isNull()) return QRect();
    const double ratio = picture_.devicePixelRatio();
    const QSize size(static_cast<int>(std::lround(picture_.width() / ratio)),
                     static_cast<int>(std::lround(picture_.height() / ratio)));
    return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

void SurfaceView::setPicture(const QImage& picture) {
    const QRect before = pictureRect();
    picture_ = picture;
    if (!picture_.isNull()) picture_.setDevicePixelRatio(devicePixelRatioF());
    const QRect after = pictureRect();
    // Same place and size: only the picture's pixels are repainted.
    update(before == after ? after : QRegion(before).united(after).boundingRect());
}

void SurfaceView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect at = pictureRect();
    // Whatever of the exposed area the picture does not cover is background.
    if (!at.contains(event->rect())) {
        const QRegion rest = QRegion(event->rect()).subtracted(at);
        for (const QRect& r : rest) painter.fillRect(r, palette().window());
    }
    if (!picture_.isNull() && at.intersects(event->rect())) painter.drawImage(at.topLeft(), picture_);
}

void SurfaceView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit resized();
}
