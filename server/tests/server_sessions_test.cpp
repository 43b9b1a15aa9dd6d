// The mirror server on dummy mirrors: shared sessions, reservations, channels, streams, and malformed requests.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

using namespace servertest;

namespace {

constexpr uint32_t kN = 140;

std::vector<double> ramp(uint32_t n, double scale) {
    std::vector<double> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = scale * (i % 10) / 10.0;
    return v;
}

class Sessions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        profile("SHARED00140", krvtest::dummyProfile(kN));
        profile("SHARED00032", krvtest::dummyProfile(32));
        profile("SHARED00033", krvtest::dummyProfile(33));
    }
    void SetUp() override {
        ASSERT_TRUE(a.connect().ok());
        ASSERT_TRUE(b.connect().ok());
    }

    LocalServer server;
    Client a{server.target(), "loop"};
    Client b{server.target(), "viewer"};
};

TEST_F(Sessions, TwoClientsOfOneNamedSessionSeeEachOthersFrames) {
    pb::OpenReply first = a.open("SHARED00140", "bench");
    ASSERT_EQ(first.status().code(), NO_ERR) << first.status().message();
    EXPECT_TRUE(first.created());
    EXPECT_EQ(first.session(), "bench");
    EXPECT_EQ(first.mirror().n_actuators(), kN);
    EXPECT_EQ(first.mirror().driver_type(), pb::DRIVER_TYPE_DUMMY);
    EXPECT_EQ(first.mirror().grid_width(), 12u);

    // Attaching by the session's name alone.
    pb::OpenReply second = b.open("", "bench", pb::OpenRequest::ATTACH_ONLY);
    ASSERT_EQ(second.status().code(), NO_ERR) << second.status().message();
    EXPECT_FALSE(second.created());
    EXPECT_EQ(second.mirror().serial(), "SHARED00140");

    Watch watchA(a, "bench"), watchB(b, "bench");
    ASSERT_TRUE(watchA.waitFor(1) && watchB.waitFor(1));

    const auto fromA = ramp(kN, 0.9);
    pb::FrameReply sent = a.send("bench", fromA);
    ASSERT_EQ(sent.status().code(), NO_ERR) << sent.status().message();
    EXPECT_EQ(sent.sequence(), 1u);
    expectFrame(values(b.read("bench").values()), fromA, "B reads A's frame");

    std::vector<double> fromB(kN, 0.25);
    ASSERT_EQ(b.send("bench", fromB).status().code(), NO_ERR);
    expectFrame(values(a.read("bench").values()), fromB, "A reads B's frame");

    for (Watch* w : {&watchA, &watchB}) {
        ASSERT_TRUE(w->waitFor(3));
        auto events = w->events();
        EXPECT_EQ(events[0].source(), pb::FRAME_SOURCE_CURRENT);
        EXPECT_EQ(events[1].sequence(), 1u);
        EXPECT_EQ(events[1].writer(), "loop");
        EXPECT_EQ(events[1].source(), pb::FRAME_SOURCE_SEND);
        expectFrame(values(events[1].values()), fromA, "watched frame of A");
        EXPECT_EQ(events[2].sequence(), 2u);
        EXPECT_EQ(events[2].writer(), "viewer");
        expectFrame(values(events[2].values()), fromB, "watched frame of B");
        EXPECT_GT(events[2].time_unix_ns(), 0);
    }

    pb::DescribeSessionRequest describe;
    describe.set_session("bench");
    pb::DescribeSessionReply described;
    ASSERT_TRUE(b.call(&pb::MirrorService::Stub::DescribeSession, describe, described).ok());
    std::vector<std::string> clients(described.clients().begin(), described.clients().end());
    std::sort(clients.begin(), clients.end());
    EXPECT_EQ(clients, (std::vector<std::string>{"loop", "viewer"}));
    EXPECT_EQ(described.sequence(), 2u);
}

TEST_F(Sessions, OpenBehavioursAndOneSessionPerMirror) {
    EXPECT_EQ(a.open("SHARED00140", "x", pb::OpenRequest::ATTACH_ONLY).status().code(), ERR_DRIVER_NOT_OPEN);
    ASSERT_EQ(a.open("SHARED00140", "x", pb::OpenRequest::OPEN_NEW).status().code(), NO_ERR);
    EXPECT_EQ(b.open("SHARED00140", "x", pb::OpenRequest::OPEN_NEW).status().code(), ERR_DRIVER_ALREADY_OPEN);
    // The mirror is open in "x": not a second time under another name, nor by its serial's default session.
    EXPECT_EQ(b.open("SHARED00140", "y").status().code(), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_EQ(b.open("SHARED00140").status().code(), ERR_DRIVER_ALREADY_OPEN);
    // A session holds the mirror it was opened with.
    EXPECT_EQ(b.open("SHARED00032", "x").status().code(), ERR_SERIAL_NUMBER);
    EXPECT_EQ(b.open("", "x").status().code(), NO_ERR);

    // A mirror without a profile: refused, and no session is left behind.
    pb::OpenReply missing = a.open("NOPROFILE01", "ghost");
    EXPECT_EQ(missing.status().code(), ERR_OPENFILE);
    EXPECT_EQ(a.read("ghost").status().code(), ERR_DRIVER_NOT_OPEN);

    pb::ListMirrorsReply list;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::ListMirrors, pb::ListMirrorsRequest(), list).ok());
    ASSERT_EQ(list.status().code(), NO_ERR);
    bool seen = false;
    for (const auto& m : list.mirrors()) {
        if (m.serial() != "SHARED00140") continue;
        seen = true;
        EXPECT_TRUE(m.open());
        EXPECT_EQ(m.session(), "x");
        EXPECT_EQ(m.clients(), 2u);
        EXPECT_EQ(m.n_actuators(), kN);
    }
    EXPECT_TRUE(seen);
}

TEST_F(Sessions, MirrorsTellTheirGeometryCalibrationAndProfiles) {
    profile("GEOMETRY137", krvtest::dummyProfile(137));
    profile("SEGMENTS111", krvtest::dummyProfile(111));
    krvtest::writeText(tree().profiles() + "/BROKENPROF1.dm", "not a profile\n");
    pb::ListMirrorsReply list;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::ListMirrors, pb::ListMirrorsRequest(), list).ok());
    std::map<std::string, pb::MirrorEntry> bySerial;
    for (const auto& m : list.mirrors()) bySerial[m.serial()] = m;
    ASSERT_TRUE(bySerial.count("GEOMETRY137"));
    EXPECT_TRUE(bySerial["GEOMETRY137"].profile_read());
    EXPECT_EQ(bySerial["GEOMETRY137"].driver_type(), pb::DRIVER_TYPE_DUMMY);
    EXPECT_EQ(bySerial["GEOMETRY137"].n_actuators(), 137u);
    EXPECT_FALSE(bySerial["GEOMETRY137"].open());
    ASSERT_TRUE(bySerial.count("BROKENPROF1"));
    EXPECT_FALSE(bySerial["BROKENPROF1"].profile_read()) << "listed, but nothing made up about it";

    pb::OpenReply round = a.open("GEOMETRY137");
    ASSERT_EQ(round.status().code(), NO_ERR);
    const auto& m = round.mirror();
    EXPECT_EQ(m.grid_width(), 13u);
    EXPECT_EQ(m.layout(), pb::LAYOUT_CIRCULAR);
    EXPECT_FALSE(m.segmented());
    EXPECT_EQ(m.stroke_nm(), 3500.0);
    EXPECT_EQ(m.channel_count(), 137u);
    ASSERT_EQ(m.grid_mask_size(), 169);
    EXPECT_EQ(std::count(m.grid_mask().begin(), m.grid_mask().end(), true), 137);
    EXPECT_FALSE(m.grid_mask(0)) << "a corner of the disc";
    EXPECT_TRUE(m.grid_mask(6 * 13 + 6)) << "its centre";
    EXPECT_FALSE(m.calibration_loaded());

    // A table sent whole; the session then tells that it is loaded.
    pb::LoadCalibrationRequest table;
    table.set_session("GEOMETRY137");
    table.set_data(krvtest::readText(testData("calibration/cdm_137.mat")));
    pb::StatusReply loaded;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::LoadCalibration, table, loaded).ok());
    ASSERT_EQ(loaded.status().code(), NO_ERR) << loaded.status().message();
    pb::DescribeSessionRequest describe;
    describe.set_session("GEOMETRY137");
    pb::DescribeSessionReply described;
    ASSERT_TRUE(b.call(&pb::MirrorService::Stub::DescribeSession, describe, described).ok());
    EXPECT_TRUE(described.mirror().calibration_loaded());

    pb::OpenReply segmented = a.open("SEGMENTS111");
    ASSERT_EQ(segmented.status().code(), NO_ERR);
    EXPECT_TRUE(segmented.mirror().segmented());
    EXPECT_EQ(segmented.mirror().layout(), pb::LAYOUT_HEX);
}

TEST_F(Sessions, TheLastClientToCloseClosesTheMirror) {
    ASSERT_EQ(a.open("SHARED00140", "s").status().code(), NO_ERR);
    ASSERT_EQ(b.open("SHARED00140", "s").status().code(), NO_ERR);
    ASSERT_EQ(a.send("s", std::vector<double>(kN, 0.5)).status().code(), NO_ERR);

    pb::CloseReply closedA = a.close("s");
    EXPECT_EQ(closedA.status().code(), NO_ERR);
    EXPECT_FALSE(closedA.mirror_closed());
    // A closed client no longer writes; the other still does.
    EXPECT_EQ(a.send("s", std::vector<double>(kN, 0.1)).status().code(), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(a.close("s").status().code(), ERR_DRIVER_NOT_OPEN);
    EXPECT_EQ(b.send("s", std::vector<double>(kN, 0.75)).status().code(), NO_ERR);

    Watch watch(a, "s");
    ASSERT_TRUE(watch.waitFor(1));
    pb::CloseReply closedB = b.close("s");
    EXPECT_EQ(closedB.status().code(), NO_ERR);
    EXPECT_TRUE(closedB.mirror_closed());
    ASSERT_TRUE(watch.waitFor(2));
    EXPECT_TRUE(watch.events().back().session_closed());
    EXPECT_TRUE(eventually([&] { return watch.ended(); }));
    EXPECT_EQ(a.read("s").status().code(), ERR_DRIVER_NOT_OPEN);
    // Closed mirrors open again.
    EXPECT_EQ(a.open("SHARED00140", "s").status().code(), NO_ERR);
}

TEST_F(Sessions, AClientThatGoesAwayIsDetachedAndTheMirrorClosedWhenItWasTheLast) {
    ASSERT_EQ(a.open("SHARED00140", "gone").status().code(), NO_ERR);
    ASSERT_EQ(a.open("SHARED00140", "gone").status().code(), NO_ERR);  // twice: both attachments go
    ASSERT_EQ(b.open("SHARED00140", "gone").status().code(), NO_ERR);
    a.disconnect();
    pb::DescribeSessionRequest describe;
    describe.set_session("gone");
    ASSERT_TRUE(eventually([&] {
        pb::DescribeSessionReply r;
        b.call(&pb::MirrorService::Stub::DescribeSession, describe, r);
        return r.clients_size() == 1;
    }));
    b.disconnect();
    EXPECT_TRUE(eventually([&] { return server.server().registry().sessionCount() == 0; }));
}

TEST(SessionsOnIdle, HoldKeepsTheMirrorAndItsFrameUntilAClientAttachesAndCloses) {
    profile("HOLDING0140", krvtest::dummyProfile(kN));
    auto options = LocalServer::defaults();
    options.sessions.holdOnIdle = true;
    LocalServer server(options);
    std::vector<double> shape = ramp(kN, 1.0);
    {
        Client loop(server.target(), "loop");
        ASSERT_TRUE(loop.connect().ok());
        ASSERT_EQ(loop.open("HOLDING0140", "held").status().code(), NO_ERR);
        ASSERT_EQ(loop.send("held", shape).status().code(), NO_ERR);
    }  // gone without closing
    Client later(server.target(), "later");
    ASSERT_TRUE(later.connect().ok());
    ASSERT_TRUE(eventually([&] {
        pb::DescribeSessionRequest d;
        d.set_session("held");
        pb::DescribeSessionReply r;
        later.call(&pb::MirrorService::Stub::DescribeSession, d, r);
        return r.status().code() == NO_ERR && r.clients_size() == 0;
    }));
    pb::OpenReply attached = later.open("", "held", pb::OpenRequest::ATTACH_ONLY);
    ASSERT_EQ(attached.status().code(), NO_ERR);
    expectFrame(values(later.read("held").values()), shape, "held frame");
    EXPECT_TRUE(later.close("held").mirror_closed());
}

TEST_F(Sessions, ASecondWriterIsRefusedWhileTheFirstHoldsTheReservationAndServedAfterItLeaves) {
    ASSERT_EQ(a.open("SHARED00140", "r").status().code(), NO_ERR);
    ASSERT_EQ(b.open("SHARED00140", "r").status().code(), NO_ERR);
    ASSERT_EQ(a.reserve("r").status().code(), NO_ERR);
    EXPECT_EQ(a.reserve("r").status().code(), NO_ERR) << "holding it already";

    const std::vector<double> mine(kN, 0.3);
    ASSERT_EQ(a.send("r", mine).status().code(), NO_ERR);
    pb::FrameReply refused = b.send("r", std::vector<double>(kN, 0.9));
    EXPECT_EQ(refused.status().code(), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_NE(refused.status().message().find("loop"), std::string::npos) << refused.status().message();
    EXPECT_EQ(refused.sequence(), 0u);
    EXPECT_EQ(b.setChannel("r", "probe", std::vector<double>(kN, 0.1), 1.0).status().code(),
              ERR_DRIVER_ALREADY_OPEN);
    pb::ReserveReply second = b.reserve("r");
    EXPECT_EQ(second.status().code(), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_EQ(second.reserved_by(), "loop");
    EXPECT_EQ(b.release("r").status().code(), ERR_BADARG);
    // Observers read without a reservation; the refused frames changed nothing.
    expectFrame(values(b.read("r").values()), mine, "frame after refusals");

    a.disconnect();
    ASSERT_TRUE(eventually([&] { return b.reserve("r").status().code() == NO_ERR; }));
    EXPECT_EQ(b.send("r", std::vector<double>(kN, 0.9)).status().code(), NO_ERR);
    EXPECT_EQ(b.release("r").status().code(), NO_ERR);
}

TEST_F(Sessions, ThreeChannelsSumToTheFrameAndSaturationNamesTheClampedActuators) {
    ASSERT_EQ(a.open("SHARED00140", "c").status().code(), NO_ERR);
    ASSERT_EQ(b.open("SHARED00140", "c").status().code(), NO_ERR);
    std::vector<double> flat(kN, 0.5), loop(kN, 0.0), probe(kN, 0.0);
    for (uint32_t i = 0; i < kN; ++i) loop[i] = 0.01 * (i % 7);
    probe[3] = 1.0;    // 0.5 + 0.03 + 0.8 * 1.0 -> above 1
    probe[17] = -1.0;  // 0.5 + 0.03 - 0.8 -> below 0
    probe[99] = 2.0;   // above 1
    ASSERT_EQ(a.setChannel("c", "flat", flat, 1.0).status().code(), NO_ERR);
    ASSERT_EQ(a.setChannel("c", "loop", loop, 1.0).status().code(), NO_ERR);
    pb::FrameReply last = b.setChannel("c", "probe", probe, 0.8);
    ASSERT_EQ(last.status().code(), NO_ERR) << last.status().message();

    std::vector<double> expected(kN);
    for (uint32_t i = 0; i < kN; ++i) expected[i] = std::clamp(flat[i] + loop[i] + 0.8 * probe[i], 0.0, 1.0);
    expectFrame(values(a.read("c").values()), expected, "sum of three channels");
    EXPECT_EQ(last.saturation().clamped(), 3u);
    EXPECT_EQ(last.saturation().clamped_high(), 2u);
    EXPECT_EQ(last.saturation().clamped_low(), 1u);
    EXPECT_EQ(std::vector<uint32_t>(last.saturation().actuators().begin(), last.saturation().actuators().end()),
              (std::vector<uint32_t>{3, 17, 99}));

    // The gain alone; then the probe leaves the sum.
    pb::SetChannelRequest gainOnly;
    gainOnly.set_session("c");
    gainOnly.set_channel("probe");
    gainOnly.set_gain(0.0);
    pb::FrameReply muted;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::SetChannel, gainOnly, muted).ok());
    EXPECT_EQ(muted.saturation().clamped(), 0u);
    pb::ClearChannelRequest clear;
    clear.set_session("c");
    clear.set_channel("probe");
    pb::FrameReply cleared;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::ClearChannel, clear, cleared).ok());
    ASSERT_EQ(cleared.status().code(), NO_ERR);
    for (uint32_t i = 0; i < kN; ++i) expected[i] = flat[i] + loop[i];
    expectFrame(values(a.read("c").values()), expected, "without the probe");
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::ClearChannel, clear, cleared).ok(), true);
    EXPECT_EQ(cleared.status().code(), ERR_BADARG) << "no such channel any more";

    pb::ListChannelsRequest listRequest;
    listRequest.set_session("c");
    listRequest.set_with_values(true);
    pb::ListChannelsReply listed;
    ASSERT_TRUE(b.call(&pb::MirrorService::Stub::ListChannels, listRequest, listed).ok());
    ASSERT_EQ(listed.channels_size(), 3);
    EXPECT_EQ(listed.channels(0).name(), "");
    EXPECT_EQ(listed.channels(1).name(), "flat");
    EXPECT_EQ(listed.channels(2).name(), "loop");
    EXPECT_EQ(listed.channels(2).last_writer(), "loop");
    expectFrame(values(listed.channels(2).values()), loop, "loop channel");

    // The direct calls write the default channel, which is summed with the others.
    pb::PokeRequest poke;
    poke.set_session("c");
    poke.set_actuator(5);
    poke.set_value(0.6);  // 0.6 + 0.5 + 0.05 is clamped
    pb::FrameReply poked;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::Poke, poke, poked).ok());
    ASSERT_EQ(poked.status().code(), NO_ERR);
    EXPECT_NEAR(a.read("c").values(5), std::min(1.0, 0.6 + flat[5] + loop[5]), 1.0 / 65535);
    EXPECT_EQ(poked.saturation().clamped(), 1u);

    // Clear empties every channel.
    pb::ClearRequest clearAll;
    clearAll.set_session("c");
    pb::FrameReply zeroed;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::Clear, clearAll, zeroed).ok());
    expectFrame(values(a.read("c").values()), std::vector<double>(kN, 0.0), "cleared");
}

TEST_F(Sessions, TheSaturationListIsBoundedButTheCountIsNot) {
    ASSERT_EQ(a.open("SHARED00140", "big").status().code(), NO_ERR);
    pb::FrameReply r = a.send("big", std::vector<double>(kN, 1.5));
    ASSERT_EQ(r.status().code(), NO_ERR);
    EXPECT_EQ(r.saturation().clamped(), kN);
    ASSERT_EQ(r.saturation().actuators_size(), 64);
    EXPECT_EQ(r.saturation().actuators(63), 63u);
    for (int k = 0; k < 31; ++k)
        ASSERT_EQ(a.setChannel("big", "ch" + std::to_string(k), std::vector<double>(kN, 0.0), 1.0).status().code(),
                  NO_ERR);
    EXPECT_EQ(a.setChannel("big", "one-too-many", std::vector<double>(kN, 0.0), 1.0).status().code(), ERR_BADARG);
}

// Frames are checked, summed and counted two values at a time; a mirror of odd size leaves one value over, which
// must be checked, summed, clamped and reported like the others, whatever the number of channels.
TEST_F(Sessions, TheLastActuatorOfAnOddMirrorIsCheckedSummedAndReported) {
    constexpr uint32_t kOdd = 33, kLast = kOdd - 1;
    ASSERT_EQ(a.open("SHARED00033", "odd").status().code(), NO_ERR);

    // Alone at gain 1, a frame is its own sum: only the last value lies outside 0..1.
    std::vector<double> direct(kOdd, 0.25);
    direct[kLast] = 1.25;
    pb::FrameReply r = a.send("odd", direct);
    ASSERT_EQ(r.status().code(), NO_ERR) << r.status().message();
    EXPECT_EQ(r.saturation().clamped(), 1u);
    EXPECT_EQ(r.saturation().clamped_high(), 1u);
    ASSERT_EQ(r.saturation().actuators_size(), 1);
    EXPECT_EQ(r.saturation().actuators(0), kLast);
    std::vector<double> expected(kOdd, 0.25);
    expected[kLast] = 1.0;
    expectFrame(values(a.read("odd").values()), expected, "one channel");

    // Two to six channels (more than four are summed block by block); each adds 0.2 everywhere, which takes the
    // sum above 1 with five and six channels, and pulls the last actuator down by 0.5, below 0 from three on.
    direct[kLast] = 0.5;
    ASSERT_EQ(a.send("odd", direct).status().code(), NO_ERR);
    for (int k = 1; k <= 5; ++k) {
        std::vector<double> term(kOdd, 0.2);
        term[kLast] = -0.5;
        r = a.setChannel("odd", "term" + std::to_string(k), term, 1.0);
        ASSERT_EQ(r.status().code(), NO_ERR) << r.status().message();
        const double body = 0.25 + 0.2 * k, last = 0.5 - 0.5 * k;
        for (uint32_t i = 0; i < kOdd; ++i) expected[i] = std::clamp(i == kLast ? last : body, 0.0, 1.0);
        const std::string what = std::to_string(k + 1) + " channels";
        expectFrame(values(a.read("odd").values()), expected, what);
        const uint32_t high = body > 1.0 ? kLast : 0;
        const uint32_t low = last < 0.0 ? 1 : 0;
        EXPECT_EQ(r.saturation().clamped_high(), high) << what;
        EXPECT_EQ(r.saturation().clamped_low(), low) << what;
        EXPECT_EQ(r.saturation().clamped(), high + low) << what;
        EXPECT_EQ(r.saturation().actuators_size(), static_cast<int>(high + low)) << what;
        if (low) {
            EXPECT_EQ(r.saturation().actuators(static_cast<int>(high + low) - 1), kLast) << what;
        }
    }

    // A bad last value is refused with its index, and the frame stays.
    const std::vector<double> applied = values(a.read("odd").values());
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity(), 2e6}) {
        std::vector<double> v(kOdd, 0.5);
        v[kLast] = bad;
        pb::SendRequest request;
        request.set_session("odd");
        request.mutable_values()->Assign(v.begin(), v.end());
        pb::FrameReply reply;
        const grpc::Status s = a.call(&pb::MirrorService::Stub::Send, request, reply);
        EXPECT_EQ(s.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << bad;
        EXPECT_NE(s.error_message().find("values[32]"), std::string::npos) << s.error_message();
    }
    expectFrame(values(a.read("odd").values()), applied, "after the refused frames");
}

TEST_F(Sessions, StreamFramesAcknowledgesOnRequestAndEndsOnTheFirstRefusedFrame) {
    ASSERT_EQ(a.open("SHARED00140", "loop").status().code(), NO_ERR);
    ASSERT_EQ(b.open("SHARED00140", "loop").status().code(), NO_ERR);
    Watch watch(b, "loop", true);
    ASSERT_TRUE(watch.waitFor(1));
    {
        grpc::ClientContext context;
        a.prepare(context);
        auto stream = a.stub().StreamFrames(&context);
        pb::StreamFramesRequest frame;
        frame.set_session("loop");
        frame.set_ack_every(25);
        for (int k = 0; k < 100; ++k) {
            fill(frame.mutable_values(), kN, k / 100.0);
            ASSERT_TRUE(stream->Write(frame));
            frame.clear_session();
            frame.clear_ack_every();
        }
        stream->WritesDone();
        std::vector<pb::StreamFramesReply> replies;
        pb::StreamFramesReply reply;
        while (stream->Read(&reply)) replies.push_back(reply);
        ASSERT_TRUE(stream->Finish().ok());
        ASSERT_EQ(replies.size(), 5u);
        for (int k = 0; k < 4; ++k) {
            EXPECT_FALSE(replies[k].final());
            EXPECT_EQ(replies[k].frames_applied(), 25u * (k + 1));
        }
        EXPECT_TRUE(replies[4].final());
        EXPECT_EQ(replies[4].status().code(), NO_ERR);
        EXPECT_EQ(replies[4].frames_received(), 100u);
        EXPECT_EQ(replies[4].frames_applied(), 100u);
        EXPECT_EQ(replies[4].last_sequence(), 100u);
    }
    expectFrame(values(b.read("loop").values()), std::vector<double>(kN, 0.99), "last streamed frame");
    ASSERT_TRUE(watch.waitFor(101));
    EXPECT_EQ(watch.events()[100].sequence(), 100u);
    EXPECT_EQ(watch.events()[100].source(), pb::FRAME_SOURCE_STREAM);

    // Reserved by the other client: the stream ends at its first frame with the refusal.
    ASSERT_EQ(b.reserve("loop").status().code(), NO_ERR);
    grpc::ClientContext context;
    a.prepare(context);
    auto stream = a.stub().StreamFrames(&context);
    pb::StreamFramesRequest frame;
    frame.set_session("loop");
    fill(frame.mutable_values(), kN, 0.5);
    stream->Write(frame);
    pb::StreamFramesReply reply;
    ASSERT_TRUE(stream->Read(&reply));
    EXPECT_TRUE(reply.final());
    EXPECT_EQ(reply.status().code(), ERR_DRIVER_ALREADY_OPEN);
    EXPECT_EQ(reply.frames_applied(), 0u);
    stream->WritesDone();
    EXPECT_TRUE(stream->Finish().ok());
    expectFrame(values(b.read("loop").values()), std::vector<double>(kN, 0.99), "unchanged by the refused stream");
}

TEST_F(Sessions, EveryMalformedRequestIsAnsweredWithACodeAndChangesNothing) {
    ASSERT_EQ(a.open("SHARED00140", "m").status().code(), NO_ERR);
    const std::vector<double> good = ramp(kN, 0.5);
    ASSERT_EQ(a.send("m", good).status().code(), NO_ERR);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    auto send = [&](Client& c, const std::string& session, std::vector<double> v) {
        pb::SendRequest r;
        r.set_session(session);
        r.mutable_values()->Assign(v.begin(), v.end());
        pb::FrameReply reply;
        grpc::Status s = c.call(&pb::MirrorService::Stub::Send, r, reply);
        return std::make_pair(s.error_code(), reply.status().code());
    };
    using P = std::pair<grpc::StatusCode, uint32_t>;
    const P invalid{grpc::StatusCode::INVALID_ARGUMENT, 0u};
    auto withNan = good;
    withNan[7] = nan;
    auto withInf = good;
    withInf[9] = -inf;
    auto huge = good;
    huge[0] = 1e300;
    EXPECT_EQ(send(a, "m", std::vector<double>(kN - 1, 0.5)), invalid) << "too few values";
    EXPECT_EQ(send(a, "m", std::vector<double>(kN + 1, 0.5)), invalid) << "too many values";
    EXPECT_EQ(send(a, "m", {}), invalid) << "no values";
    EXPECT_EQ(send(a, "m", withNan), invalid) << "NaN";
    EXPECT_EQ(send(a, "m", withInf), invalid) << "infinity";
    EXPECT_EQ(send(a, "m", huge), invalid) << "beyond the bound";
    EXPECT_EQ(send(a, "nosuchsession", good), (P{grpc::StatusCode::OK, ERR_DRIVER_NOT_OPEN}));
    a.anonymous(true);
    EXPECT_EQ(send(a, "m", good), invalid) << "no client id";
    a.anonymous(false);
    {
        pb::SendRequest r;
        r.set_session("m");
        r.mutable_values()->Assign(good.begin(), good.end());
        pb::FrameReply reply;
        grpc::ClientContext context;
        context.AddMetadata("mirrorkit-client-id", "0123456789abcdef");
        context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
        EXPECT_EQ(a.stub().Send(&context, r, &reply).error_code(), grpc::StatusCode::INVALID_ARGUMENT)
            << "unknown client id";
    }

    auto frameCall = [&](auto method, auto request) {
        pb::FrameReply reply;
        grpc::Status s = a.call(method, request, reply);
        return std::make_pair(s.error_code(), reply.status().code());
    };
    pb::PokeRequest poke;
    poke.set_session("m");
    poke.set_actuator(kN);
    poke.set_value(0.5);
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::Poke, poke), (P{grpc::StatusCode::OK, ERR_ACTUATOR_ID}));
    poke.set_actuator(1);
    poke.set_value(nan);
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::Poke, poke), invalid);

    pb::SetChannelRequest channel;
    channel.set_session("m");
    channel.set_channel(std::string(65, 'c'));
    channel.mutable_values()->Assign(good.begin(), good.end());
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetChannel, channel), invalid) << "long channel name";
    channel.set_channel("bad\nname");
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetChannel, channel), invalid) << "control character";
    channel.set_channel("ok");
    channel.set_gain(nan);
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetChannel, channel), invalid) << "NaN gain";
    channel.clear_gain();
    channel.clear_values();
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetChannel, channel), invalid) << "no values, no gain";

    pb::SurfaceRequest surface;
    surface.set_session("m");
    surface.set_width(10);
    surface.set_height(10);
    fill(surface.mutable_phase(), 99, 0.0);
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetSurface, surface), invalid) << "map size";
    fill(surface.mutable_phase(), 100, 0.0);
    surface.set_phase(5, inf);
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetSurface, surface), invalid) << "infinite phase";
    surface.set_phase(5, 0.0);
    surface.set_dm_diameter(4000000000u);
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetSurface, surface),
              (P{grpc::StatusCode::OK, ERR_INVALID_ACTUATOR_COUNT}));
    surface.set_dm_diameter(0);
    surface.set_width(0);
    surface.set_height(0);
    surface.clear_phase();
    EXPECT_EQ(frameCall(&pb::MirrorService::Stub::SetSurface, surface), invalid) << "empty map";

    pb::ZernikeSurfaceRequest zernike;
    zernike.set_session("m");
    fill(zernike.mutable_coefficients(), 1025, 1.0);
    pb::ZernikeSurfaceReply zreply;
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::ZernikeSurface, zernike, zreply).ok());
    EXPECT_EQ(zreply.status().code(), ERR_BADARG);
    fill(zernike.mutable_coefficients(), 3, 1.0);
    zernike.set_coefficients(1, nan);
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::ZernikeSurface, zernike, zreply).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT);
    zernike.set_coefficients(1, 0.0);
    zernike.set_dm_diameter(4000000000u);
    zernike.set_aperture_only(true);
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::ZernikeSurface, zernike, zreply).ok());
    EXPECT_EQ(zreply.status().code(), ERR_INVALID_ACTUATOR_COUNT);

    pb::GetSegmentRangeRequest range;
    range.set_session("m");
    range.set_axis(static_cast<pb::SegmentAxis>(9));
    pb::GetSegmentRangeReply rreply;
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::GetSegmentRange, range, rreply).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT);

    pb::ConfigureSequenceRequest sequence;
    sequence.set_session("m");
    sequence.set_frame_length(3);
    sequence.set_seq_length(2);
    fill(sequence.mutable_values(), 5, 0.5);
    pb::StatusReply sreply;
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::ConfigureSequence, sequence, sreply).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT);
    sequence.set_frame_length(65536);
    sequence.set_seq_length(65536);  // the product overflows 32 bits
    sequence.clear_values();
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::ConfigureSequence, sequence, sreply).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT);
    sequence.set_frame_length(3);
    fill(sequence.mutable_values(), 6, 0.5);
    sequence.set_seq_length(2);
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::ConfigureSequence, sequence, sreply).ok());
    EXPECT_EQ(sreply.status().code(), ERR_NOT_IMPLEMENTED) << "a dummy mirror has no sequencer";

    pb::ConfigureDitherRequest dither;
    dither.set_session("m");
    fill(dither.mutable_waveform(), 4, 0.5);
    fill(dither.mutable_gains(), kN - 1, 0.5);
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::ConfigureDither, dither, sreply).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT);
    pb::EnableHighResRequest highRes;
    highRes.set_session("m");
    highRes.set_enable(true);
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::EnableHighRes, highRes, sreply).ok());
    EXPECT_EQ(sreply.status().code(), ERR_NOT_IMPLEMENTED);

    pb::LoadCalibrationRequest table;
    table.set_session("m");
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::LoadCalibration, table, sreply).error_code(),
              grpc::StatusCode::INVALID_ARGUMENT)
        << "neither a name nor data";
    for (const char* name : {"../secret.mat", "/etc/passwd", "..", ""}) {
        table.set_name(name);
        EXPECT_EQ(a.call(&pb::MirrorService::Stub::LoadCalibration, table, sreply).error_code(),
                  grpc::StatusCode::INVALID_ARGUMENT)
            << name;
    }
    table.set_data("not a MAT file at all");
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::LoadCalibration, table, sreply).ok());
    EXPECT_NE(sreply.status().code(), NO_ERR);

    pb::OpenRequest open;
    open.set_serial("SHARED00032");
    open.set_behavior(static_cast<pb::OpenRequest::Behavior>(7));
    pb::OpenReply oreply;
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::Open, open, oreply).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    open.set_behavior(pb::OpenRequest::AUTO);
    open.set_session("tab\there");
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::Open, open, oreply).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
    open.set_session("");
    open.set_serial("SHORT");
    ASSERT_TRUE(a.call(&pb::MirrorService::Stub::Open, open, oreply).ok());
    EXPECT_EQ(oreply.status().code(), ERR_SERIAL_NUMBER);
    open.set_serial("");
    EXPECT_EQ(a.call(&pb::MirrorService::Stub::Open, open, oreply).error_code(), grpc::StatusCode::INVALID_ARGUMENT);

    {
        Watch missing(b, "nosuchsession");
        ASSERT_TRUE(missing.waitFor(1));
        EXPECT_EQ(missing.events()[0].status().code(), ERR_DRIVER_NOT_OPEN);
        EXPECT_TRUE(eventually([&] { return missing.ended(); }));
    }
    {
        grpc::ClientContext context;
        a.prepare(context);
        auto stream = a.stub().StreamFrames(&context);
        pb::StreamFramesRequest frame;
        frame.set_session("m");
        fill(frame.mutable_values(), kN, 0.5);
        stream->Write(frame);
        frame.set_session("another");
        stream->Write(frame);
        stream->WritesDone();
        pb::StreamFramesReply reply;
        while (stream->Read(&reply)) {
        }
        EXPECT_EQ(stream->Finish().error_code(), grpc::StatusCode::INVALID_ARGUMENT) << "session changed mid-stream";
    }

    // The server still serves, and the refused writes left the last good frame (then the stream's) in place.
    expectFrame(values(b.read("m").values()), std::vector<double>(kN, 0.5), "frame after malformed requests");
    pb::ListMirrorsReply list;
    EXPECT_TRUE(a.call(&pb::MirrorService::Stub::ListMirrors, pb::ListMirrorsRequest(), list).ok());
}

}  // namespace
