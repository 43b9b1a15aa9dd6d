// A remote program for the server's process tests: connects, opens and reserves a session, then streams frames
// until it is killed. Prints "streaming" once the reservation is held.
#include <mirrorkit/v1/mirror.grpc.pb.h>

#include <grpcpp/grpcpp.h>

#include <cstdio>
#include <string>

namespace pb = ::mirrorkit::v1;

int main(int argc, char** argv) {
    if (argc != 5 || std::string(argv[1]) != "stream") {
        std::fprintf(stderr, "usage: server_test_client stream TARGET SERIAL SESSION\n");
        return 2;
    }
    auto stub = pb::MirrorService::NewStub(grpc::CreateChannel(argv[2], grpc::InsecureChannelCredentials()));
    grpc::ClientContext connectContext;
    pb::ConnectRequest hello;
    hello.set_client_name("streamer");
    auto connection = stub->Connect(&connectContext, hello);
    pb::ConnectEvent first;
    if (!connection->Read(&first)) return 1;
    auto prepare = [&](grpc::ClientContext& c) { c.AddMetadata("mirrorkit-client-id", first.client_id()); };

    grpc::ClientContext openContext;
    prepare(openContext);
    pb::OpenRequest open;
    open.set_serial(argv[3]);
    open.set_session(argv[4]);
    pb::OpenReply opened;
    if (!stub->Open(&openContext, open, &opened).ok() || opened.status().code() != 0) return 1;
    grpc::ClientContext reserveContext;
    prepare(reserveContext);
    pb::ReserveRequest reserve;
    reserve.set_session(argv[4]);
    pb::ReserveReply reserved;
    if (!stub->Reserve(&reserveContext, reserve, &reserved).ok() || reserved.status().code() != 0) return 1;

    grpc::ClientContext streamContext;
    prepare(streamContext);
    auto stream = stub->StreamFrames(&streamContext);
    pb::StreamFramesRequest frame;
    frame.set_session(argv[4]);
    std::printf("streaming\n");
    std::fflush(stdout);
    for (unsigned k = 0;; ++k) {
        frame.clear_values();
        for (uint32_t i = 0; i < opened.mirror().n_actuators(); ++i) frame.add_values((k % 100) / 100.0);
        if (!stream->Write(frame)) return 1;
    }
}
