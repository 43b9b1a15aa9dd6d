// Test fixtures for the PCIe back end: emulated cards in a temporary device folder and hand-filled records.
#include "PCIeTestSupport.h"

#include <KRV_PCIeAPI.h>
#include <pexlink.h>

#include <krv/platform/named_lock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace MirrorKit::PCIeTest {

namespace {
uint32_t encode(uint32_t value) { return (value << 7) ^ 0x1D5u; }

const std::string& lockName() {
    static const std::string name = "krv-pcie-test-" + std::to_string(getpid());
    return name;
}

// Every test process takes a card-access lock of its own, so parallel test runs never wait for each other.
class LockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("PEXLINK_LOCK_NAME", lockName().c_str(), 1);
        PEXCleanUp();
        ASSERT_EQ(PEXInit(), 0u);
    }
    void TearDown() override { platform::NamedLock::remove(lockName()); }
};
const auto* const lockEnvironment = ::testing::AddGlobalTestEnvironment(new LockEnvironment);
}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/krv-pcie-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Cards::Cards(int count, uint32_t revision) : Cards(std::vector<uint32_t>(static_cast<size_t>(count), revision)) {}

Cards::Cards(const std::vector<uint32_t>& revisions) {
    for (size_t i = 0; i < revisions.size(); ++i) {
        Emu::CardOptions options;
        options.revision = revisions[i];
        const std::string path = Emu::cardDevicePath(dir_.path(), static_cast<int>(i + 1));
        std::string error;
        if (!Emu::createCardImage(path, options, &error)) throw std::runtime_error("card image: " + error);
        auto card = Emu::Card::open(path, &error);
        if (!card) throw std::runtime_error("card open: " + error);
        cards_.push_back(std::move(card));
    }
    setenv("PEXLINK_DEVICE_DIR", dir_.path().c_str(), 1);
}

Cards::~Cards() { unsetenv("PEXLINK_DEVICE_DIR"); }

void Cards::clearLogs() {
    for (auto& card : cards_) card->clearLog();
}

uint64_t Cards::totalTransfers() const {
    uint64_t total = 0;
    for (const auto& card : cards_) total += card->transferCount();
    return total;
}

Record::Record(uint32_t actCount, const std::vector<UnitSetup>& units, const std::string& serial) {
    dm_.DriverType = KRV_PCIE;
    dm_.ActCount = actCount;
    dm_.MaxVoltage = encode(200);
    dm_.VoltageLimit = encode(200);
    dm_.InactiveActuators[0] = 0xFFFF;
    const std::string sn = serial.empty() ? freshSerial() : serial;
    std::snprintf(dm_.SerialNumber, sizeof dm_.SerialNumber, "%s", sn.c_str());
    dm_.ExtraDrivers = static_cast<DM_DRIVER*>(std::calloc(1, sizeof(DM_DRIVER)));
    dm_.DriverCount = static_cast<uint32_t>(units.size());
    for (size_t k = 0; k < units.size(); ++k) {
        DM_DRIVER& unit = k == 0 ? dm_.Driver : dm_.ExtraDrivers[k - 1];
        unit.HVAType = units[k].hva;
        unit.UseFiber = units[k].useFiber;
        unit.UseCL = units[k].useCL;
        unit.FiberMode = units[k].fiberMode;
    }
    dm_.HVAType = units[0].hva;
    dm_.UseFiber = units[0].useFiber;
    dm_.UseCL = units[0].useCL;
    dm_.FiberMode = units[0].fiberMode;
}

Record::~Record() {
    if (dm_.State) KRV_PCIeClose(&dm_);
    std::free(dm_.ExtraDrivers);
}

void Record::setMapFile(const std::string& path) {
    std::snprintf(dm_.MappingFile, sizeof dm_.MappingFile, "%s", path.c_str());
}

void Record::setInactive(const std::vector<uint32_t>& actuators) {
    size_t k = 0;
    for (; k < actuators.size(); ++k) dm_.InactiveActuators[k] = encode(actuators[k]);
    dm_.InactiveActuators[k] = 0xFFFF;
}

std::string freshSerial() {
    static std::atomic<unsigned> counter{0};
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "PX%04u%05u", static_cast<unsigned>(getpid() % 10000),
                  counter.fetch_add(1) % 100000);
    return buffer;
}

void writeMap(const std::string& path, const std::vector<uint32_t>& entries) {
    std::ofstream out(path);
    for (uint32_t e : entries) out << e << "\n";
}

std::vector<uint32_t> identityMap(uint32_t count) {
    std::vector<uint32_t> map(count);
    for (uint32_t i = 0; i < count; ++i) map[i] = i;
    return map;
}

void resetAutomaticCard(Cards& cards) {
    // A profile query picks the automatic card and moves the automatic number on without touching a card.
    const uint64_t before = cards.totalTransfers();
    for (int i = 0; i <= cards.count(); ++i) {
        Record probe(140);
        probe->DevId = KRV_DEV_ID_QUERY_PROFILE;
        ASSERT_EQ(KRV_PCIeOpenDM(probe.get()), ERR_NO_HW);
        if (probe->DevId == cards.count()) break;
    }
    ASSERT_EQ(cards.totalTransfers(), before);
}

std::vector<Emu::Transfer> transfersOf(const Emu::Card& card, uint32_t command) {
    std::vector<Emu::Transfer> out;
    for (auto& t : card.transfers()) {
        if (t.command == command) out.push_back(t);
    }
    return out;
}

std::vector<uint32_t> writesTo(const Emu::Card& card, uint32_t reg) {
    std::vector<uint32_t> out;
    for (auto& t : card.transfers()) {
        if (t.command == PEX_CMD_WRITE && t.address == reg && t.status == 0) {
            out.insert(out.end(), t.words.begin(), t.words.end());
        }
    }
    return out;
}

std::vector<Emu::Transfer> writesOf(const Emu::Card& card) {
    std::vector<Emu::Transfer> out;
    for (auto& t : card.transfers()) {
        if (t.command == PEX_CMD_WRITE || t.command == PEX_CMD_WRITE_BURST || t.command == PEX_CMD_WRITE_ALT) {
            out.push_back(t);
        }
    }
    return out;
}

}  // namespace MirrorKit::PCIeTest
