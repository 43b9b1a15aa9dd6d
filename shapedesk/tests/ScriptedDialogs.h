// Dialogs answered by the test: every question is recorded, answers come from queues the test fills.
#pragma once

#include "dialogs.h"

#include <QList>
#include <QStringList>

#include <deque>

namespace sdtest {

// An empty queue answers "cancel".
class ScriptedDialogs : public Dialogs {
public:
    ScriptedDialogs() { Dialogs::install(this); }
    ~ScriptedDialogs() override { Dialogs::install(nullptr); }

    QStringList boxes;  // "critical|title|text", "warning|...", "information|..."
    QStringList asked;  // captions of file and number dialogs
    std::deque<QString> fileAnswers;
    std::deque<double> doubleAnswers;
    std::deque<int> intAnswers;
    Answer infoAnswer = Answer::Ok;
    QList<QUrl> openedFolders;
    IntegerQuestion lastIntQuestion;

    void critical(QWidget*, const QString& title, const QString& text) override {
        boxes << "critical|" + title + "|" + text;
    }
    void warning(QWidget*, const QString& title, const QString& text) override {
        boxes << "warning|" + title + "|" + text;
    }
    void information(QWidget*, const QString& title, const QString& text) override {
        boxes << "information|" + title + "|" + text;
    }
    Answer informationWithOpen(QWidget*, const QString& title, const QString& text) override {
        boxes << "information|" + title + "|" + text;
        return infoAnswer;
    }
    QString openFileName(QWidget*, const QString& caption, const QString&, const QString& filter) override {
        asked << caption + "|" + filter;
        return pop(fileAnswers, QString());
    }
    QString saveFileName(QWidget*, const QString& caption, const QString&, const QString& filter) override {
        asked << caption + "|" + filter;
        return pop(fileAnswers, QString());
    }
    bool getDouble(QWidget*, const QString& title, const QString& label, double, double, double, int,
                   double* answer) override {
        asked << title + "|" + label;
        if (doubleAnswers.empty()) return false;
        *answer = pop(doubleAnswers, 0.0);
        return true;
    }
    bool getInt(QWidget*, const IntegerQuestion& q, int* answer) override {
        asked << q.title + "|" + q.label;
        lastIntQuestion = q;
        if (intAnswers.empty()) return false;
        *answer = pop(intAnswers, 0);
        return true;
    }
    bool openFolder(const QUrl& folder) override {
        openedFolders << folder;
        return true;
    }

private:
    template <typename T>
    static T pop(std::deque<T>& q, T fallback) {
        if (q.empty()) return fallback;
        T v = q.front();
        q.pop_front();
        return v;
    }
};

}  // namespace sdtest
