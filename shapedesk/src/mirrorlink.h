// The one narrow path from ShapeDesk's controller to a mirror: the calls it makes on an open mirror, answered
// either by the kit in this process (a mirror cabled here) or by a mirror server (a mirror served elsewhere).
#pragma once

#include <KRV.h>

#include <QString>

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <vector>

// Codes from this one up are the transport's (a served mirror: code - kLinkTransport is the gRPC status), not
// the kit's.
constexpr KRVRC kLinkTransport = static_cast<KRVRC>(0x1000u);
constexpr KRVRC kLinkUnavailable = static_cast<KRVRC>(0x1000u + 14u);

// Where a mirror's actuators sit: a width x width grid, row-major; mask 1 where an actuator sits.
struct MirrorGeometry {
    int actuators = 0;
    int width = 0;
    DMLayout layout = DMSquareLayout;
    bool segmented = false;
    std::vector<int> mask;
};

// A mirror served by mirrorkit-server, as the Connect to Server dialog names it.
struct RemoteTarget {
    QString address;    // host:port
    QString serial;     // the mirror
    QString session;    // empty: the serial number
    QString tokenFile;  // a file holding the server's token; empty: none
    QString caFile;     // PEM of the authority that signed the server's certificate; empty: plaintext
    bool watch = false; // only show the frames another client sends: no reservation, no writes
};

// A mirror the server can open, as it lists them.
struct RemoteMirror {
    QString serial;
    bool profileRead = false;  // actuators is known
    int actuators = 0;
    bool open = false;         // open in `session`, with `clients` attached
    QString session;
    int clients = 0;
    bool reserved = false;
};

// One frame of a watched mirror.
struct WatchedFrame {
    std::vector<double> values;
    uint64_t sequence = 0;
};

class MirrorLink {
public:
    virtual ~MirrorLink() = default;

    // Frames: one value per actuator. map (local mirrors only) is the actuator map to send with, or null.
    virtual KRVRC send(const std::vector<double>& values, const uint32_t* map) = 0;
    virtual KRVRC read(std::vector<double>& frame) = 0;
    virtual KRVRC clear() = 0;
    // Ends the link: a local mirror is closed by the kit (which zeroes its outputs); a served one is released and
    // left to the server, which zeroes it when its last client goes.
    virtual KRVRC close() = 0;

    // Open loop. phase is a continuous CV_64F map; lowRes receives the map on the width x width actuator grid.
    virtual KRVRC calculateSurface(cv::Mat phase, int diameter, unsigned options, std::vector<double>& commands,
                                   cv::Mat& lowRes) = 0;
    virtual KRVRC zernikeSurface(std::vector<double> coefficients, int diameter, cv::Mat& surface) = 0;
    virtual KRVRC setSegment(unsigned segment, double piston, double xTilt, double yTilt, bool applyOffsets,
                             bool sendNow) = 0;
    virtual KRVRC segmentRange(unsigned segment, DMSegmentAxis axis, double piston, double xTilt, double yTilt,
                               bool applyOffsets, double& lo, double& hi) = 0;
    virtual KRVRC loadCalibration(const QString& file) = 0;
    virtual bool calibrationLoaded() const = 0;
    virtual KRVRC enableHighRes(bool enable) = 0;
    virtual MirrorGeometry geometry() const = 0;

    // The kit's message for the last failure of this link (the code's text when there is nothing more).
    virtual QString lastMessage() const = 0;

    // ---- served mirrors ----
    virtual bool isRemote() const { return false; }
    // Watching: writes are refused; frames come through nextFrame.
    virtual bool watching() const { return false; }
    // "host:port" of the server; empty for a local mirror.
    virtual QString server() const { return QString(); }
    // The server is gone or dropped this client: nothing more can be done through the link.
    virtual bool connectionLost() const { return false; }
    // Waits up to timeoutMs for the next watched frame: NO_ERR with a frame, ERR_TIMEOUT without one, anything
    // else when the watch has ended (message says why). Called by one thread at a time, any thread.
    virtual KRVRC nextFrame(WatchedFrame& frame, unsigned timeoutMs, QString& message) {
        (void)frame;
        (void)timeoutMs;
        message = QStringLiteral("this mirror is not watched");
        return ERR_NOT_IMPLEMENTED;
    }
};

// The kit in this process, over the caller's record (opened and owned by the caller).
std::unique_ptr<MirrorLink> makeLocalLink(DM& dm);

// Connects to the server the target names and opens its mirror (reserved for this program), or, to watch,
// describes the session without attaching to it. On failure returns null with the code and the kit's message.
// record receives what the server tells of the mirror (serial number, driver type, actuator count, grid width).
std::unique_ptr<MirrorLink> connectRemoteLink(const RemoteTarget& target, DM& record, KRVRC& rc, QString& message);

// The mirrors the target's server can open (only its address, token and certificate authority are used).
bool listRemoteMirrors(const RemoteTarget& target, std::vector<RemoteMirror>& mirrors, KRVRC& rc, QString& message);
