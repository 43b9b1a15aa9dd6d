// Demo step for PCIe mirrors: an emulated card, a mirror opened on it, one frame, and the card's frame memory.
#include "demo.h"

#include <KRV_PCIeAPI.h>
#include <pexemu.h>
#include <pexlink.h>

#include <dlfcn.h>

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
constexpr uint32_t kRevision = 0x20000600;
// Card registers this step reads back.
constexpr uint32_t kRegHvaConfig = 1;
constexpr uint32_t kRegPoke = 4;
constexpr uint32_t kRegSeqControl = 18;

std::string hex(uint32_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << std::setw(8) << std::setfill('0') << v;
    return s.str();
}

// The emulated-card library, loaded for this step only: krvctl runs without it, and the installed kit ships it
// in a package of its own. It is looked for where libpexlink will look: beside libpexlink, then by name.
class Emulator {
public:
    Emulator() {
        Dl_info pexlink{};
        if (dladdr(reinterpret_cast<void*>(&GetNumDevices), &pexlink) && pexlink.dli_fname) {
            const std::string path = pexlink.dli_fname;
            const size_t slash = path.rfind('/');
            if (slash != std::string::npos)
                library_ = dlopen((path.substr(0, slash + 1) + PEXEMU_SONAME).c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (!library_) library_ = dlopen(PEXEMU_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (!library_) {
            const char* why = dlerror();
            error_ = why ? why : PEXEMU_SONAME " cannot be loaded";
            return;
        }
        const bool bound = bind(create, "pexemu_create_cards") && bind(open, "pexemu_card_open") &&
                           bind(close, "pexemu_card_close") && bind(read, "pexemu_card_read") &&
                           bind(lut, "pexemu_card_lut") && bind(frame, "pexemu_card_frame") &&
                           bind(clearLog, "pexemu_card_clear_log") && bind(log, "pexemu_card_log") &&
                           bind(logSize, "pexemu_log_size") && bind(logEntry, "pexemu_log_entry") &&
                           bind(logFree, "pexemu_log_free");
        if (!bound) {
            dlclose(library_);
            library_ = nullptr;
        }
    }
    ~Emulator() {
        if (library_) dlclose(library_);
    }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool loaded() const { return library_ != nullptr; }
    const std::string& error() const { return error_; }

    decltype(&pexemu_create_cards) create = nullptr;
    decltype(&pexemu_card_open) open = nullptr;
    decltype(&pexemu_card_close) close = nullptr;
    decltype(&pexemu_card_read) read = nullptr;
    decltype(&pexemu_card_lut) lut = nullptr;
    decltype(&pexemu_card_frame) frame = nullptr;
    decltype(&pexemu_card_clear_log) clearLog = nullptr;
    decltype(&pexemu_card_log) log = nullptr;
    decltype(&pexemu_log_size) logSize = nullptr;
    decltype(&pexemu_log_entry) logEntry = nullptr;
    decltype(&pexemu_log_free) logFree = nullptr;

private:
    template <typename F>
    bool bind(F& function, const char* name) {
        function = reinterpret_cast<F>(dlsym(library_, name));
        if (!function) error_ = std::string(PEXEMU_SONAME " has no ") + name;
        return function != nullptr;
    }

    void* library_ = nullptr;
    std::string error_;
};

// One mapped card image, with what the step reads from it.
class Card {
public:
    Card(const Emulator& emu, PexEmuCard* card) : emu_(emu), card_(card) {}
    ~Card() { emu_.close(card_); }
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    uint32_t reg(uint32_t index) const {
        uint32_t value = 0;
        return emu_.read(card_, index, &value) == PEXEMU_OK ? value : 0xDEADDEADu;
    }
    std::vector<uint32_t> lut(uint32_t count) const {
        std::vector<uint32_t> out(count, 0xDEADDEADu);
        emu_.lut(card_, 0, count, out.data());
        return out;
    }
    std::vector<uint32_t> frameWords(uint32_t count) const {
        std::vector<uint32_t> out(count, 0xDEADDEADu);
        emu_.frame(card_, 0, count, out.data());
        return out;
    }
    void clearLog() { emu_.clearLog(card_); }
    // The kept transfers as (address, words).
    std::vector<std::pair<uint32_t, std::vector<uint32_t>>> transfers() const {
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> out;
        PexEmuLog* log = nullptr;
        if (emu_.log(card_, &log) != PEXEMU_OK) return out;
        for (size_t i = 0; i < emu_.logSize(log); ++i) {
            PexEmuTransfer t{};
            if (emu_.logEntry(log, i, &t) != PEXEMU_OK) break;
            out.emplace_back(t.address, std::vector<uint32_t>(t.words, t.words + t.word_count));
        }
        emu_.logFree(log);
        return out;
    }

private:
    const Emulator& emu_;
    PexEmuCard* card_;
};

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
    Emulator emu;
    if (!emu.loaded()) {
        // Not a failure: emulated cards are optional, and the step says what it needs.
        ctx.out << "  skipped: emulated PCIe cards are not installed (" << emu.error() << ");\n"
                << "  install the package mirrorkit-emulators to run this step\n";
        return;
    }
    const std::string cardDir = ctx.installDir + "/pcie-cards";
    const std::string cardPath = cardDir + "/" + PEX_DEVICE_STEM + "1";
    std::error_code ignored;
    std::filesystem::create_directories(cardDir, ignored);
    char message[512] = "";
    if (!demoCheck(ctx, "card image", emu.create(cardDir.c_str(), 1, kRevision, message, sizeof message) == PEXEMU_OK,
                   *message ? std::string(message) : cardPath + ", firmware " + hex(kRevision)))
        return;
    PexEmuCard* mapped = nullptr;
    const bool opened = emu.open(cardPath.c_str(), &mapped, message, sizeof message) == PEXEMU_OK;
    if (!demoCheck(ctx, "card mapped", opened, opened ? "ready" : std::string(message))) return;
    Card cardImage(emu, mapped);
    const Card* card = &cardImage;
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
    const uint32_t config = card->reg(kRegHvaConfig);
    demoCheck(ctx, "link configuration", config == ((kActuators << 16) | 0xC2u),
              hex(config) + ": HVA length " + std::to_string(config >> 16) + ", type " + std::to_string(config & 0x1F) +
                  ", fiber and fiber mode on; DevId " + std::to_string(dm->DevId) + ", channel count " +
                  std::to_string(dm->Driver.ChannelCount));
    const auto lut = card->lut(kActuators + 1);
    demoCheck(ctx, "lookup table",
              lut[0] == 139 && lut[139] == 0 && lut[kInactive] == 0x10000 && lut[kActuators] == 0x10000,
              "actuator 0 -> channel " + std::to_string(lut[0]) + ", actuator 139 -> channel " +
                  std::to_string(lut[139]) + ", inactive actuator " + std::to_string(kInactive) + " -> " +
                  hex(lut[kInactive]) + " (no channel)");

    std::vector<double> frame(kActuators);
    for (uint32_t i = 0; i < kActuators; ++i) frame[i] = static_cast<double>(i) / (kActuators - 1);
    cardImage.clearLog();
    demoReport(ctx, "KRVSetArray(dm, ramp, null)", KRVSetArray(dm, frame.data(), nullptr));

    // What the card must hold: each value in driver units, two actuators to a word, actuator 2k in the low half.
    const double ratio = static_cast<double>(kVoltageLimit) / kMaxVoltage;
    std::vector<uint32_t> expected(kActuators / 2);
    for (uint32_t k = 0; k < expected.size(); ++k) {
        const auto lo = static_cast<uint32_t>(std::lround(frame[2 * k] * 65535.0 * ratio));
        const auto hi = static_cast<uint32_t>(std::lround(frame[2 * k + 1] * 65535.0 * ratio));
        expected[k] = lo | (hi << 16);
    }
    const auto words = card->frameWords(static_cast<uint32_t>(expected.size()));
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
    demoCheck(ctx, "poke", card->reg(kRegPoke) == ((3u << 16) | 52428u),
              "poke register " + hex(card->reg(kRegPoke)) + " (actuator 3, value 52428)");

    cardImage.clearLog();
    demoReport(ctx, "KRVClose(dm)", KRVClose(dm));
    // The close zeroes every actuator one poke at a time, then stops the sequencer and the ditherer.
    uint32_t zeroPokes = 0;
    bool stopped = false;
    for (const auto& [address, words] : card->transfers()) {
        if (address == kRegPoke && words.size() == 1 && (words[0] & 0xFFFFu) == 0) ++zeroPokes;
        if (address == kRegSeqControl && words == std::vector<uint32_t>{0x80000000u}) stopped = true;
    }
    demoCheck(ctx, "closed record", dm->State == nullptr && dm->ActCount == 0 && zeroPokes == kActuators && stopped,
              std::string("State ") + (dm->State ? "set" : "null") + ", " + std::to_string(zeroPokes) +
                  " actuators zeroed, sequencer " + (stopped ? "stopped" : "not stopped"));
}

KRVCTL_DEMO_STEP(20, "PCIe mirror on emulated cards", pcieMirror);

}  // namespace
}  // namespace krvctl
