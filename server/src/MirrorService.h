// The gRPC face of the sessions: checks the token and the client id of every call, turns requests into session
// operations and outcomes into replies (the kit's code in the reply, malformed requests as INVALID_ARGUMENT).
#pragma once

#include "Sessions.h"

#include <mirrorkit/v1/mirror.grpc.pb.h>

#include <grpcpp/grpcpp.h>

#include <string>

namespace MirrorKit::Server {

// Metadata keys of every call.
constexpr const char* kClientIdKey = "mirrorkit-client-id";
constexpr const char* kAuthorizationKey = "authorization";

using ServiceBase = pb::MirrorService::WithCallbackMethod_Connect<
    pb::MirrorService::WithCallbackMethod_WatchFrames<pb::MirrorService::Service>>;

class MirrorService final : public ServiceBase {
public:
    // token: empty when the server takes calls without one.
    MirrorService(SessionRegistry& registry, std::string token);

    grpc::ServerWriteReactor<pb::ConnectEvent>* Connect(grpc::CallbackServerContext* context,
                                                       const pb::ConnectRequest* request) override;
    grpc::ServerWriteReactor<pb::FrameEvent>* WatchFrames(grpc::CallbackServerContext* context,
                                                         const pb::WatchFramesRequest* request) override;

    grpc::Status ListMirrors(grpc::ServerContext*, const pb::ListMirrorsRequest*, pb::ListMirrorsReply*) override;
    grpc::Status Open(grpc::ServerContext*, const pb::OpenRequest*, pb::OpenReply*) override;
    grpc::Status Close(grpc::ServerContext*, const pb::CloseRequest*, pb::CloseReply*) override;
    grpc::Status DescribeSession(grpc::ServerContext*, const pb::DescribeSessionRequest*,
                                 pb::DescribeSessionReply*) override;
    grpc::Status Reserve(grpc::ServerContext*, const pb::ReserveRequest*, pb::ReserveReply*) override;
    grpc::Status Release(grpc::ServerContext*, const pb::ReleaseRequest*, pb::StatusReply*) override;
    grpc::Status Send(grpc::ServerContext*, const pb::SendRequest*, pb::FrameReply*) override;
    grpc::Status Poke(grpc::ServerContext*, const pb::PokeRequest*, pb::FrameReply*) override;
    grpc::Status Read(grpc::ServerContext*, const pb::ReadRequest*, pb::ReadReply*) override;
    grpc::Status Clear(grpc::ServerContext*, const pb::ClearRequest*, pb::FrameReply*) override;
    grpc::Status SetChannel(grpc::ServerContext*, const pb::SetChannelRequest*, pb::FrameReply*) override;
    grpc::Status ClearChannel(grpc::ServerContext*, const pb::ClearChannelRequest*, pb::FrameReply*) override;
    grpc::Status ListChannels(grpc::ServerContext*, const pb::ListChannelsRequest*, pb::ListChannelsReply*) override;
    grpc::Status StreamFrames(grpc::ServerContext*,
                              grpc::ServerReaderWriter<pb::StreamFramesReply, pb::StreamFramesRequest>*) override;
    grpc::Status LoadCalibration(grpc::ServerContext*, const pb::LoadCalibrationRequest*, pb::StatusReply*) override;
    grpc::Status CalculateSurface(grpc::ServerContext*, const pb::SurfaceRequest*,
                                  pb::CalculateSurfaceReply*) override;
    grpc::Status SetSurface(grpc::ServerContext*, const pb::SurfaceRequest*, pb::FrameReply*) override;
    grpc::Status ZernikeSurface(grpc::ServerContext*, const pb::ZernikeSurfaceRequest*,
                                pb::ZernikeSurfaceReply*) override;
    grpc::Status SetSegment(grpc::ServerContext*, const pb::SetSegmentRequest*, pb::FrameReply*) override;
    grpc::Status GetSegmentRange(grpc::ServerContext*, const pb::GetSegmentRangeRequest*,
                                 pb::GetSegmentRangeReply*) override;
    grpc::Status ConfigureSequence(grpc::ServerContext*, const pb::ConfigureSequenceRequest*,
                                   pb::StatusReply*) override;
    grpc::Status EnableSequence(grpc::ServerContext*, const pb::EnableSequenceRequest*, pb::StatusReply*) override;
    grpc::Status ConfigureDither(grpc::ServerContext*, const pb::ConfigureDitherRequest*, pb::StatusReply*) override;
    grpc::Status EnableDither(grpc::ServerContext*, const pb::EnableDitherRequest*, pb::StatusReply*) override;
    grpc::Status EnableHighRes(grpc::ServerContext*, const pb::EnableHighResRequest*, pb::StatusReply*) override;

    // The token check and client look-up every call makes; public for the stream reactors.
    grpc::Status authorize(const grpc::ServerContextBase& context) const;
    grpc::Status caller(const grpc::ServerContextBase& context, ClientPtr& client) const;
    SessionRegistry& registry() { return registry_; }

private:
    template <class Reply, class Op>
    grpc::Status run(const grpc::ServerContextBase& context, const std::string& session, Reply* reply, Op&& op);

    SessionRegistry& registry_;
    const std::string token_;
};

}  // namespace MirrorKit::Server
