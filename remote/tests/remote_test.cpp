// The remote client library and `krvctl remote` against mirrorkit-server run as a process on the loopback
// interface, on dummy mirrors.
#include "KRVRemote.h"

#include "ServerProcess.h"
#include "support/KrvTestSupport.h"

#include <gtest/gtest.h>

#include <grpcpp/generic/async_generic_service.h>
#include <grpcpp/grpcpp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

using servertest::Process;
using servertest::ServerProcess;

namespace {

krvtest::InstallTree& tree() {
    static auto* t = new krvtest::InstallTree;
    return *t;
}

void profile(const std::string& serial, uint32_t n) {
    krvtest::writeProfile(tree().profiles() + "/" + serial + ".dm", krvtest::dummyProfile(n));
}

using Remote = std::unique_ptr<KRVRemote, void (*)(KRVRemote*)>;

Remote connect(const std::string& target, const char* name, const char* token = nullptr) {
    KRVRemoteOptions options{};
    options.ClientName = name;
    options.Token = token;
    options.TimeoutMs = 5000;
    KRVRemote* r = nullptr;
    const KRVRC rc = KRVRemoteConnect(target.c_str(), &options, &r);
    EXPECT_EQ(rc, NO_ERR) << KRVRemoteLastError();
    return Remote(r, KRVRemoteDisconnect);
}

class RemoteLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        profile("REMOTE00140", 140);
        profile("REMOTE00032", 32);
        server = new ServerProcess(tree());
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    static ServerProcess* server;
};
ServerProcess* RemoteLibrary::server = nullptr;

TEST_F(RemoteLibrary, OpenSendReadChannelsAndSaturationThroughTheCInterface) {
    Remote a = connect(server->target(), "a");
    ASSERT_TRUE(a);
    uint32_t count = 0;
    KRVRemoteMirrorEntry entries[8];
    ASSERT_EQ(KRVRemoteListMirrors(a.get(), entries, 8, &count), NO_ERR);
    ASSERT_GE(count, 2u);

    KRVRemoteMirrorInfo info{};
    ASSERT_EQ(KRVRemoteOpen(a.get(), "REMOTE00140", "lib", KRV_REMOTE_AUTO, &info), NO_ERR) << KRVRemoteLastError();
    EXPECT_TRUE(info.Created);
    EXPECT_EQ(info.ActCount, 140u);
    EXPECT_STREQ(info.Session, "lib");
    EXPECT_EQ(info.DriverType, KRV_DUMMY_DRV);

    std::vector<double> frame(140);
    for (uint32_t i = 0; i < 140; ++i) frame[i] = i / 139.0;
    KRVRemoteFrameResult result{};
    ASSERT_EQ(KRVRemoteSend(a.get(), "lib", frame.data(), 140, &result), NO_ERR);
    EXPECT_EQ(result.Sequence, 1u);
    std::vector<double> back(140);
    uint32_t n = 0;
    uint64_t sequence = 0;
    ASSERT_EQ(KRVRemoteRead(a.get(), "lib", back.data(), 140, &n, &sequence), NO_ERR);
    EXPECT_EQ(n, 140u);
    EXPECT_EQ(sequence, 1u);
    for (uint32_t i = 0; i < 140; ++i) ASSERT_NEAR(back[i], frame[i], 1.0 / 65535);

    std::vector<double> push(140, 0.0);
    push[139] = 0.5;
    push[0] = -0.25;
    ASSERT_EQ(KRVRemoteSetChannel(a.get(), "lib", "push", push.data(), 140, 1.0, &result), NO_ERR);
    EXPECT_EQ(result.Clamped, 2u);
    EXPECT_EQ(result.ClampedLow, 1u);
    ASSERT_EQ(result.ListedCount, 2u);
    EXPECT_EQ(result.Actuators[0], 0u);
    EXPECT_EQ(result.Actuators[1], 139u);
    ASSERT_EQ(KRVRemoteSetChannel(a.get(), "lib", "push", nullptr, 0, 0.0, &result), NO_ERR) << "gain only";
    EXPECT_EQ(result.Clamped, 0u);
    ASSERT_EQ(KRVRemoteClearChannel(a.get(), "lib", "push", nullptr), NO_ERR);

    ASSERT_EQ(KRVRemotePoke(a.get(), "lib", 7, 0.125, &result), NO_ERR);
    ASSERT_EQ(KRVRemoteRead(a.get(), "lib", back.data(), 140, &n, nullptr), NO_ERR);
    EXPECT_NEAR(back[7], 0.125, 1.0 / 65535);
    ASSERT_EQ(KRVRemoteClear(a.get(), "lib", nullptr), NO_ERR);
    ASSERT_EQ(KRVRemoteRead(a.get(), "lib", back.data(), 140, &n, nullptr), NO_ERR);
    EXPECT_EQ(*std::max_element(back.begin(), back.end()), 0.0);

    // Refusals: the kit's codes, transport codes for malformed requests, and a message each time.
    EXPECT_EQ(KRVRemoteSend(a.get(), "lib", frame.data(), 139, nullptr), KRV_REMOTE_INVALID_ARGUMENT);
    EXPECT_NE(std::string(KRVRemoteLastError()).find("139"), std::string::npos) << KRVRemoteLastError();
    frame[3] = std::nan("");
    EXPECT_EQ(KRVRemoteSend(a.get(), "lib", frame.data(), 140, nullptr), KRV_REMOTE_INVALID_ARGUMENT);
    EXPECT_EQ(KRVRemoteSend(a.get(), "nosuch", back.data(), 140, nullptr), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(KRVRemotePoke(a.get(), "lib", 140, 0.5, nullptr), ERR_ACTUATOR_ID);
    EXPECT_EQ(KRVRemoteRead(a.get(), "lib", back.data(), 139, &n, nullptr), ERR_BADARG);
    EXPECT_EQ(n, 140u);
    EXPECT_EQ(KRVRemoteEnableHighRes(a.get(), "lib", true), ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(KRVRemoteOpen(a.get(), "REMOTE00140", "other", KRV_REMOTE_OPEN_NEW, nullptr), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_EQ(KRVRemoteClose(a.get(), "lib"), NO_ERR);
    EXPECT_EQ(KRVRemoteRead(a.get(), "lib", back.data(), 140, &n, nullptr), ERR_DRIVER_NOT_OPEN);
}

TEST_F(RemoteLibrary, AReservationEndsWhenItsClientDisconnects) {
    Remote a = connect(server->target(), "holder");
    Remote b = connect(server->target(), "waiter");
    ASSERT_EQ(KRVRemoteOpen(a.get(), "REMOTE00032", nullptr, KRV_REMOTE_AUTO, nullptr), NO_ERR);
    ASSERT_EQ(KRVRemoteOpen(b.get(), nullptr, "REMOTE00032", KRV_REMOTE_ATTACH_ONLY, nullptr), NO_ERR);
    ASSERT_EQ(KRVRemoteReserve(a.get(), "REMOTE00032"), NO_ERR);
    std::vector<double> frame(32, 0.5);
    EXPECT_EQ(KRVRemoteSend(b.get(), "REMOTE00032", frame.data(), 32, nullptr), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_NE(std::string(KRVRemoteLastError()).find("holder"), std::string::npos);
    a.reset();
    bool reserved = false;
    for (int k = 0; k < 500 && !reserved; ++k) {
        reserved = KRVRemoteReserve(b.get(), "REMOTE00032") == NO_ERR;
        if (!reserved) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(reserved);
    EXPECT_EQ(KRVRemoteSend(b.get(), "REMOTE00032", frame.data(), 32, nullptr), NO_ERR);
    EXPECT_EQ(KRVRemoteRelease(b.get(), "REMOTE00032"), NO_ERR);
    EXPECT_EQ(KRVRemoteClose(b.get(), "REMOTE00032"), NO_ERR);
}

TEST_F(RemoteLibrary, StreamsAndWatchesSeeTheSameFrames) {
    Remote loop = connect(server->target(), "loop");
    Remote viewer = connect(server->target(), "viewer");
    ASSERT_EQ(KRVRemoteOpen(loop.get(), "REMOTE00032", "watched", KRV_REMOTE_AUTO, nullptr), NO_ERR);
    KRVRemoteWatch* watch = nullptr;
    ASSERT_EQ(KRVRemoteWatchBegin(viewer.get(), "watched", &watch), NO_ERR);
    std::vector<double> seen(32);
    KRVRemoteFrameEvent event{};
    ASSERT_EQ(KRVRemoteWatchNext(watch, seen.data(), 32, &event, 5000), NO_ERR);
    EXPECT_EQ(event.Sequence, 0u) << "the frame of a fresh mirror";

    KRVRemoteStream* stream = nullptr;
    ASSERT_EQ(KRVRemoteStreamBegin(loop.get(), "watched", nullptr, &stream), NO_ERR);
    std::vector<double> frame(32);
    for (int k = 1; k <= 50; ++k) {
        std::fill(frame.begin(), frame.end(), k / 50.0);
        frame[0] = k % 10 == 0 ? 2.0 : 0.0;  // every tenth frame saturates one actuator
        ASSERT_EQ(KRVRemoteStreamSend(stream, frame.data(), 32), NO_ERR) << KRVRemoteLastError();
    }
    KRVRemoteStreamCounts counts{};
    ASSERT_EQ(KRVRemoteStreamEnd(stream, &counts), NO_ERR) << KRVRemoteLastError();
    EXPECT_EQ(counts.Received, 50u);
    EXPECT_EQ(counts.Applied, 50u);
    EXPECT_EQ(counts.Saturated, 5u);
    EXPECT_EQ(counts.LastSequence, 50u);

    for (uint64_t k = 1; k <= 50; ++k) {
        ASSERT_EQ(KRVRemoteWatchNext(watch, seen.data(), 32, &event, 5000), NO_ERR) << k;
        ASSERT_EQ(event.Sequence, k);
        EXPECT_STREQ(event.Writer, "loop");
        EXPECT_EQ(event.Clamped, k % 10 == 0 ? 1u : 0u) << k;
        EXPECT_NEAR(seen[5], k / 50.0, 1.0 / 65535);
    }
    EXPECT_EQ(KRVRemoteWatchNext(watch, seen.data(), 32, &event, 50), ERR_TIMEOUT);

    // A frame of the wrong size ends the stream with a transport refusal; its earlier frames were applied.
    ASSERT_EQ(KRVRemoteStreamBegin(loop.get(), "watched", nullptr, &stream), NO_ERR);
    ASSERT_EQ(KRVRemoteStreamSend(stream, frame.data(), 32), NO_ERR);
    KRVRC rc = KRVRemoteStreamSend(stream, frame.data(), 31);
    // Later frames find the stream ended, and so does End: all answer the refusal.
    for (int k = 0; k < 500 && rc == NO_ERR; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        rc = KRVRemoteStreamSend(stream, frame.data(), 32);
    }
    EXPECT_EQ(rc, KRV_REMOTE_INVALID_ARGUMENT);
    EXPECT_EQ(KRVRemoteStreamSend(stream, frame.data(), 32), KRV_REMOTE_INVALID_ARGUMENT);
    KRVRC end = KRVRemoteStreamEnd(stream, &counts);
    EXPECT_EQ(end, KRV_REMOTE_INVALID_ARGUMENT);

    ASSERT_EQ(KRVRemoteClose(loop.get(), "watched"), NO_ERR);
    for (;;) {
        rc = KRVRemoteWatchNext(watch, seen.data(), 32, &event, 5000);
        ASSERT_EQ(rc, NO_ERR);
        if (event.SessionClosed) break;
    }
    EXPECT_EQ(KRVRemoteWatchNext(watch, seen.data(), 32, &event, 50), ERR_DRIVER_NOT_OPEN);
    KRVRemoteWatchEnd(watch);
}

TEST_F(RemoteLibrary, OpenLoopCallsGoThroughTheServer) {
    profile("REMOTE00137", 137);
    Remote a = connect(server->target(), "optics");
    ASSERT_EQ(KRVRemoteOpen(a.get(), "REMOTE00137", nullptr, KRV_REMOTE_AUTO, nullptr), NO_ERR);
    std::vector<double> phase(81, 0.0);
    std::vector<double> commands(137);
    EXPECT_EQ(KRVRemoteCalculateSurface(a.get(), "REMOTE00137", phase.data(), 9, 9, 0, 0, commands.data(), 137),
              ERR_INVALID_CALIBRATION);
    ASSERT_EQ(KRVRemoteLoadCalibration(a.get(), "REMOTE00137", TESTDATA "/calibration/cdm_137.mat"), NO_ERR)
        << KRVRemoteLastError();
    for (int r = 0; r < 9; ++r)
        for (int c = 0; c < 9; ++c) phase[r * 9 + c] = 20.0 * ((r - 4) * (r - 4) + (c - 4) * (c - 4)) / 32.0;
    ASSERT_EQ(KRVRemoteCalculateSurface(a.get(), "REMOTE00137", phase.data(), 9, 9, 0, 0, commands.data(), 137),
              NO_ERR)
        << KRVRemoteLastError();
    ASSERT_EQ(KRVRemoteSetSurface(a.get(), "REMOTE00137", phase.data(), 9, 9, 0, 0, nullptr), NO_ERR);
    std::vector<double> applied(137);
    uint32_t n = 0;
    ASSERT_EQ(KRVRemoteRead(a.get(), "REMOTE00137", applied.data(), 137, &n, nullptr), NO_ERR);
    for (uint32_t i = 0; i < 137; ++i) ASSERT_NEAR(applied[i], commands[i], 1.0 / 65535) << i;

    // The same commands with the map on the actuator grid (13 x 13 for 137 actuators); too small an array for
    // the grid is refused, not cut.
    std::vector<double> again(137), grid(13 * 13, -1.0);
    ASSERT_EQ(KRVRemoteCalculateSurfaceEx(a.get(), "REMOTE00137", phase.data(), 9, 9, 0, 0, again.data(), 137,
                                          grid.data(), static_cast<uint32_t>(grid.size())),
              NO_ERR)
        << KRVRemoteLastError();
    EXPECT_EQ(again, commands);
    EXPECT_GT(*std::max_element(grid.begin(), grid.end()), 1.0) << "the bowl's rim reaches the grid";
    EXPECT_EQ(KRVRemoteCalculateSurfaceEx(a.get(), "REMOTE00137", phase.data(), 9, 9, 0, 0, again.data(), 137,
                                          grid.data(), 100),
              ERR_BADARG);

    // An observer (another client, not attached) learns what the session holds: the calibration now loaded and
    // the grid of a mirror without model mask (a square without its corners).
    Remote observer = connect(server->target(), "observer");
    KRVRemoteMirrorInfo info{};
    std::vector<uint8_t> mask(13 * 13, 7);
    uint32_t cells = 0;
    ASSERT_EQ(KRVRemoteDescribeSession(observer.get(), "REMOTE00137", &info, mask.data(),
                                       static_cast<uint32_t>(mask.size()), &cells),
              NO_ERR)
        << KRVRemoteLastError();
    EXPECT_STREQ(info.Serial, "REMOTE00137");
    EXPECT_EQ(info.ActCount, 137u);
    EXPECT_EQ(info.GridWidth, 13u);
    EXPECT_TRUE(info.CalibrationLoaded);
    EXPECT_FALSE(info.Created);
    EXPECT_FALSE(info.Segmented);
    ASSERT_EQ(cells, 169u);
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 1), 137);
    EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), 32);
    EXPECT_EQ(KRVRemoteDescribeSession(observer.get(), "REMOTE00137", &info, mask.data(), 100, &cells), ERR_BADARG);
    EXPECT_EQ(KRVRemoteDescribeSession(observer.get(), "NOSUCHSESSN", &info, nullptr, 0, nullptr),
              ERR_DRIVER_NOT_OPEN);

    double coefficients[5] = {0, 0, 0, 0, 100.0};
    std::vector<double> map(13 * 13);
    uint32_t side = 0;
    ASSERT_EQ(KRVRemoteZernikeSurface(a.get(), "REMOTE00137", coefficients, 5, 0, true, map.data(),
                                      static_cast<uint32_t>(map.size()), &side),
              NO_ERR);
    EXPECT_EQ(side, 11u) << "aperture of 10 spacings on a grid 13 wide";
    ASSERT_EQ(KRVRemoteZernikeSurface(a.get(), "REMOTE00137", coefficients, 5, 0, false, map.data(), 100, &side),
              ERR_BADARG)
        << "169 values do not fit in 100";
    double lo = 0, hi = 0;
    ASSERT_EQ(KRVRemoteGetSegmentRange(a.get(), "REMOTE00137", 3, DM_Piston, 0, 0, 0, false, &lo, &hi), NO_ERR);
    EXPECT_LT(lo, hi);
    EXPECT_EQ(KRVRemoteLoadCalibration(a.get(), "REMOTE00137", "/nonexistent/table.mat"), ERR_OPENFILE);
}

TEST(RemoteConnection, UnreachableServersAndWrongTokensGiveTransportCodes) {
    KRVRemoteOptions options{};
    options.TimeoutMs = 300;
    KRVRemote* r = nullptr;
    EXPECT_EQ(KRVRemoteConnect("127.0.0.1:1", &options, &r), KRV_REMOTE_UNAVAILABLE);
    EXPECT_EQ(r, nullptr);

    krvtest::TempDir secrets("krv-remote-token");
    krvtest::writeText(secrets / "token", "right\n");
    chmod((secrets / "token").c_str(), 0600);
    ServerProcess guarded(tree(), "127.0.0.1:0", {"--token-file", secrets / "token"});
    options.TimeoutMs = 5000;
    options.Token = "wrong";
    EXPECT_EQ(KRVRemoteConnect(guarded.target().c_str(), &options, &r), KRV_REMOTE_UNAUTHENTICATED);
    options.Token = "right";
    ASSERT_EQ(KRVRemoteConnect(guarded.target().c_str(), &options, &r), NO_ERR);
    uint32_t count = 0;
    EXPECT_EQ(KRVRemoteListMirrors(r, nullptr, 0, &count), NO_ERR);
    EXPECT_TRUE(KRVRemoteIsConnected(r));
    KRVRemoteDisconnect(r);
}

// A loopback port that takes every connection and never says a word.
class SilentPeer {
public:
    SilentPeer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), size) != 0 || listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            throw std::runtime_error("no loopback socket");
        target_ = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~SilentPeer() { close(fd_); }  // the backlog's connections go with it
    const std::string& target() const { return target_; }

private:
    int fd_ = -1;
    std::string target_;
};

// A gRPC server that takes every call, the client's Connect stream included, and answers none of them.
class SilentServer {
public:
    SilentServer() {
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
        builder.RegisterCallbackGenericService(&service_);
        server_ = builder.BuildAndStart();
        if (!server_ || !port_) throw std::runtime_error("the silent server does not start");
    }
    ~SilentServer() { server_->Shutdown(std::chrono::system_clock::now()); }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    class Service final : public grpc::CallbackGenericService {
        grpc::ServerGenericBidiReactor* CreateReactor(grpc::GenericCallbackServerContext*) override {
            class Mute final : public grpc::ServerGenericBidiReactor {
                void OnCancel() override { Finish(grpc::Status::CANCELLED); }
                void OnDone() override { delete this; }
            };
            return new Mute;
        }
    };
    Service service_;
    std::unique_ptr<grpc::Server> server_;
    int port_ = 0;
};

// Connecting waits no longer than the time limit, whatever is (or is not) at the other end, and says which.
TEST(RemoteConnection, ConnectingGivesUpAfterTheTimeLimit) {
    KRVRemoteOptions options{};
    options.TimeoutMs = 500;
    auto attempt = [&](const std::string& target, double& seconds) {
        KRVRemote* r = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const KRVRC rc = KRVRemoteConnect(target.c_str(), &options, &r);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r, nullptr) << target;
        if (r) KRVRemoteDisconnect(r);
        return rc;
    };
    double seconds = 0;
    {
        SilentPeer peer;
        EXPECT_EQ(attempt(peer.target(), seconds), KRV_REMOTE_UNAVAILABLE) << KRVRemoteLastError();
        EXPECT_LT(seconds, 5.0);
    }
    {
        SilentServer silent;
        EXPECT_EQ(attempt(silent.target(), seconds), KRV_REMOTE_DEADLINE_EXCEEDED) << KRVRemoteLastError();
        EXPECT_NE(std::string(KRVRemoteLastError()).find("within 500 ms"), std::string::npos) << KRVRemoteLastError();
        EXPECT_GE(seconds, 0.45);
        EXPECT_LT(seconds, 5.0);
    }
    // krvctl remote takes its time limit to the same end.
    SilentServer silent;
    const auto start = std::chrono::steady_clock::now();
    Process tool({KRVCTL_PATH, "remote", "list", silent.target(), "--timeout", "0.5"});
    EXPECT_EQ(tool.wait(), 1);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

TEST(RemoteConnection, AClientKnowsWhenItsServerIsGone) {
    auto lost = std::make_unique<ServerProcess>(tree());
    Remote a = connect(lost->target(), "left behind");
    ASSERT_TRUE(a);
    EXPECT_TRUE(KRVRemoteIsConnected(a.get()));
    lost.reset();  // killed
    bool gone = false;
    for (int k = 0; k < 500 && !gone; ++k) {
        gone = !KRVRemoteIsConnected(a.get());
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    uint32_t count = 0;
    EXPECT_EQ(KRVRemoteListMirrors(a.get(), nullptr, 0, &count), KRV_REMOTE_UNAVAILABLE);
}

TEST_F(RemoteLibrary, KrvctlRemoteListSendAndWatch) {
    profile("KRVCTLREM32", 32);
    Process listed({KRVCTL_PATH, "remote", "list", server->target()});
    const std::string list = listed.readAll();
    EXPECT_EQ(listed.wait(), 0);
    EXPECT_NE(list.find("KRVCTLREM32  dummy, 32 actuators"), std::string::npos) << list;

    // A client keeps the session open, so that the frame krvctl sends stays.
    Remote keeper = connect(server->target(), "keeper");
    ASSERT_EQ(KRVRemoteOpen(keeper.get(), "KRVCTLREM32", nullptr, KRV_REMOTE_AUTO, nullptr), NO_ERR);
    Process watcher({KRVCTL_PATH, "remote", "watch", server->target(), "KRVCTLREM32", "--count", "2"});
    EXPECT_NE(watcher.readLine().find("frame 0"), std::string::npos) << "the current frame first";
    Process sender({KRVCTL_PATH, "remote", "send", server->target(), "KRVCTLREM32", "--all", "1.25"});
    const std::string sent = sender.readAll();
    EXPECT_EQ(sender.wait(), 0);
    EXPECT_NE(sent.find("sent frame 1"), std::string::npos) << sent;
    EXPECT_NE(sent.find("32 actuators clamped"), std::string::npos) << sent;
    const std::string watched = watcher.readLine();
    EXPECT_NE(watched.find("frame 1  writer krvctl  clamped 32  min 1.0000"), std::string::npos) << watched;
    EXPECT_EQ(watcher.wait(), 0);

    std::vector<double> applied(32);
    uint32_t n = 0;
    ASSERT_EQ(KRVRemoteRead(keeper.get(), "KRVCTLREM32", applied.data(), 32, &n, nullptr), NO_ERR);
    EXPECT_EQ(applied[0], 1.0);

    Process wrongCount({KRVCTL_PATH, "remote", "send", server->target(), "KRVCTLREM32", "0.5", "0.5"});
    EXPECT_EQ(wrongCount.wait(), 2);
    Process nowhere({KRVCTL_PATH, "remote", "list", "127.0.0.1:1", "--timeout", "0.3"});
    EXPECT_EQ(nowhere.wait(), 1);
}

}  // namespace
