// Served mirrors in the window: File > Connect to Server... against mirrorkit-server run by the test on a free
// loopback port, with other programs (the remote C library) driving and reading the same sessions.
#include "ScriptedDialogs.h"
#include "ShapeDeskTestSupport.h"
#include "StartedWindow.h"

#include "ServerProcess.h"

#include "connectdialog.h"
#include "framewatcher.h"
#include "ui_userwindow.h"
#include "userwindow.h"

#include <KRVRemote.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

using servertest::ServerProcess;

namespace {

using Remote = std::unique_ptr<KRVRemote, void (*)(KRVRemote*)>;

// Another program on the same server.
Remote client(const std::string& target, const char* name) {
    KRVRemoteOptions options{};
    options.ClientName = name;
    options.TimeoutMs = 5000;
    KRVRemote* r = nullptr;
    if (KRVRemoteConnect(target.c_str(), &options, &r) != NO_ERR) qWarning("%s", KRVRemoteLastError());
    return Remote(r, KRVRemoteDisconnect);
}

// The frame the server applies to a session, with its number.
std::vector<double> serverFrame(KRVRemote* r, const char* session, uint64_t* sequence = nullptr) {
    std::vector<double> values(4096);
    uint32_t n = 0;
    if (KRVRemoteRead(r, session, values.data(), 4096, &n, sequence) != NO_ERR) return {};
    values.resize(n);
    return values;
}

bool sameFrame(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size() || a.empty()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::abs(a[i] - b[i]) > 1.5 / 65535) return false;
    return true;
}

using sdtest::chooseFromMenu;

QAction* menuAction(UserWindow& window, const char* name) {
    auto* action = window.findChild<QAction*>(name);
    if (!action) qWarning("no action %s", name);
    return action;
}

// Replaces a line edit's text as a person does: select everything, type.
void typeInto(QWidget* edit, const QString& text) {
    QTest::mouseClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty()) QTest::keyClick(edit, Qt::Key_Delete);
    else QTest::keyClicks(edit, text);
}

struct Choice {
    QString address;
    QString serial;
    QString session;
    bool watch = false;
    QString tokenFile = QString();
    // The serial number must be among those the server lists.
    bool listed = true;
    QString caFile = QString();
};

// A certificate authority and a server certificate for 127.0.0.1 signed by it, made with Debian's openssl.
bool makeCertificates(const std::string& dir) {
    const std::string script =
        "set -e; cd '" + dir + "'; "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
        "-days 2 -subj '/CN=ShapeDesk test authority' 2>/dev/null; "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr "
        "-subj /CN=localhost 2>/dev/null; "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.cnf; "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile san.cnf 2>/dev/null";
    QProcess shell;
    shell.start("sh", {"-c", QString::fromStdString(script)});
    return shell.waitForFinished(30000) && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0;
}

// File > Connect to Server..., the dialog filled in and Connect clicked.
void connectThroughDialog(UserWindow& window, const Choice& c) {
    QAction* action = menuAction(window, "actionConnect_to_Server");
    QVERIFY(action && action->isEnabled());
    chooseFromMenu(window.form()->menuFile, action);
    ConnectDialog* dialog = nullptr;
    QTRY_VERIFY((dialog = window.findChild<ConnectDialog*>("connectDialog")) && dialog->isVisible());
    auto* address = dialog->findChild<QLineEdit*>("addressEdit");
    auto* mirror = dialog->findChild<QComboBox*>("mirrorBox");
    QVERIFY(address && mirror);
    typeInto(address, c.address);
    typeInto(dialog->findChild<QLineEdit*>("tokenEdit"), c.tokenFile);
    typeInto(dialog->findChild<QLineEdit*>("caEdit"), c.caFile);
    typeInto(mirror->lineEdit(), c.serial);
    QTest::mouseClick(dialog->findChild<QPushButton*>("listButton"), Qt::LeftButton);
    if (c.listed) {
        const int index = mirror->findData(c.serial);
        QVERIFY2(index >= 0, qPrintable(dialog->findChild<QLabel*>("listingLabel")->text()));
        QCOMPARE(mirror->currentIndex(), index);
        QVERIFY(mirror->currentText().startsWith(c.serial + " ("));
    }
    typeInto(dialog->findChild<QLineEdit*>("sessionEdit"), c.session);
    auto* watch = dialog->findChild<QCheckBox*>("watchBox");
    if (watch->isChecked() != c.watch) QTest::mouseClick(watch, Qt::LeftButton, Qt::NoModifier, QPoint(6, watch->height() / 2));
    QCOMPARE(watch->isChecked(), c.watch);
    auto* connectButton = dialog->findChild<QPushButton*>("connectButton");
    QVERIFY(connectButton->isEnabled());
    QTest::mouseClick(connectButton, Qt::LeftButton);
    QTest::qWait(20);
}

// A watched mirror that produces `count` frames as fast as it is asked, then says its session closed.
class BurstLink : public MirrorLink {
public:
    explicit BurstLink(int count) : count_(count) {}
    std::atomic<int> served{0};

    KRVRC nextFrame(WatchedFrame& frame, unsigned, QString& message) override {
        const int k = served;
        if (k >= count_) {
            message = "the session was closed on the server";
            return ERR_DRIVER_NOT_OPEN;
        }
        frame.values.assign(4, static_cast<double>(k));
        frame.sequence = static_cast<uint64_t>(k + 1);
        served = k + 1;
        return NO_ERR;
    }
    KRVRC send(const std::vector<double>&, const uint32_t*) override { return ERR_NOT_IMPLEMENTED; }
    KRVRC read(std::vector<double>&) override { return ERR_NOT_IMPLEMENTED; }
    KRVRC clear() override { return ERR_NOT_IMPLEMENTED; }
    KRVRC close() override { return NO_ERR; }
    KRVRC calculateSurface(cv::Mat, int, unsigned, std::vector<double>&, cv::Mat&) override { return ERR_NOT_IMPLEMENTED; }
    KRVRC zernikeSurface(std::vector<double>, int, cv::Mat&) override { return ERR_NOT_IMPLEMENTED; }
    KRVRC setSegment(unsigned, double, double, double, bool, bool) override { return ERR_NOT_IMPLEMENTED; }
    KRVRC segmentRange(unsigned, DMSegmentAxis, double, double, double, bool, double&, double&) override {
        return ERR_NOT_IMPLEMENTED;
    }
    KRVRC loadCalibration(const QString&) override { return ERR_NOT_IMPLEMENTED; }
    bool calibrationLoaded() const override { return false; }
    KRVRC enableHighRes(bool) override { return ERR_NOT_IMPLEMENTED; }
    MirrorGeometry geometry() const override { return {}; }
    QString lastMessage() const override { return {}; }

private:
    int count_;
};

}  // namespace

class RemoteWindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<krvtest::InstallTree> tree;
    std::unique_ptr<sdtest::ScriptedDialogs> dialogs;
    std::unique_ptr<ServerProcess> server;
    QString address;

private slots:
    void initTestCase() {
        QVERIFY(std::filesystem::exists(sdtest::table("cdm_952_z.mat")));
        tree = std::make_unique<krvtest::InstallTree>();
        sdtest::writeDummyMirror(*tree, "SDREMO00952", 952, sdtest::table("cdm_952_z.mat"));
        sdtest::writeDummyMirror(*tree, "SDREMO00140", 140);
        server = std::make_unique<ServerProcess>(*tree);
        address = QString::fromStdString(server->target());
        dialogs = std::make_unique<sdtest::ScriptedDialogs>();
    }
    void init() { dialogs->boxes.clear(); }

    void aBusyWindowGetsTheNewestFrameNotAQueue() {
        BurstLink link(5000);
        FrameWatcher watcher(link);
        std::vector<std::vector<double>> shown;
        std::vector<QString> ends;
        connect(&watcher, &FrameWatcher::frame, this,
                [&](const std::vector<double>& values, quint64) { shown.push_back(values); });
        connect(&watcher, &FrameWatcher::ended, this, [&](KRVRC, const QString& message) { ends.push_back(message); });
        watcher.start();
        // The window is busy (no events taken) while every frame arrives.
        QElapsedTimer busy;
        busy.start();
        while (link.served < 5000 && busy.elapsed() < 5000) QThread::msleep(5);
        QCOMPARE(link.served.load(), 5000);
        QThread::msleep(20);
        QCoreApplication::processEvents();
        QCOMPARE(shown.size(), size_t(1));
        QCOMPARE(shown[0], std::vector<double>(4, 4999.0));
        QCOMPARE(ends.size(), size_t(1));
        QCOMPARE(ends[0], QString("the session was closed on the server"));
        QCoreApplication::processEvents();
        QCOMPARE(shown.size(), size_t(1));
        watcher.stop();
    }

    void connectedWindowDrivesTheServedMirror() {
        auto window = sdtest::startedWindow();
        auto* ui = window->form();
        connectThroughDialog(*window, {address, "SDREMO00952", "bench"});
        QVERIFY2(window->mirrorSession().isRemote(), qPrintable(window->statusText()));
        QCOMPARE(window->windowTitle(), "KRV ShapeDesk - SDREMO00952 on " + address);
        QCOMPARE(window->statusText(), "Connected to SDREMO00952 on " + address + ".");

        Remote other = client(server->target(), "other program");
        QVERIFY(other);
        // The server's mirror has its calibration: the window offers the calibrated modes, as for a local one.
        QVERIFY(ui->zernikeControlRadio->isEnabled());
        QTest::mouseClick(ui->zernikeControlRadio, Qt::LeftButton);
        QVERIFY(ui->zernikeControlRadio->isChecked());
        uint64_t before = 0, after = 0;
        serverFrame(other.get(), "bench", &before);
        QTest::keyClick(ui->zern4, Qt::Key_PageUp);
        QVERIFY(ui->zern4->value() > 0);
        const std::vector<double> applied = serverFrame(other.get(), "bench", &after);
        QCOMPARE(after, before + 1);
        QCOMPARE(applied.size(), size_t(952));
        QVERIFY(sameFrame(applied, window->currentFrame()));
        const double spread = *std::max_element(applied.begin(), applied.end()) -
                              *std::min_element(applied.begin(), applied.end());
        QVERIFY2(spread > 0.001, qPrintable(QString("%1 nm defocus: spread %2").arg(ui->zern4->value()).arg(spread)));
        QCOMPARE(window->statusText(), QString("Zernike surface sent to DM SDREMO00952."));
        // The readouts follow at the next screen refresh.
        QTRY_VERIFY(!ui->targetPVReadback->text().isEmpty());

        // The window holds the session's reservation: another program attached to it cannot write.
        QCOMPARE(KRVRemoteOpen(other.get(), nullptr, "bench", KRV_REMOTE_ATTACH_ONLY, nullptr), NO_ERR);
        std::vector<double> flat(952, 0.25);
        QCOMPARE(KRVRemoteSend(other.get(), "bench", flat.data(), 952, nullptr), ERR_DRIVER_ALREADY_OPEN);

        // Actuator control writes too; a served mirror has no local map to load.
        QTest::mouseClick(ui->actuatorControlRadio, Qt::LeftButton);
        QTest::keyClick(ui->pistonSlider, Qt::Key_PageUp);
        QVERIFY(sameFrame(serverFrame(other.get(), "bench"), window->currentFrame()));
        QVERIFY(!ui->actionOpenMap->isEnabled());

        // File > Disconnect gives the reservation back and leaves the window closed.
        QAction* disconnect = menuAction(*window, "actionDisconnect");
        QVERIFY(disconnect->isEnabled());
        chooseFromMenu(ui->menuFile, disconnect);
        QVERIFY(!window->mirrorSession().isOpen());
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk"));
        QVERIFY(!disconnect->isEnabled());
        QCOMPARE(KRVRemoteReserve(other.get(), "bench"), NO_ERR);
        QCOMPARE(KRVRemoteClose(other.get(), "bench"), NO_ERR);
        // Closing the window does not make the served mirror the one to reopen locally at the next start.
        QCOMPARE(QSettings().value("SerialNumber").toString(), QString());
    }

    void watchShowsAnotherProgramsFramesAndWritesNothing() {
        Remote driver = client(server->target(), "loop");
        QVERIFY(driver);
        QCOMPARE(KRVRemoteOpen(driver.get(), "SDREMO00140", "loop", KRV_REMOTE_AUTO, nullptr), NO_ERR);
        QCOMPARE(KRVRemoteReserve(driver.get(), "loop"), NO_ERR);
        std::vector<double> a(140);
        for (int i = 0; i < 140; ++i) a[i] = i / 139.0;
        QCOMPARE(KRVRemoteSend(driver.get(), "loop", a.data(), 140, nullptr), NO_ERR);

        auto window = sdtest::startedWindow();
        auto* ui = window->form();
        connectThroughDialog(*window, {address, "SDREMO00140", "loop", true});
        QVERIFY2(window->mirrorSession().watching(), qPrintable(window->statusText()));
        QCOMPARE(window->windowTitle(), "KRV ShapeDesk - Watching SDREMO00140 on " + address);
        QCOMPARE(window->statusText(), "Watching SDREMO00140 on " + address + ".");
        QTRY_VERIFY(sameFrame(window->currentFrame(), a));

        // Frames sent faster than the window draws them: the newest one is shown.
        std::vector<double> b(140);
        for (int k = 1; k <= 40; ++k) {
            for (int i = 0; i < 140; ++i) b[i] = std::fmod(0.013 * k + i / 280.0, 1.0);
            QCOMPARE(KRVRemoteSend(driver.get(), "loop", b.data(), 140, nullptr), NO_ERR);
        }
        QTRY_VERIFY(sameFrame(window->currentFrame(), b));

        // Nothing that writes can be used, and trying does not reach the server.
        for (QAction* action : {ui->actionZeroAll, ui->actionPokeAll, ui->actionPoke_Next, ui->actionLoad_Shape,
                                ui->actionLoadCalibration, ui->actionOpenMap, ui->actionHigh_Res_Mode})
            QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
        QVERIFY(!ui->pistonSlider->isEnabled());
        QVERIFY(!ui->zernikeBox->isEnabled());
        QVERIFY(!ui->graphicsView->isEnabled());
        QVERIFY(!ui->shapesBox->isEnabled());
        uint64_t before = 0, after = 0;
        serverFrame(driver.get(), "loop", &before);
        QTest::keyClick(ui->pistonSlider, Qt::Key_PageUp);
        chooseFromMenu(ui->menuOptions, ui->actionZeroAll);
        QTest::keyClick(window.get(), Qt::Key_N, Qt::ControlModifier);  // Poke Next
        QTest::keyClick(window.get(), Qt::Key_P, Qt::ShiftModifier);    // Poke All
        QVERIFY(window->mirrorSession().sendFrame(std::vector<double>(140, 0.0)) != NO_ERR);
        QTest::qWait(50);
        QVERIFY(sameFrame(serverFrame(driver.get(), "loop", &after), b));
        QCOMPARE(after, before);
        QVERIFY(sameFrame(window->currentFrame(), b));

        // Ending the watch stops following the frames; the program that drives the mirror goes on.
        chooseFromMenu(ui->menuFile, menuAction(*window, "actionDisconnect"));
        QVERIFY(!window->mirrorSession().isOpen());
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk"));
        QCOMPARE(KRVRemoteSend(driver.get(), "loop", a.data(), 140, nullptr), NO_ERR);

        // A window closed while it watches stops at once.
        connectThroughDialog(*window, {address, "SDREMO00140", "loop", true});
        QVERIFY(window->mirrorSession().watching());
        QElapsedTimer closing;
        closing.start();
        window->close();
        window.reset();
        QVERIFY2(closing.elapsed() < 2000, qPrintable(QString::number(closing.elapsed())));

        // The session closed by its driver ends the watch: said in the window, which is left closed.
        window = sdtest::startedWindow();
        connectThroughDialog(*window, {address, "SDREMO00140", "loop", true});
        QVERIFY(window->mirrorSession().watching());
        QCOMPARE(KRVRemoteClose(driver.get(), "loop"), NO_ERR);
        QTRY_VERIFY(!window->mirrorSession().isOpen());
        QVERIFY2(window->statusText().startsWith("Error") && window->statusText().contains("closed"),
                 qPrintable(window->statusText()));
        QVERIFY(!dialogs->boxes.isEmpty() && dialogs->boxes.last().startsWith("critical|"));
        QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk"));
    }

    void refusalsAreShownWithTheServersMessage() {
        auto window = sdtest::startedWindow();
        // A session another program holds: its reservation refuses this window.
        Remote holder = client(server->target(), "holder");
        QCOMPARE(KRVRemoteOpen(holder.get(), "SDREMO00140", "held", KRV_REMOTE_AUTO, nullptr), NO_ERR);
        QCOMPARE(KRVRemoteReserve(holder.get(), "held"), NO_ERR);
        connectThroughDialog(*window, {address, "SDREMO00140", "held"});
        QVERIFY(!window->mirrorSession().isOpen());
        QVERIFY2(window->statusText().startsWith("Could not open SDREMO00140 on " + address + ": Error " +
                                                 QString::number(ERR_DRIVER_ALREADY_OPEN)) &&
                     window->statusText().contains("reserved by 'holder'"),
                 qPrintable(window->statusText()));
        QVERIFY(window->statusStyle().contains("red"));
        QCOMPARE(dialogs->boxes.size(), 1);
        QVERIFY2(dialogs->boxes[0].startsWith("critical|") && dialogs->boxes[0].contains("reserved by 'holder'"),
                 qPrintable(dialogs->boxes[0]));
        // The refused window did not stay attached: the holder's close closes the mirror.
        QCOMPARE(KRVRemoteClose(holder.get(), "held"), NO_ERR);
        KRVRemoteMirrorEntry entries[4];
        uint32_t count = 0;
        QCOMPARE(KRVRemoteListMirrors(holder.get(), entries, 4, &count), NO_ERR);
        for (uint32_t k = 0; k < count && k < 4; ++k) QVERIFY(!entries[k].Open);

        // No server at the address.
        dialogs->boxes.clear();
        connectThroughDialog(*window, {"127.0.0.1:1", "SDREMO00140", "", false, "", false});
        QVERIFY(!window->mirrorSession().isOpen());
        QVERIFY2(window->statusText().contains(QString("Error %1").arg(KRV_REMOTE_UNAVAILABLE)),
                 qPrintable(window->statusText()));
        QCOMPARE(dialogs->boxes.size(), 1);

        // A server with a token: a wrong one is refused (listing too), the right one opens.
        krvtest::TempDir secrets("sd-token");
        krvtest::writeText(secrets / "token", "right-token\n");
        krvtest::writeText(secrets / "wrong", "wrong-token\n");
        chmod((secrets / "token").c_str(), 0600);
        ServerProcess guarded(*tree, "127.0.0.1:0", {"--token-file", secrets / "token"});
        const QString guardedAddress = QString::fromStdString(guarded.target());
        dialogs->boxes.clear();
        connectThroughDialog(*window, {guardedAddress, "SDREMO00140", "", false,
                                       QString::fromStdString(secrets / "wrong"), false});
        QVERIFY(!window->mirrorSession().isOpen());
        QVERIFY2(window->statusText().contains(QString("Error %1").arg(KRV_REMOTE_UNAUTHENTICATED)),
                 qPrintable(window->statusText()));
        QCOMPARE(dialogs->boxes.size(), 1);
        connectThroughDialog(*window, {guardedAddress, "SDREMO00140", "", false,
                                       QString::fromStdString(secrets / "token")});
        QVERIFY2(window->mirrorSession().isRemote(), qPrintable(window->statusText()));
        window->close();
    }

    void aServerWithTlsIsReachedWithItsAuthority() {
        krvtest::TempDir pki("sd-pki");
        QVERIFY2(makeCertificates(pki.path()), "openssl could not make the test certificates");
        krvtest::writeText(pki / "token", "tls-token\n");
        chmod((pki / "token").c_str(), 0600);
        ServerProcess secured(*tree, "127.0.0.1:0",
                              {"--tls-cert", pki / "server.pem", "--tls-key", pki / "server.key", "--token-file",
                               pki / "token"});
        const QString securedAddress = QString::fromStdString(secured.target());
        const QString token = QString::fromStdString(pki / "token");
        auto window = sdtest::startedWindow();
        // Without the authority the window speaks plaintext, which a TLS server does not answer.
        connectThroughDialog(*window, {securedAddress, "SDREMO00140", "", false, token, false});
        QVERIFY(!window->mirrorSession().isOpen());
        QVERIFY2(window->statusText().contains(QString("Error %1").arg(KRV_REMOTE_UNAVAILABLE)),
                 qPrintable(window->statusText()));
        // With it, the mirror opens and takes frames.
        connectThroughDialog(*window, {securedAddress, "SDREMO00140", "", false, token, true,
                                       QString::fromStdString(pki / "ca.pem")});
        QVERIFY2(window->mirrorSession().isRemote(), qPrintable(window->statusText()));
        QTest::keyClick(window->form()->pistonSlider, Qt::Key_PageUp);
        QVERIFY(window->currentFrame().at(0) > 0.0);
        QCOMPARE(window->statusText(), "Connected to SDREMO00140 on " + securedAddress + ".");
        window->close();
    }

    void aServerThatGoesAwayIsShownAndTheWindowCloses() {
        for (const bool watch : {false, true}) {
            auto doomed = std::make_unique<ServerProcess>(*tree);
            const QString doomedAddress = QString::fromStdString(doomed->target());
            Remote driver = client(doomed->target(), "driver");
            QCOMPARE(KRVRemoteOpen(driver.get(), "SDREMO00140", "gone", KRV_REMOTE_AUTO, nullptr), NO_ERR);
            auto window = sdtest::startedWindow();
            dialogs->boxes.clear();
            connectThroughDialog(*window, {doomedAddress, "SDREMO00140", "gone", watch});
            QVERIFY2(window->mirrorSession().isRemote(), qPrintable(window->statusText()));
            doomed.reset();  // killed
            QTRY_VERIFY_WITH_TIMEOUT(!window->mirrorSession().isOpen(), 10000);
            QVERIFY2(window->statusText().startsWith("Error") && window->statusText().contains(doomedAddress),
                     qPrintable(window->statusText()));
            QVERIFY(window->statusStyle().contains("red"));
            QCOMPARE(dialogs->boxes.size(), 1);
            QVERIFY2(dialogs->boxes[0].contains("lost"), qPrintable(dialogs->boxes[0]));
            QCOMPARE(window->windowTitle(), QString("KRV ShapeDesk"));
            QVERIFY(!window->form()->actionZeroAll->isEnabled());
            QVERIFY(menuAction(*window, "actionConnect_to_Server")->isEnabled());
        }
    }
};

int main(int argc, char** argv) {
    // Settings of this run only.
    krvtest::TempDir config("sd-config");
    qputenv("XDG_CONFIG_HOME", config.path().c_str());
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velmira");
    QCoreApplication::setApplicationName("ShapeDesk");
    RemoteWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "remote_window_test.moc"
