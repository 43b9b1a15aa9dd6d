// File > Connect to Server...: which server, which of its mirrors, in which session, with which credentials, and
// whether to drive the mirror or only watch it.
#pragma once

#include "mirrorlink.h"

#include <QDialog>

#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class ConnectDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kDefaultAddress = "127.0.0.1:50061";

    // Starts from the target used last (an empty address: the default one).
    explicit ConnectDialog(const RemoteTarget& last, QWidget* parent = nullptr);

    // What the user chose.
    RemoteTarget target() const;

public slots:
    // Asks the server for its mirrors and offers them.
    void listMirrors();

private:
    void mirrorChosen(int index);
    void updateButtons();
    void browse(QLineEdit* edit, const QString& caption, const QString& filter);

    QLineEdit* address_;
    QPushButton* list_;
    QComboBox* mirror_;
    QLabel* listing_;
    QLineEdit* session_;
    QLineEdit* token_;
    QLineEdit* ca_;
    QCheckBox* watch_;
    QPushButton* connect_;
    std::vector<RemoteMirror> mirrors_;
    // The session name the dialog filled in from a listed mirror (replaced when another is chosen).
    QString filledSession_;
};
