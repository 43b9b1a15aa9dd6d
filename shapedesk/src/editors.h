// The in-place editors of the mirror view: one actuator's command, one segment's piston and tilts.
#pragma once

#include <QDoubleSpinBox>
#include <QWidget>

class ActuatorSpinBox : public QDoubleSpinBox {
    Q_OBJECT
public:
    explicit ActuatorSpinBox(QWidget* parent = nullptr) : QDoubleSpinBox(parent) {}

signals:
    void lostFocus();

protected:
    void focusOutEvent(QFocusEvent* event) override;
};

// Piston (nm) and x- and y-tilt (milliradians) of one segment.
class SegmentEditor : public QWidget {
    Q_OBJECT
public:
    explicit SegmentEditor(QWidget* parent = nullptr);
    double piston() const;
    double xTilt() const;
    double yTilt() const;
    QDoubleSpinBox* pistonBox() const { return piston_; }

signals:
    void lostFocus();
    void valueChanged(double piston, double xTilt, double yTilt);

public slots:
    void setValue(double piston, double xTilt, double yTilt);
    void selectAll();
    void setPistonRange(double min, double max);
    void setXTiltRange(double min, double max);
    void setYTiltRange(double min, double max);
    void handleValueChanged(double v);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QDoubleSpinBox* piston_;
    QDoubleSpinBox* xTilt_;
    QDoubleSpinBox* yTilt_;
};
