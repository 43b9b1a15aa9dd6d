// The mirror server as a process: clients killed mid-stream, a server killed and restarted, SIGTERM zeroing and
// closing the mirrors (frames checked on an emulated PCIe card), and the refusal of an open address.
#include "ServerTestSupport.h"

#include <krv/emu/pexcard.h>
#include <pexlink.h>

#include <gtest/gtest.h>

#include "ServerProcess.h"

#include <csignal>

using namespace servertest;

namespace {

TEST(ServerProcess, AClientKilledInTheMiddleOfAStreamReleasesItsReservation) {
    profile("STREAMER140", krvtest::dummyProfile(140));
    LocalServer server;
    Client other(server.target(), "other");
    ASSERT_TRUE(other.connect().ok());
    ASSERT_EQ(other.open("STREAMER140", "k").status().code(), NO_ERR);

    Process streamer({CLIENT_PATH, "stream", server.target(), "STREAMER140", "k"});
    ASSERT_TRUE(streamer.started());
    ASSERT_EQ(streamer.readLine(), "streaming");
    ASSERT_TRUE(eventually([&] { return other.read("k").sequence() > 10; })) << "the stream's frames arrive";
    EXPECT_EQ(other.send("k", std::vector<double>(140, 0.5)).status().code(), ERR_DRIVER_ALREADY_OPEN);

    streamer.signal(SIGKILL);
    EXPECT_EQ(streamer.wait(), -1);
    ASSERT_TRUE(eventually([&] { return other.reserve("k").status().code() == NO_ERR; }))
        << "the killed client's reservation ended";
    EXPECT_EQ(other.send("k", std::vector<double>(140, 0.5)).status().code(), NO_ERR);
    expectFrame(values(other.read("k").values()), std::vector<double>(140, 0.5), "frame after the takeover");
}

TEST(ServerProcess, AServerKilledAndRestartedGivesUnavailableThenOpensAgain) {
    profile("RESTART0032", krvtest::dummyProfile(32));
    int port = 0;
    grpc::ChannelArguments quickRetry;
    quickRetry.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 100);
    quickRetry.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 200);
    std::unique_ptr<Client> client;
    {
        ServerProcess first(tree());
        port = first.port();
        client = std::make_unique<Client>(first.target(), "survivor", grpc::InsecureChannelCredentials(), "",
                                          quickRetry);
        ASSERT_TRUE(client->connect().ok());
        ASSERT_EQ(client->open("RESTART0032").status().code(), NO_ERR);
        ASSERT_EQ(client->send("RESTART0032", std::vector<double>(32, 0.25)).status().code(), NO_ERR);
        first.process().signal(SIGKILL);
        EXPECT_EQ(first.process().wait(), -1);
    }
    pb::SendRequest send;
    send.set_session("RESTART0032");
    fill(send.mutable_values(), 32, 0.5);
    pb::FrameReply reply;
    EXPECT_EQ(client->call(&pb::MirrorService::Stub::Send, send, reply).error_code(), grpc::StatusCode::UNAVAILABLE);

    ServerProcess second(tree(), "127.0.0.1:" + std::to_string(port));
    client->disconnect();
    ASSERT_TRUE(eventually([&] { return client->connect().ok(); }, std::chrono::milliseconds(10000)));
    pb::OpenReply reopened = client->open("RESTART0032");
    EXPECT_EQ(reopened.status().code(), NO_ERR) << reopened.status().message();
    EXPECT_TRUE(reopened.created());
    EXPECT_EQ(client->send("RESTART0032", std::vector<double>(32, 0.5)).status().code(), NO_ERR);
}

TEST(ServerProcess, SigtermZeroesAndClosesTheOpenMirrors) {
    krvtest::TempDir cards("krv-cards");
    MirrorKit::Emu::CardOptions card;
    std::string error;
    ASSERT_TRUE(MirrorKit::Emu::createCards(cards.path(), 1, card, &error)) << error;
    krvtest::setEnv("PEXLINK_DEVICE_DIR", cards.path());
    auto image = MirrorKit::Emu::Card::open(MirrorKit::Emu::cardDevicePath(cards.path(), 1), &error);
    ASSERT_TRUE(image) << error;
    profile("SIGTERMPCIE", {"type=1", "size=140", "maxv=200", "vlim=100", "hva=2", "use_fiber=1", "use_CL=0",
                            "fiber_mode=1", "burst_mode=0"});
    profile("SIGTERMDUMY", krvtest::dummyProfile(32));

    ServerProcess server(tree());
    Client client(server.target(), "client");
    ASSERT_TRUE(client.connect().ok());
    ASSERT_EQ(client.open("SIGTERMPCIE").status().code(), NO_ERR);
    ASSERT_EQ(client.open("SIGTERMDUMY").status().code(), NO_ERR);
    ASSERT_EQ(client.send("SIGTERMPCIE", std::vector<double>(140, 0.5)).status().code(), NO_ERR);
    ASSERT_EQ(image->frameActuators(140)[0], 16384) << "0.5 at half the amplifier's voltage";
    image->clearLog();
    Watch watch(client, "SIGTERMPCIE", true);
    ASSERT_TRUE(watch.waitFor(1));

    server.process().signal(SIGTERM);
    EXPECT_EQ(server.process().wait(), 0);
    // The kit zeroes a card's outputs by poking every actuator to 0.
    std::vector<bool> zeroed(140, false);
    for (const auto& t : image->transfers()) {
        if (t.command != PEX_CMD_WRITE || t.address != MirrorKit::Emu::Reg::Poke || t.status != 0) continue;
        for (uint32_t w : t.words)
            if ((w & 0xFFFFu) == 0 && (w >> 16) < 140) zeroed[w >> 16] = true;
    }
    for (uint32_t i = 0; i < 140; ++i) EXPECT_TRUE(zeroed[i]) << "actuator " << i << " zeroed";
    EXPECT_TRUE(client.shutdownNoticed());
    ASSERT_TRUE(watch.waitFor(2));
    EXPECT_TRUE(watch.events().back().session_closed());
    krvtest::setEnv("PEXLINK_DEVICE_DIR", "");
}

TEST(ServerProcess, RefusesAnOpenAddressWithoutTlsAndAToken) {
    Process refused({SERVER_PATH, "--listen", "0.0.0.0:0"});
    EXPECT_EQ(refused.wait(), 1);
    Process usage({SERVER_PATH, "--on-idle", "sometimes"});
    EXPECT_EQ(usage.wait(), 2);
}

}  // namespace
