// Test helpers of the mirror server: a server in the test's own process on a free loopback port, in a private
// install tree, and clients that speak to it as any remote program does.
#pragma once

#include "Server.h"
#include "support/KrvTestSupport.h"

#include <mirrorkit/v1/mirror.grpc.pb.h>

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <memory>
#include <string>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace servertest {

namespace pb = ::mirrorkit::v1;

// Every call of the tests gives up after this long, so that a fault shows as a failure, not a hang.
constexpr auto kCallTimeout = std::chrono::seconds(10);

// The process's install tree: profiles, maps and calibration tables of the tests.
krvtest::InstallTree& tree();
void profile(const std::string& serial, const std::vector<std::string>& lines);
// Folder of the generated test data (calibration tables), from KRV_TEST_BINARY_DIR.
std::string testData(const std::string& relative);

// mirrorkit-server's machinery running in this process, listening on 127.0.0.1 at a free port.
class LocalServer {
public:
    // On 127.0.0.1 at a free port, on the test's install tree (defaults()).
    LocalServer();
    explicit LocalServer(MirrorKit::Server::ServerOptions options);
    ~LocalServer();
    std::string target() const { return "127.0.0.1:" + std::to_string(server_->port()); }
    MirrorKit::Server::MirrorServer& server() { return *server_; }
    static MirrorKit::Server::ServerOptions defaults();

private:
    std::unique_ptr<MirrorKit::Server::MirrorServer> server_;
};

// A remote program: a channel, its Connect stream (kept open by a reader thread) and the calls.
class Client {
public:
    Client(const std::string& target, const std::string& name,
           std::shared_ptr<grpc::ChannelCredentials> credentials = grpc::InsecureChannelCredentials(),
           const std::string& token = "", const grpc::ChannelArguments& arguments = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Opens the Connect stream and waits for the client id; the gRPC status when that failed.
    grpc::Status connect();
    // Ends the Connect stream, as a client that goes away does.
    void disconnect();
    const std::string& id() const { return id_; }
    bool shutdownNoticed() const { return shutdownNoticed_; }
    // Calls made without the client id (an observer that never connected).
    void anonymous(bool on) { anonymous_ = on; }

    // A context with the deadline, the token and the client id.
    void prepare(grpc::ClientContext& context) const;
    pb::MirrorService::Stub& stub() { return *stub_; }

    template <class Request, class Reply>
    grpc::Status call(grpc::Status (pb::MirrorService::Stub::*method)(grpc::ClientContext*, const Request&, Reply*),
                      const Request& request, Reply& reply) {
        grpc::ClientContext context;
        prepare(context);
        return (stub_.get()->*method)(&context, request, &reply);
    }

    // Shorthands that expect the transport to work (gRPC status OK) and return the reply.
    pb::OpenReply open(const std::string& serial, const std::string& session = "",
                       pb::OpenRequest::Behavior behavior = pb::OpenRequest::AUTO);
    pb::CloseReply close(const std::string& session);
    pb::FrameReply send(const std::string& session, const std::vector<double>& values);
    pb::FrameReply setChannel(const std::string& session, const std::string& channel,
                              const std::vector<double>& values, double gain);
    pb::ReadReply read(const std::string& session);
    pb::ReserveReply reserve(const std::string& session);
    pb::StatusReply release(const std::string& session);

private:
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<pb::MirrorService::Stub> stub_;
    std::string name_;
    std::string token_;
    std::string id_;
    bool anonymous_ = false;
    std::unique_ptr<grpc::ClientContext> connectContext_;
    std::unique_ptr<grpc::ClientReader<pb::ConnectEvent>> connectStream_;
    std::thread reader_;
    std::atomic<bool> shutdownNoticed_{false};
};

// Values in driver-unit resolution compared with what was sent (the kit keeps 16 bits).
void expectFrame(const std::vector<double>& got, const std::vector<double>& expected, const std::string& what);
std::vector<double> values(const google::protobuf::RepeatedField<double>& field);

// Waits (polling) until the condition holds or the time is up.
template <class F>
bool eventually(F&& condition, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace servertest

namespace servertest {

// An observer's WatchFrames stream, read by a thread into a list of events.
class Watch {
public:
    Watch(Client& client, const std::string& session, bool omitValues = false);
    ~Watch();
    // Waits until at least count events arrived; false on time-out.
    bool waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    std::vector<pb::FrameEvent> events();
    // True once the server ended the stream.
    bool ended() const { return ended_; }
    grpc::Status finish();

private:
    grpc::ClientContext context_;
    std::unique_ptr<grpc::ClientReader<pb::FrameEvent>> stream_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<pb::FrameEvent> events_;
    std::atomic<bool> ended_{false};
    bool finished_ = false;
    grpc::Status status_;
};

}  // namespace servertest

namespace servertest {
// count copies of value.
inline void fill(google::protobuf::RepeatedField<double>* field, size_t count, double value) {
    field->Clear();
    field->Resize(static_cast<int>(count), value);
}
}  // namespace servertest
