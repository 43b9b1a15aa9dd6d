// A mirror served by mirrorkit-server, through the remote client library.
#include "mirrorlink.h"

#include <KRVRemote.h>

#include <QFile>

#include <algorithm>
#include <cstring>

static_assert(unsigned(kLinkTransport) == KRV_REMOTE_TRANSPORT && unsigned(kLinkUnavailable) == KRV_REMOTE_UNAVAILABLE,
              "the window's transport codes are the remote library's");

namespace {

// The code's text with what the server or the library said about it.
QString describe(KRVRC rc, const char* said) {
    const QString detail = QString::fromUtf8(said ? said : "");
    if (rc >= KRV_REMOTE_TRANSPORT) return detail.isEmpty() ? QStringLiteral("transport failure") : detail;
    const QString text = QString::fromLocal8Bit(KRVErrorString(rc));
    return detail.isEmpty() || detail == text ? text : detail;
}

class RemoteLink : public MirrorLink {
public:
    RemoteLink(KRVRemote* remote, const RemoteTarget& target, const KRVRemoteMirrorInfo& info,
               std::vector<int> mask)
        : remote_(remote), target_(target), info_(info), mask_(std::move(mask)) {
        session_ = QByteArray(info.Session);
    }
    ~RemoteLink() override { disconnect(); }

    // Set up after the mirror is known: the watch begins at the frame applied now.
    KRVRC beginWatch() {
        watching_ = true;
        return note(KRVRemoteWatchBegin(remote_, session_.constData(), &watch_));
    }

    KRVRC send(const std::vector<double>& values, const uint32_t*) override {
        if (refused()) return ERR_DRIVER_ALREADY_OPEN;
        return note(KRVRemoteSend(remote_, session_.constData(), values.data(),
                                  static_cast<uint32_t>(values.size()), nullptr));
    }
    KRVRC read(std::vector<double>& frame) override {
        frame.assign(info_.ActCount, 0.0);
        uint32_t count = 0;
        return note(KRVRemoteRead(remote_, session_.constData(), frame.data(), static_cast<uint32_t>(frame.size()),
                                  &count, nullptr));
    }
    KRVRC clear() override {
        if (refused()) return ERR_DRIVER_ALREADY_OPEN;
        return note(KRVRemoteClear(remote_, session_.constData(), nullptr));
    }
    KRVRC close() override {
        KRVRC rc = NO_ERR;
        if (remote_ && !watching_ && !connectionLost()) {
            KRVRemoteRelease(remote_, session_.constData());
            rc = note(KRVRemoteClose(remote_, session_.constData()));
        }
        disconnect();
        return rc;
    }

    KRVRC calculateSurface(cv::Mat phase, int diameter, unsigned options, std::vector<double>& commands,
                           cv::Mat& lowRes) override {
        return note(KRVRemoteCalculateSurfaceEx(
            remote_, session_.constData(), phase.ptr<double>(), static_cast<uint32_t>(phase.cols),
            static_cast<uint32_t>(phase.rows), static_cast<uint32_t>(std::max(0, diameter)), options, commands.data(),
            static_cast<uint32_t>(commands.size()), lowRes.ptr<double>(), static_cast<uint32_t>(lowRes.total())));
    }
    KRVRC zernikeSurface(std::vector<double> coefficients, int diameter, cv::Mat& surface) override {
        uint32_t side = 0;
        const KRVRC rc = note(KRVRemoteZernikeSurface(
            remote_, session_.constData(), coefficients.data(), static_cast<uint32_t>(coefficients.size()),
            static_cast<uint32_t>(std::max(0, diameter)), false, surface.ptr<double>(),
            static_cast<uint32_t>(surface.total()), &side));
        if (rc == NO_ERR && static_cast<int>(side) != surface.cols) {
            message_ = QStringLiteral("the server's grid is %1 wide, not %2").arg(side).arg(surface.cols);
            return last_ = ERR_UNKNOWN;
        }
        return rc;
    }
    KRVRC setSegment(unsigned segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                     bool sendNow) override {
        if (refused()) return ERR_DRIVER_ALREADY_OPEN;
        return note(KRVRemoteSetSegment(remote_, session_.constData(), segment, piston, xTilt, yTilt, applyOffsets,
                                        sendNow, nullptr));
    }
    KRVRC segmentRange(unsigned segment, DMSegmentAxis axis, double piston, double xTilt, double yTilt,
                       bool applyOffsets, double& lo, double& hi) override {
        return note(KRVRemoteGetSegmentRange(remote_, session_.constData(), segment, axis, piston, xTilt, yTilt,
                                             applyOffsets, &lo, &hi));
    }
    KRVRC loadCalibration(const QString& file) override {
        if (refused()) return ERR_DRIVER_ALREADY_OPEN;
        const QByteArray name = file.toLocal8Bit();
        const KRVRC rc = note(KRVRemoteLoadCalibration(remote_, session_.constData(), name.constData()));
        if (rc == NO_ERR) info_.CalibrationLoaded = true;
        return rc;
    }
    bool calibrationLoaded() const override { return info_.CalibrationLoaded; }
    KRVRC enableHighRes(bool enable) override {
        if (refused()) return ERR_DRIVER_ALREADY_OPEN;
        return note(KRVRemoteEnableHighRes(remote_, session_.constData(), enable));
    }
    MirrorGeometry geometry() const override {
        MirrorGeometry g;
        g.actuators = static_cast<int>(info_.ActCount);
        g.width = static_cast<int>(info_.GridWidth);
        g.layout = static_cast<DMLayout>(info_.Layout);
        g.segmented = info_.Segmented;
        g.mask = mask_;
        return g;
    }
    QString lastMessage() const override { return message_; }

    bool isRemote() const override { return true; }
    bool watching() const override { return watching_; }
    QString server() const override { return target_.address; }
    bool connectionLost() const override { return !remote_ || !KRVRemoteIsConnected(remote_); }

    KRVRC nextFrame(WatchedFrame& frame, unsigned timeoutMs, QString& message) override {
        if (!watch_) {
            message = QStringLiteral("the mirror is not watched");
            return ERR_DRIVER_NOT_OPEN;
        }
        frame.values.assign(info_.ActCount, 0.0);
        KRVRemoteFrameEvent event{};
        const KRVRC rc = KRVRemoteWatchNext(watch_, frame.values.data(), static_cast<uint32_t>(frame.values.size()),
                                            &event, timeoutMs);
        if (rc == NO_ERR && event.SessionClosed) {
            message = QStringLiteral("the session was closed on the server");
            return ERR_DRIVER_NOT_OPEN;
        }
        if (rc != NO_ERR) {
            if (rc != ERR_TIMEOUT) message = describe(rc, KRVRemoteLastError());
            return rc;
        }
        if (event.Count != frame.values.size()) {
            message = QStringLiteral("a frame of %1 values for a mirror of %2").arg(event.Count).arg(frame.values.size());
            return ERR_UNKNOWN;
        }
        frame.sequence = event.Sequence;
        return NO_ERR;
    }

private:
    KRVRC note(KRVRC rc) {
        message_ = rc == NO_ERR ? QString() : describe(rc, KRVRemoteLastError());
        return last_ = rc;
    }
    // Writes while watching are refused here, before they reach the server.
    bool refused() {
        if (!watching_) return false;
        message_ = QStringLiteral("this window only watches the mirror");
        last_ = ERR_DRIVER_ALREADY_OPEN;
        return true;
    }
    void disconnect() {
        if (watch_) KRVRemoteWatchEnd(watch_);
        watch_ = nullptr;
        if (remote_) KRVRemoteDisconnect(remote_);
        remote_ = nullptr;
    }

    KRVRemote* remote_ = nullptr;
    KRVRemoteWatch* watch_ = nullptr;
    RemoteTarget target_;
    KRVRemoteMirrorInfo info_;
    std::vector<int> mask_;
    QByteArray session_;
    bool watching_ = false;
    KRVRC last_ = NO_ERR;
    QString message_;
};

// Reads the token: the file's first line, without surrounding blanks.
bool readToken(const QString& file, QByteArray& token, QString& message) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        message = QStringLiteral("cannot read the token file %1").arg(file);
        return false;
    }
    token = in.readLine().trimmed();
    if (token.isEmpty()) {
        message = QStringLiteral("the token file %1 is empty").arg(file);
        return false;
    }
    return true;
}

}  // namespace

namespace {

// A connection to the target's server, or null with the code and message.
KRVRemote* connectTo(const RemoteTarget& target, KRVRC& rc, QString& message) {
    QByteArray token;
    if (!target.tokenFile.isEmpty() && !readToken(target.tokenFile, token, message)) {
        rc = ERR_OPENFILE;
        return nullptr;
    }
    const QByteArray ca = target.caFile.toLocal8Bit();
    const QByteArray address = target.address.trimmed().toUtf8();
    KRVRemoteOptions options{};
    options.Token = token.isEmpty() ? nullptr : token.constData();
    options.RootCertificates = ca.isEmpty() ? nullptr : ca.constData();
    options.ClientName = target.watch ? "ShapeDesk (watching)" : "ShapeDesk";
    options.TimeoutMs = 5000;
    KRVRemote* remote = nullptr;
    rc = KRVRemoteConnect(address.constData(), &options, &remote);
    if (rc != NO_ERR) message = describe(rc, KRVRemoteLastError());
    return remote;
}

}  // namespace

bool listRemoteMirrors(const RemoteTarget& target, std::vector<RemoteMirror>& mirrors, KRVRC& rc, QString& message) {
    mirrors.clear();
    KRVRemote* remote = connectTo(target, rc, message);
    if (!remote) return false;
    std::vector<KRVRemoteMirrorEntry> entries(64);
    uint32_t count = 0;
    rc = KRVRemoteListMirrors(remote, entries.data(), static_cast<uint32_t>(entries.size()), &count);
    if (rc == NO_ERR && count > entries.size()) {
        entries.resize(count);
        rc = KRVRemoteListMirrors(remote, entries.data(), static_cast<uint32_t>(entries.size()), &count);
    }
    if (rc != NO_ERR) message = describe(rc, KRVRemoteLastError());
    KRVRemoteDisconnect(remote);
    if (rc != NO_ERR) return false;
    for (uint32_t k = 0; k < count && k < entries.size(); ++k) {
        const KRVRemoteMirrorEntry& e = entries[k];
        mirrors.push_back(RemoteMirror{QString::fromUtf8(e.Serial), e.ProfileRead, static_cast<int>(e.ActCount),
                                       e.Open, QString::fromUtf8(e.Session), static_cast<int>(e.Clients),
                                       e.Reserved});
    }
    return true;
}

std::unique_ptr<MirrorLink> connectRemoteLink(const RemoteTarget& target, DM& record, KRVRC& rc, QString& message) {
    KRVRemote* remote = connectTo(target, rc, message);
    if (!remote) return nullptr;
    const QByteArray serial = target.serial.toUtf8();
    const QByteArray session = (target.session.isEmpty() ? target.serial : target.session).toUtf8();
    KRVRemoteMirrorInfo info{};
    auto fail = [&](KRVRC code) {
        rc = code;
        message = describe(code, KRVRemoteLastError());
        KRVRemoteDisconnect(remote);
        return nullptr;
    };
    if (!target.watch) {
        rc = KRVRemoteOpen(remote, serial.constData(), session.constData(), KRV_REMOTE_AUTO, &info);
        if (rc != NO_ERR) return fail(rc);
        // One writer at a time: this window drives the mirror only while it holds the reservation.
        rc = KRVRemoteReserve(remote, info.Session);
        if (rc != NO_ERR) {
            const QString refusal = describe(rc, KRVRemoteLastError());
            KRVRemoteClose(remote, info.Session);
            KRVRemoteDisconnect(remote);
            message = refusal;
            return nullptr;
        }
    }
    // What the mirror is now (its calibration may have been loaded since it was opened), then its grid.
    rc = KRVRemoteDescribeSession(remote, session.constData(), &info, nullptr, 0, nullptr);
    if (rc != NO_ERR) return fail(rc);
    std::vector<uint8_t> cells(static_cast<size_t>(info.GridWidth) * info.GridWidth);
    uint32_t count = 0;
    rc = KRVRemoteDescribeSession(remote, session.constData(), &info, cells.data(),
                                  static_cast<uint32_t>(cells.size()), &count);
    if (rc != NO_ERR) return fail(rc);
    if (target.watch && !target.serial.isEmpty() && target.serial != QString::fromUtf8(info.Serial)) {
        KRVRemoteDisconnect(remote);
        rc = ERR_SERIAL_NUMBER;
        message = QStringLiteral("session %1 holds mirror %2, not %3")
                      .arg(QString::fromUtf8(session), QString::fromUtf8(info.Serial), target.serial);
        return nullptr;
    }
    std::vector<int> mask(cells.begin(), cells.begin() + count);
    auto link = std::make_unique<RemoteLink>(remote, target, info, std::move(mask));
    if (target.watch && link->beginWatch() != NO_ERR) {
        rc = ERR_UNKNOWN;
        message = link->lastMessage();
        return nullptr;
    }
    record = DM{};
    std::memcpy(record.SerialNumber, info.Serial, sizeof record.SerialNumber);
    record.DriverType = info.DriverType;
    record.ActCount = info.ActCount;
    record.ActCountWidth = info.GridWidth;
    record.Layout = info.Layout;
    record.DevId = info.DevId;
    rc = NO_ERR;
    message.clear();
    return link;
}
