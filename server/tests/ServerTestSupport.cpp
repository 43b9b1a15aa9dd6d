// Test helpers of the mirror server: see ServerTestSupport.h.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace servertest {

krvtest::InstallTree& tree() {
    // Made once per process, before the kit first looks for its install directory.
    static krvtest::InstallTree* t = [] {
        auto* made = new krvtest::InstallTree;
        const char* lock = "krv-server-test-%d";
        char name[64];
        std::snprintf(name, sizeof name, lock, static_cast<int>(getpid()));
        setenv("PEXLINK_LOCK_NAME", name, 1);
        return made;
    }();
    return *t;
}

void profile(const std::string& serial, const std::vector<std::string>& lines) {
    krvtest::writeProfile(tree().profiles() + "/" + serial + ".dm", lines);
}

std::string testData(const std::string& relative) {
    const char* dir = std::getenv("KRV_TEST_BINARY_DIR");
    return std::string(dir ? dir : ".") + "/testdata/" + relative;
}

MirrorKit::Server::ServerOptions LocalServer::defaults() {
    MirrorKit::Server::ServerOptions o;
    o.listen = "127.0.0.1:0";
    o.sessions.profiles = tree().profiles();
    o.sessions.maps = tree().maps();
    o.sessions.calibrations = tree().calibrations();
    return o;
}

LocalServer::LocalServer() : LocalServer(defaults()) {}

LocalServer::LocalServer(MirrorKit::Server::ServerOptions options) {
    tree();
    std::string error;
    server_ = MirrorKit::Server::MirrorServer::start(options, error);
    if (!server_) throw std::runtime_error("server did not start: " + error);
}

LocalServer::~LocalServer() = default;

Client::Client(const std::string& target, const std::string& name,
               std::shared_ptr<grpc::ChannelCredentials> credentials, const std::string& token,
               const grpc::ChannelArguments& arguments)
    : name_(name), token_(token) {
    grpc::ChannelArguments args = arguments;
    // Each client its own connection, as separate programs have.
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    args.SetMaxReceiveMessageSize(65 * 1024 * 1024);
    channel_ = grpc::CreateCustomChannel(target, credentials, args);
    stub_ = pb::MirrorService::NewStub(channel_);
}

Client::~Client() { disconnect(); }

void Client::prepare(grpc::ClientContext& context) const {
    context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
    if (!token_.empty()) context.AddMetadata("authorization", "Bearer " + token_);
    if (!id_.empty() && !anonymous_) context.AddMetadata("mirrorkit-client-id", id_);
}

grpc::Status Client::connect() {
    connectContext_ = std::make_unique<grpc::ClientContext>();
    // The first event comes at once from a working server; a server that never answers fails the test.
    connectContext_->set_deadline(std::chrono::system_clock::now() + std::chrono::hours(1));
    if (!token_.empty()) connectContext_->AddMetadata("authorization", "Bearer " + token_);
    pb::ConnectRequest request;
    request.set_client_name(name_);
    connectStream_ = stub_->Connect(connectContext_.get(), request);
    pb::ConnectEvent first;
    if (!connectStream_->Read(&first)) {
        grpc::Status status = connectStream_->Finish();
        connectStream_.reset();
        return status.ok() ? grpc::Status(grpc::StatusCode::UNKNOWN, "no client id") : status;
    }
    id_ = first.client_id();
    reader_ = std::thread([this] {
        pb::ConnectEvent event;
        while (connectStream_->Read(&event))
            if (event.shutting_down()) shutdownNoticed_ = true;
    });
    return grpc::Status::OK;
}

void Client::disconnect() {
    if (!connectStream_) return;
    connectContext_->TryCancel();
    if (reader_.joinable()) reader_.join();
    connectStream_->Finish();
    connectStream_.reset();
}

pb::OpenReply Client::open(const std::string& serial, const std::string& session,
                           pb::OpenRequest::Behavior behavior) {
    pb::OpenRequest request;
    request.set_serial(serial);
    request.set_session(session);
    request.set_behavior(behavior);
    pb::OpenReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::Open, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

pb::CloseReply Client::close(const std::string& session) {
    pb::CloseRequest request;
    request.set_session(session);
    pb::CloseReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::Close, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

pb::FrameReply Client::send(const std::string& session, const std::vector<double>& v) {
    pb::SendRequest request;
    request.set_session(session);
    request.mutable_values()->Assign(v.begin(), v.end());
    pb::FrameReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::Send, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

pb::FrameReply Client::setChannel(const std::string& session, const std::string& channel,
                                  const std::vector<double>& v, double gain) {
    pb::SetChannelRequest request;
    request.set_session(session);
    request.set_channel(channel);
    request.mutable_values()->Assign(v.begin(), v.end());
    request.set_gain(gain);
    pb::FrameReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::SetChannel, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

pb::ReadReply Client::read(const std::string& session) {
    pb::ReadRequest request;
    request.set_session(session);
    pb::ReadReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::Read, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

pb::ReserveReply Client::reserve(const std::string& session) {
    pb::ReserveRequest request;
    request.set_session(session);
    pb::ReserveReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::Reserve, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

pb::StatusReply Client::release(const std::string& session) {
    pb::ReleaseRequest request;
    request.set_session(session);
    pb::StatusReply reply;
    grpc::Status status = call(&pb::MirrorService::Stub::Release, request, reply);
    EXPECT_TRUE(status.ok()) << status.error_message();
    return reply;
}

std::vector<double> values(const google::protobuf::RepeatedField<double>& field) {
    return std::vector<double>(field.begin(), field.end());
}

void expectFrame(const std::vector<double>& got, const std::vector<double>& expected, const std::string& what) {
    ASSERT_EQ(got.size(), expected.size()) << what;
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_NEAR(got[i], expected[i], 1.0 / 65535) << what << ", actuator " << i;
}

}  // namespace servertest

namespace servertest {

Watch::Watch(Client& client, const std::string& session, bool omitValues) {
    client.prepare(context_);
    context_.set_deadline(std::chrono::system_clock::now() + std::chrono::minutes(5));
    pb::WatchFramesRequest request;
    request.set_session(session);
    request.set_omit_values(omitValues);
    stream_ = client.stub().WatchFrames(&context_, request);
    reader_ = std::thread([this] {
        pb::FrameEvent event;
        while (stream_->Read(&event)) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
        }
        ended_ = true;
    });
}

Watch::~Watch() {
    context_.TryCancel();
    finish();
}

grpc::Status Watch::finish() {
    if (reader_.joinable()) reader_.join();
    if (!finished_) {
        status_ = stream_->Finish();
        finished_ = true;
    }
    return status_;
}

bool Watch::waitFor(size_t count, std::chrono::milliseconds limit) {
    return eventually(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return events_.size() >= count;
        },
        limit);
}

std::vector<pb::FrameEvent> Watch::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

}  // namespace servertest
