// File > Connect to Server...: see connectdialog.h.
#include "connectdialog.h"

#include "dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QWidget* withButton(QLineEdit* edit, QPushButton* button) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit, 1);
    layout->addWidget(button);
    return row;
}

QString entryText(const RemoteMirror& m) {
    QString text = m.serial;
    if (m.profileRead) text += QString(" (%1 actuators)").arg(m.actuators);
    if (m.open)
        text += QString(", open in session %1, %2 client%3%4")
                    .arg(m.session)
                    .arg(m.clients)
                    .arg(m.clients == 1 ? "" : "s")
                    .arg(m.reserved ? ", reserved" : "");
    return text;
}

}  // namespace

ConnectDialog::ConnectDialog(const RemoteTarget& last, QWidget* parent) : QDialog(parent) {
    setObjectName("connectDialog");
    setWindowTitle("Connect to Server");

    address_ = new QLineEdit(last.address.isEmpty() ? QString(kDefaultAddress) : last.address);
    address_->setObjectName("addressEdit");
    address_->setPlaceholderText("host:port");
    list_ = new QPushButton("&List Mirrors");
    list_->setObjectName("listButton");
    list_->setAutoDefault(false);
    mirror_ = new QComboBox;
    mirror_->setObjectName("mirrorBox");
    mirror_->setEditable(true);
    mirror_->setInsertPolicy(QComboBox::NoInsert);
    mirror_->setEditText(last.serial);
    listing_ = new QLabel("Select \"List Mirrors\" to see the server's mirrors.");
    listing_->setObjectName("listingLabel");
    listing_->setWordWrap(true);
    session_ = new QLineEdit(last.session);
    session_->setObjectName("sessionEdit");
    session_->setPlaceholderText("the serial number");
    token_ = new QLineEdit(last.tokenFile);
    token_->setObjectName("tokenEdit");
    token_->setPlaceholderText("none");
    auto* tokenBrowse = new QPushButton("Browse...");
    tokenBrowse->setObjectName("tokenBrowse");
    tokenBrowse->setAutoDefault(false);
    ca_ = new QLineEdit(last.caFile);
    ca_->setObjectName("caEdit");
    ca_->setPlaceholderText("none: plaintext, for a server on this computer");
    auto* caBrowse = new QPushButton("Browse...");
    caBrowse->setObjectName("caBrowse");
    caBrowse->setAutoDefault(false);
    watch_ = new QCheckBox("&Watch only: show the frames another program sends, without driving the mirror");
    watch_->setObjectName("watchBox");
    watch_->setChecked(last.watch);

    auto* form = new QFormLayout;
    form->addRow("&Server:", withButton(address_, list_));
    form->addRow("&Mirror:", mirror_);
    form->addRow(QString(), listing_);
    form->addRow("S&ession name:", session_);
    form->addRow("&Token file:", withButton(token_, tokenBrowse));
    form->addRow("TLS &CA file:", withButton(ca_, caBrowse));
    form->addRow(QString(), watch_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect_ = buttons->button(QDialogButtonBox::Ok);
    connect_->setText("C&onnect");
    connect_->setObjectName("connectButton");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("cancelButton");
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QPushButton::clicked, this, &ConnectDialog::listMirrors);
    connect(mirror_, qOverload<int>(&QComboBox::activated), this, &ConnectDialog::mirrorChosen);
    connect(mirror_, &QComboBox::editTextChanged, this, &ConnectDialog::updateButtons);
    connect(address_, &QLineEdit::textChanged, this, &ConnectDialog::updateButtons);
    connect(tokenBrowse, &QPushButton::clicked, this,
            [this] { browse(token_, "Find Token File", "Token Files(*)"); });
    connect(caBrowse, &QPushButton::clicked, this,
            [this] { browse(ca_, "Find Certificate Authority", "PEM Files(*.pem *.crt);;All Files(*)"); });
    updateButtons();
}

void ConnectDialog::browse(QLineEdit* edit, const QString& caption, const QString& filter) {
    const QString file = Dialogs::current().openFileName(this, caption, edit->text(), filter);
    if (!file.isEmpty()) edit->setText(file);
}

void ConnectDialog::updateButtons() {
    connect_->setEnabled(!address_->text().trimmed().isEmpty() && !target().serial.isEmpty());
}

void ConnectDialog::listMirrors() {
    KRVRC rc = NO_ERR;
    QString message;
    const QString typed = mirror_->currentText();
    mirror_->clear();
    mirrors_.clear();
    if (!listRemoteMirrors(target(), mirrors_, rc, message)) {
        listing_->setText(QString("Error %0: %1").arg(static_cast<unsigned>(rc)).arg(message));
        mirror_->setEditText(typed);
        return;
    }
    for (const RemoteMirror& m : mirrors_) mirror_->addItem(entryText(m), m.serial);
    listing_->setText(mirrors_.empty() ? QString("The server has no mirrors.")
                                       : QString("%1 mirror%2 on the server.")
                                             .arg(mirrors_.size())
                                             .arg(mirrors_.size() == 1 ? "" : "s"));
    int keep = mirror_->findData(typed);
    if (keep < 0) keep = 0;
    if (!mirrors_.empty()) {
        mirror_->setCurrentIndex(keep);
        mirrorChosen(keep);
    }
    updateButtons();
}

void ConnectDialog::mirrorChosen(int index) {
    if (index < 0 || index >= static_cast<int>(mirrors_.size())) return;
    const RemoteMirror& m = mirrors_[static_cast<size_t>(index)];
    // An open mirror is joined in its session; a name the user typed stays.
    if (session_->text().isEmpty() || session_->text() == filledSession_) {
        filledSession_ = m.open ? m.session : QString();
        session_->setText(filledSession_);
    }
    updateButtons();
}

RemoteTarget ConnectDialog::target() const {
    RemoteTarget t;
    t.address = address_->text().trimmed();
    // A listed entry carries its serial number; a typed one is the text itself.
    const int index = mirror_->currentIndex();
    const bool listed = index >= 0 && mirror_->itemText(index) == mirror_->currentText();
    t.serial = (listed ? mirror_->itemData(index).toString() : mirror_->currentText()).trimmed();
    t.session = session_->text().trimmed();
    t.tokenFile = token_->text().trimmed();
    t.caFile = ca_->text().trimmed();
    t.watch = watch_->isChecked();
    return t;
}
