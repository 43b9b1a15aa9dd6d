// pexcard: makes emulated PCIe card images and shows what the cards hold.
#include "krv/emu/pexcard.h"

#include <pexlink.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace MirrorKit::Emu;

const char* kUsage =
    "usage: pexcard <command> ...\n"
    "Makes emulated PCIe interface cards (image files that the kit drives like cards) and shows what they hold.\n"
    "\n"
    "  create DIR [--count N] [--revision HEX] [--base HEX] [--driver-revision N]\n"
    "                           make card images DIR/PEXIO1..N (default 1 card, revision 0x20000600);\n"
    "                           DIR is created when missing; images are read-write for their user and\n"
    "                           group only (mode 0660) and take DIR's group when DIR is set-group-ID\n"
    "  regs CARD                registers and port addresses\n"
    "  lut CARD [--count N]     lookup table entries (default: all 4096)\n"
    "  frame CARD --actuators N frame memory decoded per actuator\n"
    "  seq CARD [--count N]     sequence memory words, decoded\n"
    "  dither CARD [--count N]  dither waveform and gains\n"
    "  fiber CARD [--last N]    commands sent over the fiber channel register\n"
    "  log CARD [--last N]      transfers the card served, oldest first\n"
    "  write CARD ADDRESS WORD...  one write transfer, as the driver would make it\n"
    "  reset CARD               back to power-on state (revision kept)\n"
    "  --help, --version\n"
    "CARD is the path of an image, or a card number in $PEXLINK_DEVICE_DIR (default /dev).\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal.\n"
    "\n"
    "Programs drive the images when PEXLINK_DEVICE_DIR names their folder, for example:\n"
    "  pexcard create /tmp/cards --count 2 && PEXLINK_DEVICE_DIR=/tmp/cards krvctl doctor\n";

bool parseNumber(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, uint64_t>> options;
    std::string error;

    uint64_t option(const std::string& name, uint64_t fallback) const {
        for (const auto& o : options)
            if (o.first == name) return o.second;
        return fallback;
    }
    bool has(const std::string& name) const {
        for (const auto& o : options)
            if (o.first == name) return true;
        return false;
    }
};

Args parse(int argc, char** argv, int first) {
    Args args;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) == 0) {
            uint64_t value = 0;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], &value)) {
                args.error = "option " + a + " needs a number";
                return args;
            }
            args.options.emplace_back(a.substr(2), value);
            ++i;
        } else {
            args.positional.push_back(a);
        }
    }
    return args;
}

std::string cardPath(const std::string& card) {
    uint64_t n = 0;
    if (parseNumber(card, &n) && card.find('/') == std::string::npos) {
        const char* dir = std::getenv("PEXLINK_DEVICE_DIR");
        return cardDevicePath(dir && *dir ? dir : "/dev", int(n));
    }
    return card;
}

std::unique_ptr<Card> openCard(const std::string& card) {
    std::string error;
    auto c = Card::open(cardPath(card), &error);
    if (!c) std::cerr << "pexcard: " << error << "\n";
    return c;
}

void printWords(const std::vector<uint32_t>& words, uint32_t first = 0) {
    for (size_t i = 0; i < words.size(); ++i) {
        if (i % 8 == 0) std::printf("%s%6zu:", i ? "\n" : "", i + first);
        std::printf(" %08X", words[i]);
    }
    if (!words.empty()) std::printf("\n");
}

int cmdCreate(const Args& a) {
    if (a.positional.size() != 1) return 2;
    CardOptions options;
    options.revision = uint32_t(a.option("revision", options.revision));
    options.baseAddress = a.option("base", options.baseAddress);
    options.driverRevision = uint32_t(a.option("driver-revision", options.driverRevision));
    int count = int(a.option("count", 1));
    if (count < 1 || count > 99) {
        std::cerr << "pexcard: --count must be 1 to 99\n";
        return 2;
    }
    std::string error;
    if (!createCards(a.positional[0], count, options, &error)) {
        std::cerr << "pexcard: " << error << "\n";
        return 1;
    }
    for (int n = 1; n <= count; ++n)
        std::printf("%s revision 0x%08X\n", cardDevicePath(a.positional[0], n).c_str(), options.revision);
    return 0;
}

int cmdRegs(const Card& c) {
    struct Row {
        const char* name;
        uint32_t index;
    };
    static const Row rows[] = {
        {"REVISION", Reg::Revision},        {"HVA_CONFIG", Reg::HvaConfig},     {"POKE", Reg::Poke},
        {"LUT (port)", Reg::Lut},           {"ORIENTATION", Reg::Orientation}, {"DITHER_PERIOD", Reg::DitherPeriod},
        {"DITHER_WAVEFORM (port)", Reg::DitherWaveform},                      {"DITHER_GAINS (port)", Reg::DitherGains},
        {"FIBER_CHANNEL", Reg::FiberChannel}, {"SEQ_PERIOD", Reg::SeqPeriod},  {"SEQ_CONTROL", Reg::SeqControl},
        {"SEQ_MEMORY (port)", Reg::SeqMemory}, {"SEQ_DELAY", Reg::SeqDelay},   {"SYNC_ACTUATOR", Reg::SyncActuator},
        {"SYNC_CONTROL", Reg::SyncControl}, {"SYNC_WIDTH", Reg::SyncWidth},
    };
    for (const Row& r : rows) {
        std::printf("%-24s %2u  0x%08X", r.name, r.index, c.reg(r.index));
        if (c.portOverflow(r.index)) std::printf("  (%u words past the end)", c.portOverflow(r.index));
        std::printf("\n");
    }
    const uint32_t hva = c.reg(Reg::HvaConfig);
    std::printf("HVA config: type %u, CameraLink %u, fiber %u, fiber mode %u, high-res %u, length %u\n", hva & 0x1F,
                (hva >> 5) & 1, (hva >> 6) & 1, (hva >> 7) & 1, (hva >> 9) & 1, hva >> 16);
    std::printf("sequence memory %u words, base address 0x%llX, driver revision %u, %llu transfers\n",
                c.sequenceCapacity(), static_cast<unsigned long long>(c.baseAddress()), c.driverRevision(),
                static_cast<unsigned long long>(c.transferCount()));
    return 0;
}

int cmdLut(const Card& c, const Args& a) {
    std::vector<uint32_t> table = c.lut();
    table.resize(size_t(std::min<uint64_t>(a.option("count", kLutEntries), kLutEntries)));
    printWords(table);
    return 0;
}

int cmdFrame(const Card& c, const Args& a) {
    if (!a.has("actuators")) {
        std::cerr << "pexcard: frame needs --actuators N\n";
        return 2;
    }
    auto values = c.frameActuators(uint32_t(a.option("actuators", 0)));
    for (size_t i = 0; i < values.size(); ++i) {
        if (i % 8 == 0) std::printf("%s%6zu:", i ? "\n" : "", i);
        std::printf(" %5u", values[i]);
    }
    if (!values.empty()) std::printf("\n");
    return 0;
}

int cmdSeq(const Card& c, const Args& a) {
    uint32_t count = uint32_t(a.option("count", c.portIndex(Reg::SeqMemory) ? c.portIndex(Reg::SeqMemory) : 16));
    auto words = c.sequenceMemory(count);
    for (size_t i = 0; i < words.size(); ++i) {
        uint32_t w = words[i];
        std::printf("%6zu: %08X  value %5u  position %4u%s%s\n", i, w, w & 0xFFFF, (w >> 16) & 0xFFF,
                    (w & 0x10000000u) ? "  frame end" : "", (w & 0x20000000u) ? "  sequence end" : "");
    }
    return 0;
}

int cmdLog(const Card& c, const Args& a) {
    auto log = c.transfers();
    size_t last = size_t(a.option("last", log.size()));
    size_t first = log.size() > last ? log.size() - last : 0;
    for (size_t i = first; i < log.size(); ++i) {
        const Transfer& t = log[i];
        std::printf("#%llu pid %d cmd 0x%03X addr %u count %u status 0x%X", static_cast<unsigned long long>(t.sequence),
                    t.pid, t.command, t.address, t.count, t.status);
        if (!t.wordsKept) std::printf(" (words no longer kept)");
        for (size_t k = 0; k < t.words.size() && k < 8; ++k) std::printf(" %08X", t.words[k]);
        if (t.words.size() > 8) std::printf(" ...");
        std::printf("\n");
    }
    return 0;
}

int cmdWrite(Card& c, const Args& a) {
    if (a.positional.size() < 3) return 2;
    uint64_t address = 0;
    std::vector<uint32_t> words;
    if (!parseNumber(a.positional[1], &address)) return 2;
    for (size_t i = 2; i < a.positional.size(); ++i) {
        uint64_t w = 0;
        if (!parseNumber(a.positional[i], &w) || w > 0xFFFFFFFFu) return 2;
        words.push_back(uint32_t(w));
    }
    PexRequest request{uint32_t(address), 0, uint64_t(uintptr_t(words.data())), uint32_t(words.size()), PEX_CMD_WRITE};
    PexReply reply{};
    uint32_t returned = 0, error = 0;
    if (!c.control(IOCTL_PEX_TRANSFER, &request, sizeof request, &reply, sizeof reply, &returned, &error)) {
        std::cerr << "pexcard: transfer failed, system error " << error << "\n";
        return 1;
    }
    if (reply.Status != 0) {
        std::cerr << "pexcard: the card answered status 0x" << std::hex << reply.Status << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("pexcard (MirrorKit) %s\n", KRV_VERSION);
        return 0;
    }
    const std::string command = argv[1];
    Args args = parse(argc, argv, 2);
    if (!args.error.empty()) {
        std::cerr << "pexcard: " << args.error << "\n";
        return 2;
    }
    int rc = 2;
    if (command == "create") {
        rc = cmdCreate(args);
    } else if (!args.positional.empty()) {
        auto card = openCard(args.positional[0]);
        if (!card) return 1;
        if (command == "regs") rc = cmdRegs(*card);
        else if (command == "lut") rc = cmdLut(*card, args);
        else if (command == "frame") rc = cmdFrame(*card, args);
        else if (command == "seq") rc = cmdSeq(*card, args);
        else if (command == "dither") {
            uint32_t n = uint32_t(args.option("count", 16));
            std::printf("waveform:\n");
            printWords(card->ditherWaveform(n));
            std::printf("gains:\n");
            printWords(card->ditherGains(n));
            rc = 0;
        } else if (command == "fiber") {
            auto all = card->fiberCommands();
            size_t last = size_t(args.option("last", all.size()));
            size_t first = all.size() > last ? all.size() - last : 0;
            printWords(std::vector<uint32_t>(all.begin() + long(first), all.end()), uint32_t(first));
            std::printf("%llu fiber commands in all\n", static_cast<unsigned long long>(card->fiberCommandCount()));
            rc = 0;
        } else if (command == "log") rc = cmdLog(*card, args);
        else if (command == "write") rc = cmdWrite(*card, args);
        else if (command == "reset") { card->reset(); rc = 0; }
    }
    if (rc == 2) std::fputs(kUsage, stderr);
    return rc;
}
