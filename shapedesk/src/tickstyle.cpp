// Slider ticks copied from a picture: the style underneath draws the ticks once onto a picture of the slider's
// background; each paint then copies the boxes holding them and has the style draw the groove and the handle.
// That gives the pixels of the usual drawing (groove, then ticks, then handle) wherever the ticks keep clear of
// the groove; where they do not (a narrow slider), or the background is not one opaque colour, or the painter
// scales or blends, the style underneath draws everything as usual.
#include "tickstyle.h"

#include <QAccessible>
#include <QEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

constexpr size_t kKept = 32;

}  // namespace

TickStyle::TickStyle(QStyle* base) : QProxyStyle(base) {}

bool TickStyle::Look::operator==(const Look& o) const {
    return size == o.size &&
           std::tie(orientation, minimum, maximum, interval, pageStep, position, upsideDown, state, direction,
                    palette, background) == std::tie(o.orientation, o.minimum, o.maximum, o.interval, o.pageStep,
                                                     o.position, o.upsideDown, o.state, o.direction, o.palette,
                                                     o.background);
}

const TickStyle::Ticks& TickStyle::ticksFor(const QStyleOptionSlider& slider, QRgb background,
                                            const QWidget* widget) const {
    const Look look{slider.rect.size(), slider.orientation, slider.minimum, slider.maximum, slider.tickInterval,
                    slider.pageStep, slider.tickPosition, slider.upsideDown, static_cast<int>(slider.state),
                    slider.direction, slider.palette.cacheKey(), background};
    const auto kept = std::find_if(kept_.begin(), kept_.end(), [&](const Ticks& t) { return t.look == look; });
    if (kept != kept_.end()) {
        std::rotate(kept_.begin(), kept, kept + 1);
        return kept_.front();
    }
    Ticks made;
    made.look = look;

    // The ticks alone, drawn by the style underneath on a clear picture the slider's size.
    QImage ink(look.size, QImage::Format_ARGB32_Premultiplied);
    ink.fill(Qt::transparent);
    QStyleOptionSlider only = slider;
    only.rect = QRect(QPoint(0, 0), look.size);
    only.subControls = SC_SliderTickmarks;
    {
        QPainter painter(&ink);
        QProxyStyle::drawComplexControl(CC_Slider, &only, &painter, widget);
    }
    only.subControls = slider.subControls;
    const QRect groove = subControlRect(CC_Slider, &only, SC_SliderGroove, widget);
    const bool vertical = slider.orientation == Qt::Vertical;
    // Across the groove: columns for a vertical slider, rows for a horizontal one.
    const int grooveFirst = vertical ? groove.left() : groove.top();
    const int grooveLast = vertical ? groove.right() : groove.bottom();
    made.usable = groove.isValid();
    for (int y = 0; y < ink.height() && made.usable; ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(ink.constScanLine(y));
        for (int x = 0; x < ink.width(); ++x) {
            const int alpha = qAlpha(row[x]);
            if (alpha == 0) continue;
            const int across = vertical ? x : y;
            if (alpha != 255 || (across >= grooveFirst && across <= grooveLast)) {
                made.usable = false;
                break;
            }
            (across < grooveFirst ? made.before : made.after) |= QRect(x, y, 1, 1);
        }
    }
    if (made.usable) {
        made.picture = QImage(look.size, QImage::Format_RGB32);
        made.picture.fill(background);
        QPainter painter(&made.picture);
        painter.drawImage(0, 0, ink);
    }
    if (kept_.size() >= kKept) kept_.pop_back();
    kept_.insert(kept_.begin(), std::move(made));
    return kept_.front();
}

void TickStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                                   const QWidget* widget) const {
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    auto usual = [&]() { QProxyStyle::drawComplexControl(control, option, painter, widget); };
    if (control != CC_Slider || !slider || !painter || !widget || !(slider->subControls & SC_SliderTickmarks) ||
        slider->tickPosition == QSlider::NoTicks || slider->rect != widget->rect())
        return usual();
    // The ticks land on the slider's own background, one opaque colour the window filled it with, and are
    // copied one pixel for one: no scaling, blending or smoothing.
    const QBrush background = widget->palette().brush(widget->backgroundRole());
    if (!widget->autoFillBackground() || background.style() != Qt::SolidPattern || !background.isOpaque())
        return usual();
    const QTransform& transform = painter->deviceTransform();
    if (transform.type() > QTransform::TxTranslate || transform.dx() != std::round(transform.dx()) ||
        transform.dy() != std::round(transform.dy()) || painter->opacity() != 1.0 ||
        painter->compositionMode() != QPainter::CompositionMode_SourceOver ||
        (painter->renderHints() & QPainter::Antialiasing))
        return usual();
    const Ticks& ticks = ticksFor(*slider, background.color().rgba(), widget);
    if (!ticks.usable) return usual();
    // The ticks first: they keep clear of the groove, and the handle is drawn over them as usual.
    for (const QRect& box : {ticks.before, ticks.after})
        if (!box.isEmpty()) painter->drawImage(box.topLeft(), ticks.picture, box);
    ++copied_;
    QStyleOptionSlider rest = *slider;
    rest.subControls &= ~SC_SliderTickmarks;
    QProxyStyle::drawComplexControl(CC_Slider, &rest, painter, widget);
}

QRect TermSlider::handle() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

// A slider is drawn from its handle's place: the groove's fill and the handle both follow it, the ticks never
// move. A new value that leaves the handle where it was drawn changes nothing on screen.
void TermSlider::sliderChange(SliderChange change) {
    if (change == SliderValueChange && !name_.isEmpty() && QAccessible::isActive()) setToolTip(termTip());
    if (change == SliderValueChange && painted_.isValid() && handle() == painted_) return;
    QSlider::sliderChange(change);
}

void TermSlider::setTermName(const QString& name) {
    name_ = name;
    setToolTip(termTip());
}

QString TermSlider::termTip() const { return QStringLiteral("%1: %2 nm").arg(name_).arg(value()); }

bool TermSlider::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && !name_.isEmpty()) setToolTip(termTip());
    return QSlider::event(event);
}

void TermSlider::paintEvent(QPaintEvent* event) {
    QSlider::paintEvent(event);
    painted_ = handle();
}
