// The gRPC face of the sessions: see MirrorService.h.
#include "MirrorService.h"

#include "Security.h"
#include "TsanHandoff.h"

#include <deque>
#include <new>

namespace MirrorKit::Server {

namespace {

std::string metadata(const grpc::ServerContextBase& context, const char* key) {
    const auto& all = context.client_metadata();
    auto it = all.find(key);
    return it == all.end() ? std::string() : std::string(it->second.data(), it->second.size());
}

void setStatus(pb::Status* status, const Outcome& o) {
    status->set_code(o.code);
    status->set_message(o.message);
}

// Failures of the server itself (memory, a library exception) become result codes, never a dead server.
template <class F>
Outcome guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return refuse(ERR_MALLOC);
    } catch (const std::exception& e) {
        return refuse(ERR_UNKNOWN, std::string("(") + e.what() + ")");
    }
}

Outcome noSession(const std::string& name) { return refuse(ERR_DRIVER_NOT_OPEN, "(no session '" + name + "')"); }

constexpr size_t kWatchQueue = 256;

// A client's Connect stream: alive for as long as the client is. Its end (cancelled by the client, a lost
// connection, a server shutdown) detaches the client from everything.
class ConnectReactor final : public grpc::ServerWriteReactor<pb::ConnectEvent> {
public:
    // Lets the registry reach this stream for as long as it exists.
    class Link final : public ClientLink {
    public:
        explicit Link(ConnectReactor* reactor) : reactor_(reactor) {}
        void shutdownNotice() override {
            std::lock_guard<std::mutex> lock(mutex_);
            if (reactor_) reactor_->notifyShutdown();
        }
        void detach() {
            std::lock_guard<std::mutex> lock(mutex_);
            reactor_ = nullptr;
        }

    private:
        std::mutex mutex_;
        ConnectReactor* reactor_;
    };

    ConnectReactor(MirrorService& service, grpc::CallbackServerContext* context, const pb::ConnectRequest* request)
        : registry_(service.registry()), link_(std::make_shared<Link>(this)) {
        grpc::Status allowed = service.authorize(*context);
        if (allowed.ok() && request->client_name().size() > 128)
            allowed = grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "client_name has at most 128 characters");
        if (!allowed.ok()) {
            finished_ = true;
            Finish(allowed);
            // Not yet bound to its call, so gRPC keeps what was asked in the reactor until the constructor returns.
            handOff(this);
            return;
        }
        client_ = registry_.connect(request->client_name(), link_);
        std::lock_guard<std::mutex> lock(mutex_);
        event_.set_client_id(client_->id);
        writing_ = true;
        handOff(this);
        StartWrite(&event_);
    }

    void OnWriteDone(bool ok) override {
        takeOver(this);
        bool finish = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            writing_ = false;
            if (!ok || shutdownSent_ || cancelled_) {
                finish = !finished_;
                finished_ = true;
            } else if (shutdownPending_) {
                shutdownSent_ = true;
                writeShutdown();
            }
        }
        if (finish) {
            handOff(this);
            Finish(grpc::Status::OK);
        }
    }

    void OnCancel() override {
        takeOver(this);
        bool finish = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
            if (!writing_ && !finished_) finish = finished_ = true;
        }
        release();
        if (finish) {
            handOff(this);
            Finish(grpc::Status::CANCELLED);
        }
    }

    void OnDone() override {
        takeOver(this);
        link_->detach();
        release();
        delete this;
    }

    void notifyShutdown() {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdownPending_ = true;
        if (!writing_ && !finished_ && !shutdownSent_) {
            shutdownSent_ = true;
            writeShutdown();
        }
    }

private:
    // Under the lock. StartWrite reads the event on the calling thread, so the event is filled and handed to gRPC
    // under the lock, and no other thread can refill it while gRPC reads it (gRPC never calls back from inside
    // StartWrite).
    void writeShutdown() {
        event_.Clear();
        event_.set_shutting_down(true);
        writing_ = true;
        handOff(this);
        StartWrite(&event_);
    }

    void release() {
        ClientPtr client;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            client.swap(client_);
        }
        if (client) registry_.disconnect(client);
    }

    SessionRegistry& registry_;
    std::shared_ptr<Link> link_;
    std::mutex mutex_;
    ClientPtr client_;
    pb::ConnectEvent event_;
    bool writing_ = false, finished_ = false, cancelled_ = false, shutdownPending_ = false, shutdownSent_ = false;
};

// An observer's stream of frames. Frames arrive under the session's lock and wait in a bounded queue; a reader
// that falls behind loses the oldest and is told how many.
class WatchReactor final : public grpc::ServerWriteReactor<pb::FrameEvent> {
public:
    class Sink final : public FrameWatcher {
    public:
        explicit Sink(WatchReactor* reactor) : reactor_(reactor) {}
        void deliver(std::shared_ptr<const FrameRecord> frame) override {
            std::lock_guard<std::mutex> lock(mutex_);
            if (reactor_) reactor_->enqueue(std::move(frame));
        }
        void detach() {
            std::lock_guard<std::mutex> lock(mutex_);
            reactor_ = nullptr;
        }

    private:
        std::mutex mutex_;
        WatchReactor* reactor_;
    };

    WatchReactor(MirrorService& service, grpc::CallbackServerContext* context, const pb::WatchFramesRequest* request)
        : registry_(service.registry()), sink_(std::make_shared<Sink>(this)), omitValues_(request->omit_values()) {
        grpc::Status allowed = service.authorize(*context);
        if (!allowed.ok()) {
            finishing_ = true;
            Finish(allowed);
            // Not yet bound to its call, so gRPC keeps what was asked in the reactor until the constructor returns.
            handOff(this);
            return;
        }
        session_ = registry_.find(request->session());
        Outcome o = session_ ? guarded([&] { return registry_.watch(session_, sink_); }) : noSession(request->session());
        if (!o.ok()) {
            session_.reset();
            std::lock_guard<std::mutex> lock(mutex_);
            setStatus(event_.mutable_status(), o);
            event_.set_session_closed(true);
            writing_ = lastWritten_ = true;
            handOff(this);
            StartWrite(&event_);
        }
    }

    void enqueue(std::shared_ptr<const FrameRecord> frame) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishing_ || lastWritten_) return;
        if (queue_.size() >= kWatchQueue) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(std::move(frame));
        if (!writing_) writeNext();
    }

    void OnWriteDone(bool ok) override {
        takeOver(this);
        bool finish = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            writing_ = false;
            if (!ok || lastWritten_ || cancelled_) {
                finish = !finishing_;
                finishing_ = true;
            } else if (!queue_.empty()) {
                writeNext();
            }
        }
        if (finish) {
            handOff(this);
            Finish(grpc::Status::OK);
        }
    }

    void OnCancel() override {
        takeOver(this);
        bool finish = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cancelled_ = true;
            if (!writing_ && !finishing_) finish = finishing_ = true;
        }
        if (finish) {
            handOff(this);
            Finish(grpc::Status::CANCELLED);
        }
    }

    void OnDone() override {
        takeOver(this);
        sink_->detach();
        if (session_) registry_.unwatch(session_, sink_.get());
        delete this;
    }

private:
    // Moves the oldest queued frame into the event and starts writing it; under the lock. StartWrite reads the
    // event on the calling thread, so no other thread can refill it while gRPC reads it (gRPC never calls back from
    // inside StartWrite).
    void writeNext() {
        std::shared_ptr<const FrameRecord> f = std::move(queue_.front());
        queue_.pop_front();
        event_.Clear();
        event_.set_sequence(f->sequence);
        event_.set_time_unix_ns(f->timeUnixNs);
        if (!omitValues_) event_.mutable_values()->Assign(f->values.begin(), f->values.end());
        *event_.mutable_saturation() = f->saturation;
        event_.set_source(f->source);
        event_.set_writer(f->writer);
        event_.set_dropped(dropped_);
        dropped_ = 0;
        event_.set_session_closed(f->sessionClosed);
        setStatus(event_.mutable_status(), success());
        lastWritten_ = f->sessionClosed;
        writing_ = true;
        handOff(this);
        StartWrite(&event_);
    }

    SessionRegistry& registry_;
    std::shared_ptr<Sink> sink_;
    SessionPtr session_;
    const bool omitValues_;
    std::mutex mutex_;
    std::deque<std::shared_ptr<const FrameRecord>> queue_;
    uint64_t dropped_ = 0;
    pb::FrameEvent event_;
    bool writing_ = false, finishing_ = false, cancelled_ = false, lastWritten_ = false;
};

}  // namespace

MirrorService::MirrorService(SessionRegistry& registry, std::string token)
    : registry_(registry), token_(std::move(token)) {}

grpc::Status MirrorService::authorize(const grpc::ServerContextBase& context) const {
    if (token_.empty()) return grpc::Status::OK;
    const std::string header = metadata(context, kAuthorizationKey);
    static const std::string kBearer = "Bearer ";
    if (header.compare(0, kBearer.size(), kBearer) != 0 || !tokenMatches(header.substr(kBearer.size()), token_))
        return grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "missing or wrong token");
    return grpc::Status::OK;
}

grpc::Status MirrorService::caller(const grpc::ServerContextBase& context, ClientPtr& client) const {
    const std::string id = metadata(context, kClientIdKey);
    if (id.empty()) return grpc::Status::OK;
    client = registry_.client(id);
    if (!client)
        return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                            "unknown client id; the client's Connect stream has ended (call Connect again)");
    return grpc::Status::OK;
}

template <class Reply, class Op>
grpc::Status MirrorService::run(const grpc::ServerContextBase& context, const std::string& session, Reply* reply,
                                Op&& op) {
    grpc::Status allowed = authorize(context);
    if (!allowed.ok()) return allowed;
    ClientPtr client;
    allowed = caller(context, client);
    if (!allowed.ok()) return allowed;
    Outcome o = guarded([&] {
        SessionPtr s = registry_.find(session);
        return s ? op(client, s) : noSession(session);
    });
    if (o.malformed) return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, o.message);
    setStatus(reply->mutable_status(), o);
    return grpc::Status::OK;
}

grpc::ServerWriteReactor<pb::ConnectEvent>* MirrorService::Connect(grpc::CallbackServerContext* context,
                                                                  const pb::ConnectRequest* request) {
    return new ConnectReactor(*this, context, request);
}

grpc::ServerWriteReactor<pb::FrameEvent>* MirrorService::WatchFrames(grpc::CallbackServerContext* context,
                                                                    const pb::WatchFramesRequest* request) {
    return new WatchReactor(*this, context, request);
}

grpc::Status MirrorService::ListMirrors(grpc::ServerContext* context, const pb::ListMirrorsRequest*,
                                        pb::ListMirrorsReply* reply) {
    grpc::Status allowed = authorize(*context);
    if (!allowed.ok()) return allowed;
    setStatus(reply->mutable_status(), guarded([&] { return registry_.listMirrors(*reply); }));
    return grpc::Status::OK;
}

grpc::Status MirrorService::Open(grpc::ServerContext* context, const pb::OpenRequest* request, pb::OpenReply* reply) {
    grpc::Status allowed = authorize(*context);
    if (!allowed.ok()) return allowed;
    ClientPtr client;
    allowed = caller(*context, client);
    if (!allowed.ok()) return allowed;
    Outcome o = guarded([&] { return registry_.open(client, *request, *reply); });
    if (o.malformed) return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, o.message);
    setStatus(reply->mutable_status(), o);
    return grpc::Status::OK;
}

grpc::Status MirrorService::Close(grpc::ServerContext* context, const pb::CloseRequest* request,
                                  pb::CloseReply* reply) {
    return run(*context, request->session(), reply,
               [&](const ClientPtr& c, const SessionPtr& s) { return registry_.close(c, s, *reply); });
}

grpc::Status MirrorService::DescribeSession(grpc::ServerContext* context, const pb::DescribeSessionRequest* request,
                                            pb::DescribeSessionReply* reply) {
    return run(*context, request->session(), reply,
               [&](const ClientPtr&, const SessionPtr& s) { return registry_.describe(s, *reply); });
}

grpc::Status MirrorService::Reserve(grpc::ServerContext* context, const pb::ReserveRequest* request,
                                    pb::ReserveReply* reply) {
    return run(*context, request->session(), reply,
               [&](const ClientPtr& c, const SessionPtr& s) { return registry_.reserve(c, s, *reply); });
}

grpc::Status MirrorService::Release(grpc::ServerContext* context, const pb::ReleaseRequest* request,
                                    pb::StatusReply* reply) {
    return run(*context, request->session(), reply,
               [&](const ClientPtr& c, const SessionPtr& s) { return registry_.release(c, s); });
}

grpc::Status MirrorService::Send(grpc::ServerContext* context, const pb::SendRequest* request, pb::FrameReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        Values values(request->values());
        return registry_.writeChannel(c, s, std::string(), values, std::nullopt, pb::FRAME_SOURCE_SEND, *reply);
    });
}

grpc::Status MirrorService::Poke(grpc::ServerContext* context, const pb::PokeRequest* request, pb::FrameReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.poke(c, s, request->actuator(), request->value(), *reply);
    });
}

grpc::Status MirrorService::Read(grpc::ServerContext* context, const pb::ReadRequest* request, pb::ReadReply* reply) {
    return run(*context, request->session(), reply,
               [&](const ClientPtr&, const SessionPtr& s) { return registry_.read(s, *reply); });
}

grpc::Status MirrorService::Clear(grpc::ServerContext* context, const pb::ClearRequest* request,
                                  pb::FrameReply* reply) {
    return run(*context, request->session(), reply,
               [&](const ClientPtr& c, const SessionPtr& s) { return registry_.clear(c, s, *reply); });
}

grpc::Status MirrorService::SetChannel(grpc::ServerContext* context, const pb::SetChannelRequest* request,
                                       pb::FrameReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        std::optional<double> gain;
        if (request->has_gain()) gain = request->gain();
        Values values(request->values());
        return registry_.writeChannel(c, s, request->channel(), values, gain, pb::FRAME_SOURCE_CHANNEL, *reply);
    });
}

grpc::Status MirrorService::ClearChannel(grpc::ServerContext* context, const pb::ClearChannelRequest* request,
                                         pb::FrameReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.clearChannel(c, s, request->channel(), *reply);
    });
}

grpc::Status MirrorService::ListChannels(grpc::ServerContext* context, const pb::ListChannelsRequest* request,
                                         pb::ListChannelsReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr&, const SessionPtr& s) {
        return registry_.listChannels(s, request->with_values(), *reply);
    });
}

grpc::Status MirrorService::StreamFrames(
    grpc::ServerContext* context, grpc::ServerReaderWriter<pb::StreamFramesReply, pb::StreamFramesRequest>* stream) {
    grpc::Status allowed = authorize(*context);
    if (!allowed.ok()) return allowed;
    ClientPtr client;
    allowed = caller(*context, client);
    if (!allowed.ok()) return allowed;

    pb::StreamFramesRequest request;
    pb::StreamFramesReply reply;
    pb::FrameReply frame;
    SessionPtr session;
    std::string name;
    uint32_t ackEvery = 0;
    uint64_t received = 0, applied = 0, saturated = 0;
    auto counts = [&](bool final) {
        reply.set_frames_received(received);
        reply.set_frames_applied(applied);
        reply.set_frames_saturated(saturated);
        reply.set_final(final);
    };
    while (stream->Read(&request)) {
        ++received;
        if (received == 1) {
            name = request.session();
            ackEvery = request.ack_every();
            session = registry_.find(name);
        } else if (!request.session().empty() && request.session() != name) {
            return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                                "frame " + std::to_string(received) + " names session '" + request.session() +
                                    "'; the stream writes to '" + name + "'");
        }
        frame.Clear();
        Outcome o = guarded([&] {
            // The frame moves into its channel; the request is parsed anew for the next one.
            return session ? registry_.writeChannel(client, session, request.channel(), *request.mutable_values(),
                                                    std::nullopt, pb::FRAME_SOURCE_STREAM, frame)
                           : noSession(name);
        });
        if (o.malformed)
            return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                                "frame " + std::to_string(received) + ": " + o.message);
        if (!o.ok()) {
            setStatus(reply.mutable_status(), o);
            counts(true);
            stream->Write(reply);
            return grpc::Status::OK;
        }
        ++applied;
        if (frame.saturation().clamped()) ++saturated;
        reply.set_last_sequence(frame.sequence());
        reply.mutable_last_saturation()->Swap(frame.mutable_saturation());
        if (ackEvery && applied % ackEvery == 0) {
            setStatus(reply.mutable_status(), success());
            counts(false);
            if (!stream->Write(reply)) return grpc::Status::OK;
        }
    }
    setStatus(reply.mutable_status(), success());
    counts(true);
    stream->Write(reply);
    return grpc::Status::OK;
}

grpc::Status MirrorService::LoadCalibration(grpc::ServerContext* context, const pb::LoadCalibrationRequest* request,
                                            pb::StatusReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.loadCalibration(c, s, *request);
    });
}

grpc::Status MirrorService::CalculateSurface(grpc::ServerContext* context, const pb::SurfaceRequest* request,
                                             pb::CalculateSurfaceReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr&, const SessionPtr& s) {
        return registry_.calculateSurface(s, *request, *reply);
    });
}

grpc::Status MirrorService::SetSurface(grpc::ServerContext* context, const pb::SurfaceRequest* request,
                                       pb::FrameReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.setSurface(c, s, *request, *reply);
    });
}

grpc::Status MirrorService::ZernikeSurface(grpc::ServerContext* context, const pb::ZernikeSurfaceRequest* request,
                                           pb::ZernikeSurfaceReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr&, const SessionPtr& s) {
        return registry_.zernikeSurface(s, *request, *reply);
    });
}

grpc::Status MirrorService::SetSegment(grpc::ServerContext* context, const pb::SetSegmentRequest* request,
                                       pb::FrameReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.setSegment(c, s, *request, *reply);
    });
}

grpc::Status MirrorService::GetSegmentRange(grpc::ServerContext* context, const pb::GetSegmentRangeRequest* request,
                                            pb::GetSegmentRangeReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr&, const SessionPtr& s) {
        return registry_.segmentRange(s, *request, *reply);
    });
}

grpc::Status MirrorService::ConfigureSequence(grpc::ServerContext* context,
                                              const pb::ConfigureSequenceRequest* request, pb::StatusReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.configureSequence(c, s, *request);
    });
}

grpc::Status MirrorService::EnableSequence(grpc::ServerContext* context, const pb::EnableSequenceRequest* request,
                                           pb::StatusReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.enableSequence(c, s, request->frame_rate_hz(), request->enable());
    });
}

grpc::Status MirrorService::ConfigureDither(grpc::ServerContext* context, const pb::ConfigureDitherRequest* request,
                                            pb::StatusReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.configureDither(c, s, *request);
    });
}

grpc::Status MirrorService::EnableDither(grpc::ServerContext* context, const pb::EnableDitherRequest* request,
                                         pb::StatusReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.enableDither(c, s, request->frame_rate_hz(), request->enable());
    });
}

grpc::Status MirrorService::EnableHighRes(grpc::ServerContext* context, const pb::EnableHighResRequest* request,
                                          pb::StatusReply* reply) {
    return run(*context, request->session(), reply, [&](const ClientPtr& c, const SessionPtr& s) {
        return registry_.enableHighRes(c, s, request->enable());
    });
}

}  // namespace MirrorKit::Server
