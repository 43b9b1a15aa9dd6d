// Every question the program puts to a person (message boxes, file and number dialogs, opening a folder)
// goes through one object, so that tests can answer in place of a person.
#pragma once

#include "aocontrol.h"

#include <QString>
#include <QUrl>

class QWidget;

class Dialogs {
public:
    enum class Answer { Ok, Open };

    virtual ~Dialogs() = default;

    virtual void critical(QWidget* parent, const QString& title, const QString& text);
    virtual void warning(QWidget* parent, const QString& title, const QString& text);
    virtual void information(QWidget* parent, const QString& title, const QString& text);
    // An information box with the buttons OK and Open.
    virtual Answer informationWithOpen(QWidget* parent, const QString& title, const QString& text);
    // Empty when cancelled.
    virtual QString openFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter);
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter);
    // False when cancelled.
    virtual bool getDouble(QWidget* parent, const QString& title, const QString& label, double value, double min,
                           double max, int decimals, double* answer);
    virtual bool getInt(QWidget* parent, const IntegerQuestion& question, int* answer);
    // Shows a folder in the desktop's file manager.
    virtual bool openFolder(const QUrl& folder);

    // The object in use; the widget-showing one unless install() named another (not owned).
    static Dialogs& current();
    static void install(Dialogs* dialogs);
};
