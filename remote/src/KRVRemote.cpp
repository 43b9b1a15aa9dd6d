// Mirrors served by mirrorkit-server: the C interface of KRVRemote.h over the gRPC service's generated stubs.
#include "KRVRemote.h"

#include <mirrorkit/v1/mirror.grpc.pb.h>

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>

namespace pb = ::mirrorkit::v1;

namespace {

thread_local std::string lastError;

KRVRC fail(KRVRC code, std::string message) {
    lastError = std::move(message);
    return code;
}

KRVRC transport(const grpc::Status& status) {
    return fail(static_cast<KRVRC>(KRV_REMOTE_TRANSPORT + static_cast<unsigned>(status.error_code())),
                status.error_message().empty() ? "transport failure" : status.error_message());
}

// The kit's answer in a reply.
KRVRC answer(const pb::Status& status) {
    if (status.code() == NO_ERR) {
        lastError.clear();
        return NO_ERR;
    }
    return fail(static_cast<KRVRC>(status.code()), status.message());
}

template <class F>
KRVRC guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return fail(ERR_MALLOC, "out of memory");
    } catch (const std::exception& e) {
        return fail(ERR_UNKNOWN, e.what());
    }
}

void copyName(char* out, size_t size, const std::string& text) { std::snprintf(out, size, "%s", text.c_str()); }

void frameResult(const pb::FrameReply& reply, KRVRemoteFrameResult* result) {
    if (!result) return;
    *result = KRVRemoteFrameResult{};
    result->Sequence = reply.sequence();
    const auto& s = reply.saturation();
    result->Clamped = s.clamped();
    result->ClampedLow = s.clamped_low();
    result->ClampedHigh = s.clamped_high();
    result->ListedCount = static_cast<uint32_t>(std::min<int>(s.actuators_size(), KRV_REMOTE_SATURATION_LIST));
    std::copy_n(s.actuators().begin(), result->ListedCount, result->Actuators);
}

std::string text(const char* s) { return s ? s : ""; }

void mirrorInfo(const pb::MirrorInfo& m, const std::string& session, bool created, KRVRemoteMirrorInfo* info) {
    *info = KRVRemoteMirrorInfo{};
    copyName(info->Serial, sizeof info->Serial, m.serial());
    copyName(info->Session, sizeof info->Session, session);
    info->DriverType = static_cast<DRVTYPE>(m.driver_type());
    info->ActCount = m.n_actuators();
    info->GridWidth = m.grid_width();
    info->Layout = static_cast<uint32_t>(m.layout());
    info->DevId = m.device_id();
    info->ChannelCount = m.channel_count();
    info->Created = created;
    info->Segmented = m.segmented();
    info->CalibrationLoaded = m.calibration_loaded();
    info->StrokeNm = m.stroke_nm();
}

}  // namespace

struct KRVRemote {
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<pb::MirrorService::Stub> stub;
    std::string token;
    std::string id;
    std::chrono::milliseconds timeout{10000};
    grpc::ClientContext connectContext;
    std::unique_ptr<grpc::ClientReader<pb::ConnectEvent>> connection;
    std::thread reader;
    // False once the Connect stream ended or the server said it is shutting down.
    std::atomic<bool> connected{false};

    void prepare(grpc::ClientContext& context, bool deadline = true) const {
        if (deadline) context.set_deadline(std::chrono::system_clock::now() + timeout);
        if (!token.empty()) context.AddMetadata("authorization", "Bearer " + token);
        context.AddMetadata("mirrorkit-client-id", id);
    }

    template <class Request, class Reply>
    grpc::Status call(grpc::Status (pb::MirrorService::Stub::*method)(grpc::ClientContext*, const Request&, Reply*),
                      const Request& request, Reply& reply) {
        grpc::ClientContext context;
        prepare(context);
        return (stub.get()->*method)(&context, request, &reply);
    }

    // A call whose reply carries only the kit's answer (and perhaps a frame result).
    template <class Request, class Reply>
    KRVRC simple(grpc::Status (pb::MirrorService::Stub::*method)(grpc::ClientContext*, const Request&, Reply*),
                 const Request& request, Reply& reply) {
        grpc::Status status = call(method, request, reply);
        return status.ok() ? answer(reply.status()) : transport(status);
    }
};

struct KRVRemoteStream {
    grpc::ClientContext context;
    std::unique_ptr<grpc::ClientReaderWriter<pb::StreamFramesRequest, pb::StreamFramesReply>> stream;
    pb::StreamFramesRequest frame;
    std::string session;
    bool first = true;
    bool ended = false;  // the server has ended the stream: outcome and message say how
    KRVRC outcome = NO_ERR;
    std::string message;
    pb::StreamFramesReply final;
};

struct KRVRemoteWatch {
    grpc::ClientContext context;
    std::unique_ptr<grpc::ClientReader<pb::FrameEvent>> stream;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<pb::FrameEvent> events;
    bool ended = false;
    bool closed = false;  // the SessionClosed event was taken
    grpc::Status status;
};

namespace {

// Reads the first event of the Connect stream, which lives as long as the client and so carries no deadline: a
// server that took the connection but does not answer is given up on (the stream cancelled, expired set) when the
// time limit has passed. A first event that comes just as the time runs out counts as too late, since the stream
// that brought it is cancelled.
bool firstEvent(KRVRemote& r, pb::ConnectEvent& first, bool& expired) {
    std::mutex mutex;
    std::condition_variable done;
    bool read = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (done.wait_for(lock, r.timeout, [&] { return read; })) return;
        expired = true;
        r.connectContext.TryCancel();
    });
    const bool answered = r.connection->Read(&first);
    {
        std::lock_guard<std::mutex> lock(mutex);
        read = true;
    }
    done.notify_one();
    watchdog.join();
    return answered && !expired;
}

}  // namespace

extern "C" {

KRVAPI const char* KRVRemoteLastError(void) { return lastError.c_str(); }

KRVAPI KRVRC KRVRemoteConnect(const char* target, const KRVRemoteOptions* options, KRVRemote** remote) {
    if (!target || !remote) return fail(ERR_BADARG, "target and remote must not be null");
    *remote = nullptr;
    return guarded([&] {
        auto r = std::make_unique<KRVRemote>();
        std::shared_ptr<grpc::ChannelCredentials> credentials = grpc::InsecureChannelCredentials();
        std::string name = "mirrorkit-remote";
        if (options) {
            r->token = text(options->Token);
            if (options->TimeoutMs) r->timeout = std::chrono::milliseconds(options->TimeoutMs);
            if (options->ClientName) name = options->ClientName;
            if (options->RootCertificates) {
                std::ifstream in(options->RootCertificates);
                std::ostringstream pem;
                pem << in.rdbuf();
                if (!in || pem.str().empty())
                    return fail(ERR_OPENFILE, std::string("cannot read ") + options->RootCertificates);
                grpc::SslCredentialsOptions ssl;
                ssl.pem_root_certs = pem.str();
                credentials = grpc::SslCredentials(ssl);
            }
        }
        grpc::ChannelArguments args;
        args.SetMaxReceiveMessageSize(65 * 1024 * 1024);
        // Keep-alive pings find a vanished server, and keep the client known through idle firewalls.
        args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 20000);
        args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 1);
        r->channel = grpc::CreateCustomChannel(target, credentials, args);
        r->stub = pb::MirrorService::NewStub(r->channel);

        if (!r->channel->WaitForConnected(std::chrono::system_clock::now() + r->timeout))
            return fail(static_cast<KRVRC>(KRV_REMOTE_UNAVAILABLE), std::string("cannot reach ") + target);
        if (!r->token.empty()) r->connectContext.AddMetadata("authorization", "Bearer " + r->token);
        pb::ConnectRequest hello;
        hello.set_client_name(name);
        r->connection = r->stub->Connect(&r->connectContext, hello);
        pb::ConnectEvent first;
        bool expired = false;
        const bool answered = firstEvent(*r, first, expired);
        if (expired) {
            r->connection->Finish();
            return fail(static_cast<KRVRC>(KRV_REMOTE_DEADLINE_EXCEEDED),
                        std::string("no answer from mirrorkit-server at ") + target + " within " +
                            std::to_string(r->timeout.count()) + " ms");
        }
        if (!answered) return transport(r->connection->Finish());
        r->id = first.client_id();
        // The stream stays open for as long as the client lives: reading it keeps it so.
        KRVRemote* raw = r.get();
        r->connected = true;
        r->reader = std::thread([raw] {
            pb::ConnectEvent event;
            while (raw->connection->Read(&event))
                if (event.shutting_down()) raw->connected = false;
            raw->connected = false;
        });
        *remote = r.release();
        lastError.clear();
        return NO_ERR;
    });
}

KRVAPI void KRVRemoteDisconnect(KRVRemote* remote) {
    if (!remote) return;
    remote->connectContext.TryCancel();
    if (remote->reader.joinable()) remote->reader.join();
    if (remote->connection) remote->connection->Finish();
    delete remote;
}

KRVAPI bool KRVRemoteIsConnected(KRVRemote* remote) { return remote && remote->connected; }

KRVAPI KRVRC KRVRemoteListMirrors(KRVRemote* remote, KRVRemoteMirrorEntry* entries, uint32_t capacity,
                                  uint32_t* count) {
    if (!remote || !count || (capacity && !entries)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::ListMirrorsReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::ListMirrors, pb::ListMirrorsRequest(), reply);
        if (rc != NO_ERR) return rc;
        *count = static_cast<uint32_t>(reply.mirrors_size());
        for (uint32_t k = 0; k < capacity && k < *count; ++k) {
            const auto& m = reply.mirrors(static_cast<int>(k));
            KRVRemoteMirrorEntry& e = entries[k];
            e = KRVRemoteMirrorEntry{};
            copyName(e.Serial, sizeof e.Serial, m.serial());
            e.ProfileRead = m.profile_read();
            e.DriverType = static_cast<DRVTYPE>(m.driver_type());
            e.ActCount = m.n_actuators();
            e.Open = m.open();
            copyName(e.Session, sizeof e.Session, m.session());
            e.Clients = m.clients();
            e.Reserved = m.reserved();
        }
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVRemoteOpen(KRVRemote* remote, const char* serial, const char* session, KRVRemoteBehavior behavior,
                           KRVRemoteMirrorInfo* info) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::OpenRequest request;
        request.set_serial(text(serial));
        request.set_session(text(session));
        request.set_behavior(static_cast<pb::OpenRequest::Behavior>(behavior));
        pb::OpenReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::Open, request, reply);
        if (rc == NO_ERR && info) mirrorInfo(reply.mirror(), reply.session(), reply.created(), info);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteClose(KRVRemote* remote, const char* session) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::CloseRequest request;
        request.set_session(text(session));
        pb::CloseReply reply;
        return remote->simple(&pb::MirrorService::Stub::Close, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteDescribeSession(KRVRemote* remote, const char* session, KRVRemoteMirrorInfo* info,
                                      uint8_t* gridMask, uint32_t maskCapacity, uint32_t* maskCount) {
    if (!remote || (maskCapacity && !gridMask)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::DescribeSessionRequest request;
        request.set_session(text(session));
        pb::DescribeSessionReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::DescribeSession, request, reply);
        if (rc != NO_ERR) return rc;
        const auto& mask = reply.mirror().grid_mask();
        const auto n = static_cast<uint32_t>(mask.size());
        if (maskCount) *maskCount = n;
        if (gridMask && maskCapacity < n)
            return fail(ERR_BADARG, "the grid mask has " + std::to_string(n) + " cells; the array holds " +
                                        std::to_string(maskCapacity));
        if (gridMask) std::transform(mask.begin(), mask.end(), gridMask, [](bool b) { return uint8_t(b ? 1 : 0); });
        if (info) mirrorInfo(reply.mirror(), request.session(), false, info);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVRemoteReserve(KRVRemote* remote, const char* session) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::ReserveRequest request;
        request.set_session(text(session));
        pb::ReserveReply reply;
        return remote->simple(&pb::MirrorService::Stub::Reserve, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteRelease(KRVRemote* remote, const char* session) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::ReleaseRequest request;
        request.set_session(text(session));
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::Release, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteSend(KRVRemote* remote, const char* session, const double* values, uint32_t count,
                           KRVRemoteFrameResult* result) {
    if (!remote || (count && !values)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::SendRequest request;
        request.set_session(text(session));
        request.mutable_values()->Add(values, values + count);
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::Send, request, reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemotePoke(KRVRemote* remote, const char* session, uint32_t actuator, double value,
                           KRVRemoteFrameResult* result) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::PokeRequest request;
        request.set_session(text(session));
        request.set_actuator(actuator);
        request.set_value(value);
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::Poke, request, reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteRead(KRVRemote* remote, const char* session, double* values, uint32_t capacity,
                           uint32_t* count, uint64_t* sequence) {
    if (!remote || (capacity && !values)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::ReadRequest request;
        request.set_session(text(session));
        pb::ReadReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::Read, request, reply);
        if (rc != NO_ERR) return rc;
        const auto n = static_cast<uint32_t>(reply.values_size());
        if (count) *count = n;
        if (sequence) *sequence = reply.sequence();
        if (capacity < n)
            return fail(ERR_BADARG, "the frame has " + std::to_string(n) + " values; the array holds " +
                                        std::to_string(capacity));
        std::copy(reply.values().begin(), reply.values().end(), values);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVRemoteClear(KRVRemote* remote, const char* session, KRVRemoteFrameResult* result) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::ClearRequest request;
        request.set_session(text(session));
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::Clear, request, reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteSetChannel(KRVRemote* remote, const char* session, const char* channel, const double* values,
                                 uint32_t count, double gain, KRVRemoteFrameResult* result) {
    if (!remote || (count && !values)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::SetChannelRequest request;
        request.set_session(text(session));
        request.set_channel(text(channel));
        if (values) request.mutable_values()->Add(values, values + count);
        request.set_gain(gain);
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::SetChannel, request, reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteClearChannel(KRVRemote* remote, const char* session, const char* channel,
                                   KRVRemoteFrameResult* result) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::ClearChannelRequest request;
        request.set_session(text(session));
        request.set_channel(text(channel));
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::ClearChannel, request, reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteLoadCalibration(KRVRemote* remote, const char* session, const char* path) {
    if (!remote || !path) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        if (!in) return fail(ERR_OPENFILE, std::string("cannot read ") + path);
        pb::LoadCalibrationRequest request;
        request.set_session(text(session));
        request.set_data(data.str());
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::LoadCalibration, request, reply);
    });
}

namespace {
pb::SurfaceRequest surfaceRequest(const char* session, const double* phase, uint32_t width, uint32_t height,
                                  uint32_t dmDiameter, unsigned options) {
    pb::SurfaceRequest request;
    request.set_session(text(session));
    request.mutable_phase()->Add(phase, phase + static_cast<size_t>(width) * height);
    request.set_width(width);
    request.set_height(height);
    request.set_dm_diameter(dmDiameter);
    request.set_absolute((options & DM_SURFACE_ABSOLUTE_DEFLECTION) != 0);
    request.set_best_effort((options & DM_SURFACE_BEST_EFFORT) != 0);
    return request;
}
}  // namespace

KRVAPI KRVRC KRVRemoteCalculateSurface(KRVRemote* remote, const char* session, const double* phase, uint32_t width,
                                       uint32_t height, uint32_t dmDiameter, unsigned options, double* commands,
                                       uint32_t commandCount) {
    return KRVRemoteCalculateSurfaceEx(remote, session, phase, width, height, dmDiameter, options, commands,
                                       commandCount, nullptr, 0);
}

KRVAPI KRVRC KRVRemoteCalculateSurfaceEx(KRVRemote* remote, const char* session, const double* phase,
                                         uint32_t width, uint32_t height, uint32_t dmDiameter, unsigned options,
                                         double* commands, uint32_t commandCount, double* lowRes,
                                         uint32_t lowResCount) {
    if (!remote || !phase || !commands || (lowResCount && !lowRes)) return fail(ERR_BADARG, "null argument");
    if (options > 3) return fail(ERR_BADARG, "options above 3");
    return guarded([&] {
        pb::CalculateSurfaceReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::CalculateSurface,
                                  surfaceRequest(session, phase, width, height, dmDiameter, options), reply);
        if (rc != NO_ERR) return rc;
        if (commandCount < static_cast<uint32_t>(reply.commands_size()))
            return fail(ERR_BADARG, "the mirror has " + std::to_string(reply.commands_size()) + " actuators");
        if (lowRes && lowResCount < static_cast<uint32_t>(reply.low_resolution_size()))
            return fail(ERR_BADARG, "the grid has " + std::to_string(reply.low_resolution_size()) + " points");
        std::copy(reply.commands().begin(), reply.commands().end(), commands);
        if (lowRes) std::copy(reply.low_resolution().begin(), reply.low_resolution().end(), lowRes);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVRemoteSetSurface(KRVRemote* remote, const char* session, const double* phase, uint32_t width,
                                 uint32_t height, uint32_t dmDiameter, unsigned options,
                                 KRVRemoteFrameResult* result) {
    if (!remote || !phase) return fail(ERR_BADARG, "null argument");
    if (options > 3) return fail(ERR_BADARG, "options above 3");
    return guarded([&] {
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::SetSurface,
                                  surfaceRequest(session, phase, width, height, dmDiameter, options), reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteZernikeSurface(KRVRemote* remote, const char* session, const double* coefficients,
                                     uint32_t count, uint32_t dmDiameter, bool apertureOnly, double* phase,
                                     uint32_t phaseCapacity, uint32_t* side) {
    if (!remote || (count && !coefficients) || (phaseCapacity && !phase)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::ZernikeSurfaceRequest request;
        request.set_session(text(session));
        request.mutable_coefficients()->Add(coefficients, coefficients + count);
        request.set_dm_diameter(dmDiameter);
        request.set_aperture_only(apertureOnly);
        pb::ZernikeSurfaceReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::ZernikeSurface, request, reply);
        if (rc != NO_ERR) return rc;
        if (side) *side = reply.size();
        if (phaseCapacity < static_cast<uint32_t>(reply.phase_size()))
            return fail(ERR_BADARG, "the map has " + std::to_string(reply.phase_size()) + " values");
        std::copy(reply.phase().begin(), reply.phase().end(), phase);
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVRemoteSetSegment(KRVRemote* remote, const char* session, uint32_t segment, double piston,
                                 double xTilt, double yTilt, bool applyOffsets, bool sendNow,
                                 KRVRemoteFrameResult* result) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::SetSegmentRequest request;
        request.set_session(text(session));
        request.set_segment(segment);
        request.set_piston_nm(piston);
        request.set_x_tilt_rad(xTilt);
        request.set_y_tilt_rad(yTilt);
        request.set_apply_offsets(applyOffsets);
        request.set_defer(!sendNow);
        pb::FrameReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::SetSegment, request, reply);
        if (rc == NO_ERR) frameResult(reply, result);
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteGetSegmentRange(KRVRemote* remote, const char* session, uint32_t segment, DMSegmentAxis axis,
                                      double piston, double xTilt, double yTilt, bool applyOffsets, double* minValue,
                                      double* maxValue) {
    if (!remote || !minValue || !maxValue) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::GetSegmentRangeRequest request;
        request.set_session(text(session));
        request.set_segment(segment);
        request.set_axis(static_cast<pb::SegmentAxis>(axis));
        request.set_piston_nm(piston);
        request.set_x_tilt_rad(xTilt);
        request.set_y_tilt_rad(yTilt);
        request.set_apply_offsets(applyOffsets);
        pb::GetSegmentRangeReply reply;
        KRVRC rc = remote->simple(&pb::MirrorService::Stub::GetSegmentRange, request, reply);
        if (rc == NO_ERR) {
            *minValue = reply.min();
            *maxValue = reply.max();
        }
        return rc;
    });
}

KRVAPI KRVRC KRVRemoteConfigureSequence(KRVRemote* remote, const char* session, const double* values, double delay,
                                        uint32_t frameLength, uint32_t seqLength) {
    const uint64_t n = static_cast<uint64_t>(frameLength) * seqLength;
    if (!remote || (n && !values)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::ConfigureSequenceRequest request;
        request.set_session(text(session));
        request.mutable_values()->Add(values, values + n);
        request.set_delay_s(delay);
        request.set_frame_length(frameLength);
        request.set_seq_length(seqLength);
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::ConfigureSequence, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteEnableSequence(KRVRemote* remote, const char* session, double frameRate, bool enable) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::EnableSequenceRequest request;
        request.set_session(text(session));
        request.set_frame_rate_hz(frameRate);
        request.set_enable(enable);
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::EnableSequence, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteConfigureDither(KRVRemote* remote, const char* session, const double* waveform,
                                      uint32_t waveformLength, const double* gains, uint32_t gainCount) {
    if (!remote || (waveformLength && !waveform) || (gainCount && !gains)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        pb::ConfigureDitherRequest request;
        request.set_session(text(session));
        request.mutable_waveform()->Add(waveform, waveform + waveformLength);
        request.mutable_gains()->Add(gains, gains + gainCount);
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::ConfigureDither, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteEnableDither(KRVRemote* remote, const char* session, double frameRate, bool enable) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::EnableDitherRequest request;
        request.set_session(text(session));
        request.set_frame_rate_hz(frameRate);
        request.set_enable(enable);
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::EnableDither, request, reply);
    });
}

KRVAPI KRVRC KRVRemoteEnableHighRes(KRVRemote* remote, const char* session, bool enable) {
    if (!remote) return fail(ERR_BADARG, "null remote");
    return guarded([&] {
        pb::EnableHighResRequest request;
        request.set_session(text(session));
        request.set_enable(enable);
        pb::StatusReply reply;
        return remote->simple(&pb::MirrorService::Stub::EnableHighRes, request, reply);
    });
}

// ---- Streams ---------------------------------------------------------------------------------------------------

KRVAPI KRVRC KRVRemoteStreamBegin(KRVRemote* remote, const char* session, const char* channel,
                                  KRVRemoteStream** stream) {
    if (!remote || !stream) return fail(ERR_BADARG, "null argument");
    *stream = nullptr;
    return guarded([&] {
        auto s = std::make_unique<KRVRemoteStream>();
        remote->prepare(s->context, false);
        s->stream = remote->stub->StreamFrames(&s->context);
        s->session = text(session);
        s->frame.set_session(s->session);
        s->frame.set_channel(text(channel));
        *stream = s.release();
        lastError.clear();
        return NO_ERR;
    });
}

namespace {
// The server's last word on a stream: its final reply, or the transport's status.
// Read once, when the stream ends, and kept: every later Send and End answer the same.
KRVRC streamOutcome(KRVRemoteStream* s) {
    if (!s->ended) {
        pb::StreamFramesReply reply;
        while (s->stream->Read(&reply))
            if (reply.final()) s->final = reply;
        s->ended = true;
        grpc::Status status = s->stream->Finish();
        if (!status.ok()) {
            s->outcome = transport(status);
        } else if (!s->final.final()) {
            s->outcome = fail(ERR_UNKNOWN, "the stream ended without a final reply");
        } else {
            s->outcome = answer(s->final.status());
        }
        s->message = lastError;
    }
    lastError = s->message;
    return s->outcome;
}
}  // namespace

KRVAPI KRVRC KRVRemoteStreamSend(KRVRemoteStream* stream, const double* values, uint32_t count) {
    if (!stream || (count && !values)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        if (stream->ended) return streamOutcome(stream);
        stream->frame.clear_values();
        stream->frame.mutable_values()->Add(values, values + count);
        if (!stream->first) stream->frame.clear_session();
        stream->first = false;
        if (stream->stream->Write(stream->frame)) {
            lastError.clear();
            return NO_ERR;
        }
        // The server ended the stream: a refused frame, or the transport broke.
        KRVRC rc = streamOutcome(stream);
        return rc == NO_ERR ? fail(ERR_UNKNOWN, "the server ended the stream") : rc;
    });
}

KRVAPI KRVRC KRVRemoteStreamEnd(KRVRemoteStream* stream, KRVRemoteStreamCounts* counts) {
    if (!stream) return fail(ERR_BADARG, "null stream");
    std::unique_ptr<KRVRemoteStream> owned(stream);
    return guarded([&] {
        if (!stream->ended) stream->stream->WritesDone();
        KRVRC rc = streamOutcome(stream);
        if (counts) {
            counts->Received = stream->final.frames_received();
            counts->Applied = stream->final.frames_applied();
            counts->Saturated = stream->final.frames_saturated();
            counts->LastSequence = stream->final.last_sequence();
        }
        return rc;
    });
}

// ---- Watching --------------------------------------------------------------------------------------------------

KRVAPI KRVRC KRVRemoteWatchBegin(KRVRemote* remote, const char* session, KRVRemoteWatch** watch) {
    if (!remote || !watch) return fail(ERR_BADARG, "null argument");
    *watch = nullptr;
    return guarded([&] {
        auto w = std::make_unique<KRVRemoteWatch>();
        remote->prepare(w->context, false);
        pb::WatchFramesRequest request;
        request.set_session(text(session));
        w->stream = remote->stub->WatchFrames(&w->context, request);
        KRVRemoteWatch* raw = w.get();
        w->reader = std::thread([raw] {
            pb::FrameEvent event;
            while (raw->stream->Read(&event)) {
                std::lock_guard<std::mutex> lock(raw->mutex);
                // A program that stops reading keeps the newest frames.
                if (raw->events.size() >= 256) raw->events.pop_front();
                raw->events.push_back(event);
                raw->arrived.notify_all();
            }
            grpc::Status status = raw->stream->Finish();
            std::lock_guard<std::mutex> lock(raw->mutex);
            raw->status = status;
            raw->ended = true;
            raw->arrived.notify_all();
        });
        *watch = w.release();
        lastError.clear();
        return NO_ERR;
    });
}

KRVAPI KRVRC KRVRemoteWatchNext(KRVRemoteWatch* watch, double* values, uint32_t capacity,
                                KRVRemoteFrameEvent* event, uint32_t timeoutMs) {
    if (!watch || !event || (capacity && !values)) return fail(ERR_BADARG, "null argument");
    return guarded([&] {
        std::unique_lock<std::mutex> lock(watch->mutex);
        if (watch->closed) return fail(ERR_DRIVER_NOT_OPEN, "the session was closed");
        watch->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return !watch->events.empty() || watch->ended; });
        if (watch->events.empty()) {
            if (!watch->ended) return fail(ERR_TIMEOUT, "no frame in time");
            return watch->status.ok() ? fail(ERR_DRIVER_NOT_OPEN, "the watch has ended") : transport(watch->status);
        }
        pb::FrameEvent e = std::move(watch->events.front());
        watch->events.pop_front();
        lock.unlock();
        if (e.has_status() && e.status().code() != NO_ERR) return answer(e.status());
        *event = KRVRemoteFrameEvent{};
        event->Sequence = e.sequence();
        event->TimeUnixNs = e.time_unix_ns();
        event->Clamped = e.saturation().clamped();
        event->Dropped = e.dropped();
        event->SessionClosed = e.session_closed();
        copyName(event->Writer, sizeof event->Writer, e.writer());
        event->Count = std::min(capacity, static_cast<uint32_t>(e.values_size()));
        std::copy_n(e.values().begin(), event->Count, values);
        if (e.session_closed()) {
            std::lock_guard<std::mutex> again(watch->mutex);
            watch->closed = true;
        }
        lastError.clear();
        return NO_ERR;
    });
}

KRVAPI void KRVRemoteWatchEnd(KRVRemoteWatch* watch) {
    if (!watch) return;
    watch->context.TryCancel();
    if (watch->reader.joinable()) watch->reader.join();
    delete watch;
}

}  // extern "C"
