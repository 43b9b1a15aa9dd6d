// Demo step for PCIe mirrors: an emulated card, a mirror opened on it, one frame, and the card's frame memory.
#include "demo.h"

#include <KRV_PCIeAPI.h>

#include <krv/emu/pexcard.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace krvctl {
namespace {

constexpr const char* kSerial = "DEMOPCIE140";
constexpr uint32_t kActuators = 140;
constexpr uint32_t kMaxVoltage = 300;
constexpr uint32_t kVoltageLimit = 240;
constexpr uint32_t kInactive = 17;

std::string hex(uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::setw(8) << std::setfill('0') << v;
    return s.str();
}

// Points the card access library at the demo's card images for the length of the step.
class DeviceDirectory {
public:
    explicit DeviceDirectory(const std::string& dir) {
        if (const char* old = std::getenv("PEXLINK_DEVICE_DIR")) previous_ = old, hadPrevious_ = true;
        setenv("PEXLINK_DEVICE_DIR", dir.c_str(), 1);
    }
    ~DeviceDirectory() {
        if (hadPrevious_) {
            setenv("PEXLINK_DEVICE_DIR", previous_.c_str(), 1);
        } else {
            unsetenv("PEXLINK_DEVICE_DIR");
        }
    }

private:
    std::string previous_;
    bool hadPrevious_ = false;
};

struct OpenRecord {
    std::unique_ptr<DM> dm = std::make_unique<DM>();  // value-initialised: zero-filled as the kit requires
    ~OpenRecord() {
        if (dm->State) KRVClose(dm.get());
    }
};

void pcieMirror(DemoContext& ctx) {
    namespace Emu = MirrorKit::Emu;
    const std::string cardDir = ctx.installDir + "/pcie-cards";
    std::error_code ignored;
    std::filesystem::create_directories(cardDir, ignored);
    Emu::CardOptions options;
    options.revision = 0x20000600;
    std::string error;
    if (!demoCheck(ctx, "card image", Emu::createCards(cardDir, 1, options, &error),
                   error.empty() ? Emu::cardDevicePath(cardDir, 1) + ", firmware " + hex(options.revision) : error))
        return;
    auto card = Emu::Card::open(Emu::cardDevicePath(cardDir, 1), &error);
    if (!demoCheck(ctx, "card mapped", card != nullptr, error.empty() ? "ready" : error)) return;
    DeviceDirectory devices(cardDir);
    demoCheck(ctx, "cards found", KRV_PCIeGetNumberOfDevices() == 1,
              std::to_string(KRV_PCIeGetNumberOfDevices()) + " card(s) in " + cardDir);

    // Actuator i drives channel 139 - i: a mirror wired back to front, so the table on the card is not the
    // identity.
    std::vector<uint32_t> map(kActuators);
    for (uint32_t i = 0; i < kActuators; ++i) map[i] = kActuators - 1 - i;
    const std::string mapFile = std::string(kSerial) + ".map";
    writeDemoMap(ctx, mapFile, map);
    const std::string profile = writeDemoProfile(ctx, kSerial,
                                                 {{"type", "1"},
                                                  {"size", std::to_string(kActuators)},
                                                  {"maxv", std::to_string(kMaxVoltage)},
                                                  {"vlim", std::to_string(kVoltageLimit)},
                                                  {"hva", "2"},
                                                  {"use_fiber", "1"},
                                                  {"use_CL", "0"},
                                                  {"fiber_mode", "1"},
                                                  {"map", mapFile},
                                                  {"inactive", "1:" + std::to_string(kInactive)}});
    ctx.out << "mirror " << kSerial << ": " << kActuators << " actuators on PCIe card 1, ZETA fiber link, vlim "
            << kVoltageLimit << " of maxv " << kMaxVoltage << ", inactive actuator " << kInactive << "\n  profile "
            << profile << "\n";

    OpenRecord record;
    DM* dm = record.dm.get();
    if (demoReport(ctx, std::string("KRVOpen(dm, \"") + kSerial + "\")", KRVOpen(dm, kSerial)) != NO_ERR) return;
    const uint32_t config = card->reg(Emu::Reg::HvaConfig);
    demoCheck(ctx, "link configuration", config == ((kActuators << 16) | 0xC2u),
              hex(config) + ": HVA length " + std::to_string(config >> 16) + ", type " + std::to_string(config & 0x1F) +
                  ", fiber and fiber mode on; DevId " + std::to_string(dm->DevId) + ", channel count " +
                  std::to_string(dm->Driver.ChannelCount));
    const auto lut = card->lut();
    demoCheck(ctx, "lookup table",
              lut[0] == 139 && lut[139] == 0 && lut[kInactive] == 0x10000 && lut[kActuators] == 0x10000,
              "actuator 0 -> channel " + std::to_string(lut[0]) + ", actuator 139 -> channel " +
                  std::to_string(lut[139]) + ", inactive actuator " + std::to_string(kInactive) + " -> " +
                  hex(lut[kInactive]) + " (no channel)");

    std::vector<double> frame(kActuators);
    for (uint32_t i = 0; i < kActuators; ++i) frame[i] = static_cast<double>(i) / (kActuators - 1);
    card->clearLog();
    demoReport(ctx, "KRVSetArray(dm, ramp, null)", KRVSetArray(dm, frame.data(), nullptr));

    // What the card must hold: each value in driver units, two actuators to a word, actuator 2k in the low half.
    const double ratio = static_cast<double>(kVoltageLimit) / kMaxVoltage;
    std::vector<uint32_t> expected(kActuators / 2);
    for (uint32_t k = 0; k < expected.size(); ++k) {
        const auto lo = static_cast<uint32_t>(std::lround(frame[2 * k] * 65535.0 * ratio));
        const auto hi = static_cast<uint32_t>(std::lround(frame[2 * k + 1] * 65535.0 * ratio));
        expected[k] = lo | (hi << 16);
    }
    const auto words = card->frameWords(0, static_cast<uint32_t>(expected.size()));
    ctx.out << "  frame memory (word: on the card / expected):\n";
    for (uint32_t k : {0u, 1u, 2u, 34u, 68u, 69u}) {
        ctx.out << "    " << std::setw(2) << k << ": " << hex(words[k]) << " / " << hex(expected[k])
                << (words[k] == expected[k] ? "" : "  <- differs") << "\n";
    }
    uint32_t differing = 0;
    for (uint32_t k = 0; k < expected.size(); ++k) differing += words[k] != expected[k];
    const auto transfers = card->transfers();
    demoCheck(ctx, "frame on the card", differing == 0 && transfers.size() == 1,
              std::to_string(expected.size() - differing) + " of " + std::to_string(expected.size()) +
                  " words as expected, sent in " + std::to_string(transfers.size()) + " burst(s)");

    demoReport(ctx, "KRVSetSingle(dm, 3, 1.0)", KRVSetSingle(dm, 3, 1.0));
    demoCheck(ctx, "poke", card->reg(Emu::Reg::Poke) == ((3u << 16) | 52428u),
              "poke register " + hex(card->reg(Emu::Reg::Poke)) + " (actuator 3, value 52428)");

    card->clearLog();
    demoReport(ctx, "KRVClose(dm)", KRVClose(dm));
    // The close zeroes every actuator one poke at a time, then stops the sequencer and the ditherer.
    uint32_t zeroPokes = 0;
    bool stopped = false;
    for (const auto& t : card->transfers()) {
        if (t.address == Emu::Reg::Poke && t.words.size() == 1 && (t.words[0] & 0xFFFFu) == 0) ++zeroPokes;
        if (t.address == Emu::Reg::SeqControl && t.words == std::vector<uint32_t>{0x80000000u}) stopped = true;
    }
    demoCheck(ctx, "closed record", dm->State == nullptr && dm->ActCount == 0 && zeroPokes == kActuators && stopped,
              std::string("State ") + (dm->State ? "set" : "null") + ", " + std::to_string(zeroPokes) +
                  " actuators zeroed, sequencer " + (stopped ? "stopped" : "not stopped"));
}

KRVCTL_DEMO_STEP(20, "PCIe mirror on emulated cards", pcieMirror);

}  // namespace
}  // namespace krvctl
