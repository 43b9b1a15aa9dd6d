// Served mirrors on emulated PCIe cards: frames, channel sums, pokes and the card's sequencer, ditherer and
// high-resolution mode, each checked on the card.
#include "ServerTestSupport.h"

#include <krv/emu/pexcard.h>
#include <pexlink.h>

#include <gtest/gtest.h>

#include <cmath>

using namespace servertest;
namespace Emu = MirrorKit::Emu;

namespace {

// Driver value of a command on these mirrors, whose voltage limit is half the amplifier's maximum.
uint16_t units(double v) { return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0 * 0.5)); }

std::vector<uint32_t> writesTo(const Emu::Card& card, uint32_t reg) {
    std::vector<uint32_t> out;
    for (const auto& t : card.transfers())
        if (t.command == PEX_CMD_WRITE && t.address == reg && t.status == 0)
            out.insert(out.end(), t.words.begin(), t.words.end());
    return out;
}

class PCIeServed : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Emu::createCards(cards.path(), 1, Emu::CardOptions{}, &error)) << error;
        card = Emu::Card::open(Emu::cardDevicePath(cards.path(), 1), &error);
        ASSERT_TRUE(card) << error;
        krvtest::setEnv("PEXLINK_DEVICE_DIR", cards.path());
        profile("SERVEDPCIE1", {"type=1", "size=140", "maxv=200", "vlim=100", "hva=2", "use_fiber=1", "use_CL=0",
                                "fiber_mode=1", "burst_mode=0"});
        ASSERT_TRUE(client.connect().ok());
        pb::OpenReply opened = client.open("SERVEDPCIE1", "pcie");
        ASSERT_EQ(opened.status().code(), NO_ERR) << opened.status().message();
        ASSERT_EQ(opened.mirror().driver_type(), pb::DRIVER_TYPE_PCIE);
        ASSERT_EQ(opened.mirror().device_id(), 1);
        card->clearLog();
    }
    void TearDown() override {
        client.disconnect();
        eventually([&] { return server.server().registry().sessionCount() == 0; });
        krvtest::setEnv("PEXLINK_DEVICE_DIR", "");
    }
    template <class Method, class Request>
    pb::StatusReply statusCall(Method method, const Request& request) {
        pb::StatusReply reply;
        EXPECT_TRUE(client.call(method, request, reply).ok());
        return reply;
    }

    krvtest::TempDir cards{"krv-served-cards"};
    std::unique_ptr<Emu::Card> card;
    LocalServer server;
    Client client{server.target(), "pcie-client"};
};

TEST_F(PCIeServed, FramesAndChannelSumsLandOnTheCard) {
    std::vector<double> frame(140);
    for (uint32_t i = 0; i < 140; ++i) frame[i] = i / 139.0;
    ASSERT_EQ(client.send("pcie", frame).status().code(), NO_ERR);
    auto shown = card->frameActuators(140);
    for (uint32_t i = 0; i < 140; ++i) ASSERT_EQ(shown[i], units(frame[i])) << i;

    std::vector<double> tilt(140);
    for (uint32_t i = 0; i < 140; ++i) tilt[i] = 0.5 - i / 139.0;
    pb::FrameReply summed = client.setChannel("pcie", "tilt", tilt, 1.0);
    ASSERT_EQ(summed.status().code(), NO_ERR);
    shown = card->frameActuators(140);
    for (uint32_t i = 0; i < 140; ++i) ASSERT_EQ(shown[i], units(frame[i] + tilt[i])) << i;
    EXPECT_EQ(summed.saturation().clamped(), 0u);
}

TEST_F(PCIeServed, APokeOfALoneDefaultChannelIsTheCardsPoke) {
    pb::PokeRequest poke;
    poke.set_session("pcie");
    poke.set_actuator(3);
    poke.set_value(1.0);
    pb::FrameReply reply;
    ASSERT_TRUE(client.call(&pb::MirrorService::Stub::Poke, poke, reply).ok());
    ASSERT_EQ(reply.status().code(), NO_ERR);
    EXPECT_EQ(writesTo(*card, Emu::Reg::Poke), std::vector<uint32_t>{(3u << 16) | 32768u});
}

TEST_F(PCIeServed, SequencerDithererAndHighResolutionReachTheCard) {
    pb::ConfigureSequenceRequest sequence;
    sequence.set_session("pcie");
    sequence.set_frame_length(3);
    sequence.set_seq_length(2);
    for (double v : {0.0, 0.25, 0.5, 0.75, 1.0, 0.125}) sequence.add_values(v);
    ASSERT_EQ(statusCall(&pb::MirrorService::Stub::ConfigureSequence, sequence).status().code(), NO_ERR);
    const auto words = card->sequenceMemory(6);
    EXPECT_EQ(words[0], uint32_t(units(0.0)));
    EXPECT_EQ(words[1], (1u << 16) | units(0.25));
    EXPECT_EQ(words[2], (2u << 16) | units(0.5) | (1u << 28));
    EXPECT_EQ(words[5], (2u << 16) | units(0.125) | (3u << 28));

    pb::EnableSequenceRequest run;
    run.set_session("pcie");
    run.set_frame_rate_hz(1000.0);
    run.set_enable(true);
    ASSERT_EQ(statusCall(&pb::MirrorService::Stub::EnableSequence, run).status().code(), NO_ERR);
    EXPECT_EQ(card->reg(Emu::Reg::SeqPeriod), 62500u);
    run.set_enable(false);
    ASSERT_EQ(statusCall(&pb::MirrorService::Stub::EnableSequence, run).status().code(), NO_ERR);

    pb::ConfigureDitherRequest dither;
    dither.set_session("pcie");
    for (double w : {0.0, 0.5, 1.0}) dither.add_waveform(w);
    fill(dither.mutable_gains(), 140, 0.5);
    ASSERT_EQ(statusCall(&pb::MirrorService::Stub::ConfigureDither, dither).status().code(), NO_ERR);
    EXPECT_EQ(card->ditherWaveform(3), (std::vector<uint32_t>{0u, 16384u, 32768u | 0x10000u}));
    EXPECT_EQ(card->ditherGains(1)[0], uint32_t(units(0.5)));
    dither.set_waveform(1, 1.5);
    EXPECT_EQ(statusCall(&pb::MirrorService::Stub::ConfigureDither, dither).status().code(), ERR_INVALID_DITHER_WVFRM);

    pb::EnableHighResRequest highRes;
    highRes.set_session("pcie");
    highRes.set_enable(true);
    ASSERT_EQ(statusCall(&pb::MirrorService::Stub::EnableHighRes, highRes).status().code(), NO_ERR);
    EXPECT_NE(card->reg(Emu::Reg::HvaConfig) & (1u << 9), 0u);
    pb::EnableDitherRequest ditherOn;
    ditherOn.set_session("pcie");
    ditherOn.set_frame_rate_hz(100.0);
    ditherOn.set_enable(true);
    ASSERT_EQ(statusCall(&pb::MirrorService::Stub::EnableDither, ditherOn).status().code(), NO_ERR);
    highRes.set_enable(false);
    EXPECT_EQ(statusCall(&pb::MirrorService::Stub::EnableHighRes, highRes).status().code(), ERR_INVALID_DITHER_RATE)
        << "the kit refuses while the ditherer runs";
}

TEST_F(PCIeServed, TheLastClientLeavingZeroesTheCard) {
    ASSERT_EQ(client.send("pcie", std::vector<double>(140, 0.8)).status().code(), NO_ERR);
    card->clearLog();
    client.disconnect();
    ASSERT_TRUE(eventually([&] { return server.server().registry().sessionCount() == 0; }));
    const auto pokes = writesTo(*card, Emu::Reg::Poke);
    ASSERT_GE(pokes.size(), 140u);
    for (uint32_t w : pokes) EXPECT_EQ(w & 0xFFFFu, 0u);
}

}  // namespace
