// The in-place editors of the mirror view: one actuator's command, one segment's piston and tilts.
#include "editors.h"

#include <QFocusEvent>
#include <QFormLayout>
#include <QPainter>
#include <QSignalBlocker>
#include <QTimer>

void ActuatorSpinBox::focusOutEvent(QFocusEvent* event) {
    QDoubleSpinBox::focusOutEvent(event);
    emit lostFocus();
}

SegmentEditor::SegmentEditor(QWidget* parent)
    : QWidget(parent), piston_(new QDoubleSpinBox(this)), xTilt_(new QDoubleSpinBox(this)),
      yTilt_(new QDoubleSpinBox(this)) {
    auto* form = new QFormLayout(this);
    form->setContentsMargins(4, 4, 4, 4);
    piston_->setSuffix(tr(" nm"));
    piston_->setDecimals(0);
    for (QDoubleSpinBox* box : {xTilt_, yTilt_}) {
        box->setSuffix(tr(" mrad"));
        box->setDecimals(3);
        box->setSingleStep(0.01);
    }
    form->addRow(tr("Piston"), piston_);
    form->addRow(tr("X Tilt"), xTilt_);
    form->addRow(tr("Y Tilt"), yTilt_);
    for (QDoubleSpinBox* box : {piston_, xTilt_, yTilt_}) {
        box->setMinimumWidth(130);
        box->setKeyboardTracking(false);
        box->installEventFilter(this);
        connect(box, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &SegmentEditor::handleValueChanged);
    }
    setFocusProxy(piston_);
}

double SegmentEditor::piston() const { return piston_->value(); }
double SegmentEditor::xTilt() const { return xTilt_->value(); }
double SegmentEditor::yTilt() const { return yTilt_->value(); }

void SegmentEditor::setValue(double piston, double xTilt, double yTilt) {
    const QSignalBlocker a(piston_), b(xTilt_), c(yTilt_);
    piston_->setValue(piston);
    xTilt_->setValue(xTilt);
    yTilt_->setValue(yTilt);
}

void SegmentEditor::selectAll() {
    piston_->selectAll();
    piston_->setFocus();
}

void SegmentEditor::setPistonRange(double min, double max) {
    const QSignalBlocker block(piston_);
    piston_->setRange(min, max);
}

void SegmentEditor::setXTiltRange(double min, double max) {
    const QSignalBlocker block(xTilt_);
    xTilt_->setRange(min, max);
}

void SegmentEditor::setYTiltRange(double min, double max) {
    const QSignalBlocker block(yTilt_);
    yTilt_->setRange(min, max);
}

void SegmentEditor::handleValueChanged(double) { emit valueChanged(piston(), xTilt(), yTilt()); }

bool SegmentEditor::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Focus moving between the three boxes keeps the editor open; leaving all of them closes it.
        QTimer::singleShot(0, this, [this] {
            if (!piston_->hasFocus() && !xTilt_->hasFocus() && !yTilt_->hasFocus()) emit lostFocus();
        });
    }
    return QWidget::eventFilter(watched, event);
}

void SegmentEditor::paintEvent(QPaintEvent*) {
    // Drawn over the mirror: an opaque panel, whatever style sheet the editor carries.
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(QColor(60, 60, 60));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
