// Sliders that move many times a second (the Zernike terms') and repaint at each step: their tick marks, which
// never move, are copied from a picture made once per look rather than drawn line by line.
#pragma once

#include <QImage>
#include <QProxyStyle>
#include <QRect>
#include <QRgb>
#include <QSlider>
#include <QStyleOption>

#include <vector>

class TickStyle : public QProxyStyle {
    Q_OBJECT
public:
    // Draws as `base` does (this style takes it over); null gives the application's style.
    explicit TickStyle(QStyle* base = nullptr);

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;

    // How many times the ticks were copied from a picture.
    int copiedTicks() const { return copied_; }

private:
    // A slider's ticks as the style underneath draws them on the slider's background, for everything they
    // depend on (but not the value): the picture, and the boxes beside the groove that hold them.
    struct Look {
        QSize size;
        int orientation = 0, minimum = 0, maximum = 0, interval = 0, pageStep = 0, position = 0;
        bool upsideDown = false;
        int state = 0, direction = 0;
        qint64 palette = 0;
        QRgb background = 0;
        bool operator==(const Look& other) const;
    };
    struct Ticks {
        Look look;
        bool usable = false;  // no tick touches the groove, and none is blended
        QImage picture;
        QRect before, after;  // the ticks on either side of the groove
    };
    const Ticks& ticksFor(const QStyleOptionSlider& slider, QRgb background, const QWidget* widget) const;

    mutable std::vector<Ticks> kept_;  // the latest first
    mutable int copied_ = 0;
};

// A Zernike term's slider. A new value repaints it only when it looks different: a step smaller than a pixel of
// the handle's travel (most of a slider's range when it is short) leaves every pixel as it was. Its tooltip says
// the term and the value in nm, written when it is about to be shown (and at each step while an assistive
// technology reads the widgets).
class TermSlider : public QSlider {
    Q_OBJECT
public:
    explicit TermSlider(QWidget* parent = nullptr) : QSlider(parent) {}
    explicit TermSlider(Qt::Orientation orientation, QWidget* parent = nullptr) : QSlider(orientation, parent) {}

    void setTermName(const QString& name);
    // The tooltip for the value it has now.
    QString termTip() const;

protected:
    bool event(QEvent* event) override;
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QRect handle() const;
    QRect painted_;  // where the last paint drew the handle
    QString name_;
};
