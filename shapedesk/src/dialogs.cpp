// The dialogs a person answers: message boxes, file and number dialogs, and the desktop's file manager.
#include "dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {
Dialogs* installed = nullptr;
}

Dialogs& Dialogs::current() {
    static Dialogs widgets;
    return installed ? *installed : widgets;
}

void Dialogs::install(Dialogs* dialogs) { installed = dialogs; }

void Dialogs::critical(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::critical(parent, title, text);
}

void Dialogs::warning(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::warning(parent, title, text);
}

void Dialogs::information(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::information(parent, title, text);
}

Dialogs::Answer Dialogs::informationWithOpen(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    QPushButton* open = box.addButton(QObject::tr("Open"), QMessageBox::ActionRole);
    box.exec();
    return box.clickedButton() == open ? Answer::Open : Answer::Ok;
}

QString Dialogs::openFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString Dialogs::saveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter) {
    return QFileDialog::getSaveFileName(parent, caption, dir, filter);
}

bool Dialogs::getDouble(QWidget* parent, const QString& title, const QString& label, double value, double min,
                        double max, int decimals, double* answer) {
    bool ok = false;
    const double v = QInputDialog::getDouble(parent, title, label, value, min, max, decimals, &ok);
    if (ok) *answer = v;
    return ok;
}

bool Dialogs::getInt(QWidget* parent, const IntegerQuestion& q, int* answer) {
    bool ok = false;
    const int v = QInputDialog::getInt(parent, q.title, q.label, q.value, q.minimum, q.maximum, q.step, &ok);
    if (ok) *answer = v;
    return ok;
}

bool Dialogs::openFolder(const QUrl& folder) { return QDesktopServices::openUrl(folder); }
