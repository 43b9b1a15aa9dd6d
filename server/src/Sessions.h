// Sessions of the mirror server: open mirrors shared by named sessions, the clients attached to them, their
// reservations, channels and watchers. Every call of the kit on a session's record is made under that session's
// lock, so one record is never used by two threads at once.
#pragma once

#include "Outcome.h"

#include <mirrorkit/v1/mirror.pb.h>

#include <KRV.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace MirrorKit::Server {

namespace pb = ::mirrorkit::v1;

struct SessionSettings {
    // Search folders given to every record before it opens; empty ones are the kit's defaults.
    std::string profiles;
    std::string maps;
    std::string calibrations;
    // When the last client goes away without closing: false zeroes and closes the mirror, true keeps it open.
    bool holdOnIdle = false;
};

// How the server reaches a client's Connect stream.
class ClientLink {
public:
    virtual ~ClientLink() = default;
    // The server is going down; the client should stop.
    virtual void shutdownNotice() = 0;
};

struct Client {
    std::string id;
    std::string name;
    std::atomic<bool> gone{false};
    std::weak_ptr<ClientLink> link;
};
using ClientPtr = std::shared_ptr<Client>;

// One applied frame as watchers see it; shared by all of them.
struct FrameRecord {
    uint64_t sequence = 0;
    int64_t timeUnixNs = 0;
    std::vector<double> values;
    pb::SaturationReport saturation;
    pb::FrameSource source = pb::FRAME_SOURCE_UNSPECIFIED;
    std::string writer;
    bool sessionClosed = false;
};

class FrameWatcher {
public:
    virtual ~FrameWatcher() = default;
    // Called under the session's lock: must not block and must not call back into the session.
    virtual void deliver(std::shared_ptr<const FrameRecord> frame) = 0;
};

class Session;
using SessionPtr = std::shared_ptr<Session>;
// Actuator values as requests carry them, so that a frame moves into its channel without a copy.
using Values = google::protobuf::RepeatedField<double>;

// Bounds of the values a request may carry: finite, and small enough that no channel sum can overflow.
constexpr double kValueBound = 1e6;
constexpr size_t kMaxChannels = 32;
constexpr size_t kMaxNameLength = 64;

class SessionRegistry {
public:
    explicit SessionRegistry(SessionSettings settings);
    ~SessionRegistry();
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    // Clients. A client that disconnects loses its reservations and is detached from every session.
    ClientPtr connect(const std::string& name, std::weak_ptr<ClientLink> link);
    void disconnect(const ClientPtr& client);
    // The connected client of that id, or null.
    ClientPtr client(const std::string& id) const;

    // The open session of that name, or null.
    SessionPtr find(const std::string& name) const;

    Outcome listMirrors(pb::ListMirrorsReply& reply) const;
    Outcome open(const ClientPtr& caller, const pb::OpenRequest& request, pb::OpenReply& reply);
    Outcome close(const ClientPtr& caller, const SessionPtr& session, pb::CloseReply& reply);
    Outcome describe(const SessionPtr& session, pb::DescribeSessionReply& reply);
    Outcome reserve(const ClientPtr& caller, const SessionPtr& session, pb::ReserveReply& reply);
    Outcome release(const ClientPtr& caller, const SessionPtr& session);

    // Writes the values (and gain) of a channel ("" is the default channel) and sends the sum. An empty values
    // array with a gain changes only the gain of an existing channel. The values are swapped into the channel:
    // afterwards the array holds the channel's previous values (or, on failure, its own again).
    Outcome writeChannel(const ClientPtr& caller, const SessionPtr& session, const std::string& channel,
                         Values& values, std::optional<double> gain, pb::FrameSource source, pb::FrameReply& reply);
    Outcome poke(const ClientPtr& caller, const SessionPtr& session, uint32_t actuator, double value,
                 pb::FrameReply& reply);
    Outcome read(const SessionPtr& session, pb::ReadReply& reply);
    Outcome clear(const ClientPtr& caller, const SessionPtr& session, pb::FrameReply& reply);
    Outcome clearChannel(const ClientPtr& caller, const SessionPtr& session, const std::string& channel,
                         pb::FrameReply& reply);
    Outcome listChannels(const SessionPtr& session, bool withValues, pb::ListChannelsReply& reply);

    Outcome loadCalibration(const ClientPtr& caller, const SessionPtr& session,
                            const pb::LoadCalibrationRequest& request);
    Outcome calculateSurface(const SessionPtr& session, const pb::SurfaceRequest& request,
                             pb::CalculateSurfaceReply& reply);
    Outcome setSurface(const ClientPtr& caller, const SessionPtr& session, const pb::SurfaceRequest& request,
                       pb::FrameReply& reply);
    Outcome zernikeSurface(const SessionPtr& session, const pb::ZernikeSurfaceRequest& request,
                           pb::ZernikeSurfaceReply& reply);
    Outcome setSegment(const ClientPtr& caller, const SessionPtr& session, const pb::SetSegmentRequest& request,
                       pb::FrameReply& reply);
    Outcome segmentRange(const SessionPtr& session, const pb::GetSegmentRangeRequest& request,
                         pb::GetSegmentRangeReply& reply);

    Outcome configureSequence(const ClientPtr& caller, const SessionPtr& session,
                              const pb::ConfigureSequenceRequest& request);
    Outcome enableSequence(const ClientPtr& caller, const SessionPtr& session, double rate, bool enable);
    Outcome configureDither(const ClientPtr& caller, const SessionPtr& session,
                            const pb::ConfigureDitherRequest& request);
    Outcome enableDither(const ClientPtr& caller, const SessionPtr& session, double rate, bool enable);
    Outcome enableHighRes(const ClientPtr& caller, const SessionPtr& session, bool enable);

    // Registers a watcher; it is first given the frame applied now. Refused when the session is closed.
    Outcome watch(const SessionPtr& session, const std::shared_ptr<FrameWatcher>& watcher);
    void unwatch(const SessionPtr& session, const FrameWatcher* watcher);

    // Tells every client, zeroes and closes every open mirror, and refuses new sessions from then on.
    void shutdown();

    // Number of open sessions (for the server's own accounting and tests).
    size_t sessionCount() const;

private:
    void forget(const SessionPtr& session);
    void closeMirror(Session& s);

    SessionSettings settings_;
    mutable std::mutex mutex_;  // guards the maps below; never held while a session's lock is taken
    std::map<std::string, ClientPtr> clients_;
    std::map<std::string, SessionPtr> sessions_;      // by name
    std::map<std::string, std::string> serials_;      // serial -> session name
    std::map<std::string, std::vector<std::weak_ptr<Session>>> attachedTo_;  // client id -> sessions it opened
    bool shuttingDown_ = false;
};

}  // namespace MirrorKit::Server
