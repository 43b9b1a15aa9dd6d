// The USB back end against a scripted server: unit identification, channel blocks, failures and closing.
#include "KRV_USB.h"

#include "fake/FakeHostDrv.h"
#include "UsbCommon.h"
#include "krv/DMState.h"
#include "krv/Encoding.h"

#include <krv/platform/com.h>
#include <krv/platform/registry.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <thread>

namespace fake = MirrorKit::USB::fake;
using MirrorKit::encodeValue;
using MirrorKit::kInactiveTerminator;

namespace {

std::string gTempDir;

// A registry store of its own naming the scripted server as CHostDrv, and no open-loop library.
class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/krvusb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        gTempDir = pattern;
        setenv("KRV_REGISTRY_FILE", (gTempDir + "/registry.reg").c_str(), 1);
        setenv("KRV_OPENLOOP_LIBRARY", "libKRV_OpenLoop4_absent.so", 1);
        setenv("LOCALAPPDATA", gTempDir.c_str(), 1);
        namespace reg = MirrorKit::platform::registry;
        ASSERT_EQ(reg::setString(MirrorKit::com::classKey(CLSID_CHostDrv) + "\\InprocServer32", "",
                                 FAKE_HOSTDRV_PATH),
                  0);
    }
    void TearDown() override { std::filesystem::remove_all(gTempDir); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

// A USB record as the profile reader leaves it, closed by the back end when the test ends.
struct Record {
    std::unique_ptr<DM> dm = std::make_unique<DM>();

    explicit Record(uint32_t actuators, const char* serial = "", const char* serial2 = nullptr) {
        std::memset(dm.get(), 0, sizeof(DM));
        dm->DriverType = KRV_USB;
        dm->ActCount = actuators;
        dm->MaxVoltage = encodeValue(200);
        dm->VoltageLimit = encodeValue(200);
        dm->InactiveActuators[0] = kInactiveTerminator;
        std::strcpy(dm->SerialNumber, "MIRROR00001");
        dm->DriverCount = serial2 ? 2 : 1;
        dm->ExtraDrivers = static_cast<DM_DRIVER*>(std::calloc(1, sizeof(DM_DRIVER)));
        std::snprintf(dm->Driver.SerialNumber, sizeof dm->Driver.SerialNumber, "%s", serial);
        if (serial2) std::snprintf(dm->ExtraDrivers[0].SerialNumber, 12, "%s", serial2);
    }
    ~Record() { KRV_USBClose(dm.get()); }
    DM* operator->() const { return dm.get(); }
    DM* get() const { return dm.get(); }
    DMState& state() const { return *dm->State; }
    // Host-driver device indexes the back end keeps for the open record, in unit order.
    const std::vector<uint32_t>& devices() const {
        return static_cast<const MirrorKit::USB::UsbRecord*>(dm->State->BackendState)->DeviceIds;
    }
};

fake::Slot& unit(int device, const std::string& serial, LONG productId = 0x0ED8) {
    fake::Slot& s = fake::slot(device);
    s.present = true;
    s.serial = serial;
    s.productId = productId;
    return s;
}

std::vector<fake::Call> callsOf(const std::string& method) {
    std::vector<fake::Call> out;
    for (const fake::Call& c : fake::calls())
        if (c.method == method) out.push_back(c);
    return out;
}

std::vector<LONG> controlsTo(LONG device) {
    std::vector<LONG> out;
    for (const fake::Call& c : callsOf("Dravix_SetControl"))
        if (c.device == device) out.push_back(c.id);
    return out;
}

std::vector<uint16_t> codes(const fake::Call& frame) {
    std::vector<uint16_t> out(frame.data.size() / 2);
    std::memcpy(out.data(), frame.data.data(), frame.data.size());
    return out;
}

class UsbBackend : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    // Every record is closed by now, so the shared server must let go.
    void TearDown() override { EXPECT_EQ(KRV_USBReleaseHostDriver(), NO_ERR); }
};

TEST_F(UsbBackend, QueryProfileOpensNothing) {
    Record rec(140);
    rec->DevId = KRV_DEV_ID_QUERY_PROFILE;
    rec->Driver.ChannelCount = 99;
    EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_NO_HW);
    EXPECT_EQ(rec->Driver.ChannelCount, 0u);
    EXPECT_EQ(fake::objectsCreated(), 0);
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(UsbBackend, WithoutSerialNumberTheLowestSuitableDeviceIsTaken) {
    unit(1, "DU000000001").vendorId = 0x1234;  // not a drive unit
    unit(2, "").serialStatus = DRAVIX_INVALID;  // no serial-number block: still taken
    unit(4, "DU000000004");
    for (const char* serial : {"", "DU00\t000004"}) {  // a tab makes the number invalid: treated as none
        fake::reset();
        unit(1, "DU000000001").vendorId = 0x1234;
        unit(2, "").serialStatus = DRAVIX_INVALID;
        unit(4, "DU000000004");
        Record rec(140, serial);
        ASSERT_EQ(KRV_USBOpenDM(rec.get()), NO_ERR) << serial;
        EXPECT_EQ(rec->DevId, 2);
        EXPECT_EQ(rec->Driver.ChannelCount, 160u);
        EXPECT_EQ(rec.devices(), std::vector<uint32_t>({2}));
        EXPECT_EQ(rec.state().Map.size(), 160u);
        // Lines up in their fixed order; the scan stopped at the first suitable device.
        EXPECT_EQ(controlsTo(2), std::vector<LONG>({3, 2, 4}));
        for (const fake::Call& c : callsOf("Dravix_GetStatus")) EXPECT_LE(c.device, 2);
    }
}

TEST_F(UsbBackend, UnitsAreMatchedBySerialNumberInUnitOrder) {
    unit(0, "DU00000000X");
    unit(1, "DU00000000B");
    unit(2, "DU0000000-Y");
    unit(3, "DU00000000A");
    Record rec(280, "DU00000000A", "DU00000000B");
    ASSERT_EQ(KRV_USBOpenDM(rec.get()), NO_ERR);
    EXPECT_EQ(rec.devices(), std::vector<uint32_t>({3, 1}));
    EXPECT_EQ(rec->DevId, 3);  // the last match in scan order
    EXPECT_EQ(rec.state().Map.size(), 320u);
    EXPECT_EQ(rec->ExtraDrivers[0].ChannelCount, 160u);
}

TEST_F(UsbBackend, SecondUnitWithoutSerialNumberIsRefusedBeforeAnyDeviceIsAsked) {
    unit(0, "DU00000000A");
    unit(1, "DU00000000B");
    Record rec(280, "DU00000000A", "");
    EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_SERIAL_NUMBER);
    EXPECT_EQ(rec->State, nullptr);
    EXPECT_TRUE(callsOf("Dravix_GetStatus").empty());
    EXPECT_TRUE(callsOf("Dravix_SetControl").empty());
}

// Two units answering to one serial number: frames could reach either, so the open is refused and no unit is
// brought up. A profile naming one number for both of its units is refused the same way.
TEST_F(UsbBackend, TwoUnitsWithOneSerialNumberAreReportedAndNotOpened) {
    unit(0, "DU00000000A");
    unit(2, "DU00000000B");
    unit(3, "DU00000000A");
    {
        Record rec(140, "DU00000000A");
        EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_SERIAL_NUMBER);
        EXPECT_EQ(rec->State, nullptr);
        EXPECT_TRUE(callsOf("Dravix_SetControl").empty());
    }
    fake::reset();
    unit(0, "DU00000000A");
    unit(1, "DU00000000B");
    Record rec(280, "DU00000000A", "DU00000000A");
    EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_SERIAL_NUMBER);
    EXPECT_EQ(rec->State, nullptr);
    EXPECT_TRUE(callsOf("Dravix_SetControl").empty());
}

TEST_F(UsbBackend, ScanOutcomes) {
    struct Case {
        const char* what;
        LONG nameStatus0, serialStatus0;
        bool wantedPresent;
        KRVRC expected;
    } cases[] = {
        {"unit found", 0, 0, true, NO_ERR},
        {"nothing matches", 0, 0, false, ERR_NO_HW},
        {"vanished device is skipped", DRAVIX_NO_DEVICE, 0, true, NO_ERR},
        {"vanished device is remembered", DRAVIX_NO_DEVICE, 0, false, ERR_NO_HW},
        {"name read times out", DRAVIX_XFER_FAILED, 0, true, ERR_TIMEOUT},
        {"name read fails otherwise", DRAVIX_INVALID, 0, true, ERR_USB_OTHER},
        {"serial read times out, later match wins", 0, DRAVIX_XFER_FAILED, true, NO_ERR},
        {"serial read times out, nothing matches", 0, DRAVIX_XFER_FAILED, false, ERR_TIMEOUT},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::Slot& first = unit(0, "DU00000000X");
        first.nameStatus = c.nameStatus0;
        first.serialStatus = c.serialStatus0;
        unit(1, c.wantedPresent ? "DU00000000A" : "DU00000000Z");
        Record rec(140, "DU00000000A");
        EXPECT_EQ(KRV_USBOpenDM(rec.get()), c.expected) << c.what;
        if (c.expected == NO_ERR) {
            EXPECT_EQ(rec->DevId, 1) << c.what;
        } else {
            EXPECT_EQ(rec->State, nullptr) << c.what;
            if (c.expected == ERR_NO_HW || c.serialStatus0 < 0) {
                EXPECT_EQ(rec->ActCount, 0u) << c.what;
            }
        }
    }
}

TEST_F(UsbBackend, FailingServerCallsDuringOpenAreUnknownErrors) {
    for (const char* method : {"Dravix_GetAvailableDevices", "Dravix_GetStatus", "Dravix_SetControl"}) {
        fake::reset();
        unit(0, "DU00000000A");
        fake::failMethod(method, E_FAIL);
        Record rec(140, "DU00000000A");
        EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_UNKNOWN) << method;
        EXPECT_EQ(rec->State, nullptr) << method;
    }
}

TEST_F(UsbBackend, ThirtyTwoChannelUnitWithLargerProfileOpensInShortFrameMode) {
    unit(0, "DU00000000P", 0x0ED9);
    Record rec(140, "DU00000000P");
    ASSERT_EQ(KRV_USBOpenDM(rec.get()), NO_ERR);
    EXPECT_EQ(rec->Driver.ChannelCount, 32u);
    EXPECT_EQ(controlsTo(0), std::vector<LONG>({10, 3, 2, 4}));
    std::vector<uint32_t> values(140, 7);
    std::vector<uint32_t> map(32);
    std::iota(map.begin(), map.end(), 0u);
    ASSERT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), NO_ERR);
    ASSERT_EQ(callsOf("Dravix_StepFrameData").size(), 1u);
    EXPECT_EQ(callsOf("Dravix_StepFrameData")[0].data.size(), 64u);
}

class UsbFrames : public UsbBackend {
protected:
    void SetUp() override {
        UsbBackend::SetUp();
        unit(5, "DU00000000A");
    }
    // Opens a 140-actuator mirror on one 160-channel unit; values[a] = 1000 + a.
    void open(Record& rec) {
        ASSERT_EQ(KRV_USBOpenDM(rec.get()), NO_ERR);
        values.resize(140);
        for (uint32_t a = 0; a < 140; ++a) values[a] = 1000 + a;
    }
    std::vector<uint16_t> lastBlock() {
        const auto frames = callsOf("Dravix_StepFrameData");
        return frames.empty() ? std::vector<uint16_t>() : codes(frames.back());
    }
    std::vector<uint32_t> values;
};

TEST_F(UsbFrames, ZeroAndOneBasedMapsDriveTheSameChannels) {
    Record rec(140, "DU00000000A");
    open(rec);
    // Channel c carries actuator (7c mod 140); channels 140..159 have none.
    std::vector<uint32_t> zeroBased(160, MAX_DM_SIZE), oneBased(160, MAX_DM_SIZE);
    for (uint32_t c = 0; c < 140; ++c) {
        zeroBased[c] = (7 * c) % 140;
        oneBased[c] = zeroBased[c] + 1;
    }
    ASSERT_EQ(KRV_USBSetArray(rec.get(), values.data(), zeroBased.data()), NO_ERR);
    const std::vector<uint16_t> first = lastBlock();
    ASSERT_EQ(KRV_USBSetArray(rec.get(), values.data(), oneBased.data()), NO_ERR);
    const std::vector<uint16_t> second = lastBlock();
    ASSERT_EQ(first.size(), 160u);
    for (uint32_t c = 0; c < 160; ++c) EXPECT_EQ(first[c], c < 140 ? 1000 + (7 * c) % 140 : 0) << c;
    EXPECT_EQ(second, first);
    EXPECT_EQ(callsOf("Dravix_StepFrameData").back().device, 5);
}

TEST_F(UsbFrames, UnloadedMapSendsZerosInsteadOfActuatorZeroEverywhere) {
    Record rec(140, "DU00000000A");
    open(rec);
    ASSERT_EQ(KRV_USBSetArray(rec.get(), values.data(), nullptr), NO_ERR);  // State's map: all 4096
    EXPECT_EQ(lastBlock(), std::vector<uint16_t>(160, 0));
}

TEST_F(UsbFrames, InactiveActuatorIsSentAsZeroAndKeepsItsAppliedValue) {
    Record rec(140, "DU00000000A");
    rec->InactiveActuators[0] = encodeValue(5);
    rec->InactiveActuators[1] = kInactiveTerminator;
    open(rec);
    rec.state().AppliedFrame[5] = 4242;
    std::vector<uint32_t> map(160, MAX_DM_SIZE);
    std::iota(map.begin(), map.begin() + 140, 0u);
    ASSERT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), NO_ERR);
    const std::vector<uint16_t> block = lastBlock();
    EXPECT_EQ(block[4], 1004);
    EXPECT_EQ(block[5], 0);
    EXPECT_EQ(rec.state().AppliedFrame[5], 4242u);
    EXPECT_EQ(rec.state().AppliedFrame[6], 1006u);

    // A poke resends the applied frame itself.
    rec.state().AppliedFrame[6] = 77;
    ASSERT_EQ(KRV_USBSetArray(rec.get(), rec.state().AppliedFrame.data(), map.data()), NO_ERR);
    EXPECT_EQ(lastBlock()[6], 77);
    EXPECT_EQ(rec.state().AppliedFrame[6], 77u);
}

TEST_F(UsbFrames, EntryBeyondTheActuatorRangeFailsBeforeTheTransfer) {
    Record rec(140, "DU00000000A");
    open(rec);
    std::vector<uint32_t> map(160, 0);
    map[17] = 4100;
    EXPECT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), ERR_INVALID_LUT);
    EXPECT_TRUE(callsOf("Dravix_StepFrameData").empty());
    EXPECT_EQ(rec.state().AppliedFrame[0], 0u);
}

TEST_F(UsbFrames, TwoUnitsEachGetTheirHalfOfTheMap) {
    unit(2, "DU00000000B");
    Record rec(320, "DU00000000A", "DU00000000B");
    ASSERT_EQ(KRV_USBOpenDM(rec.get()), NO_ERR);
    std::vector<uint32_t> frame(320), map(320);
    for (uint32_t a = 0; a < 320; ++a) frame[a] = 3 * a;
    for (uint32_t c = 0; c < 320; ++c) map[c] = 319 - c;
    ASSERT_EQ(KRV_USBSetArray(rec.get(), frame.data(), map.data()), NO_ERR);
    const auto frames = callsOf("Dravix_StepFrameData");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].device, 5);
    EXPECT_EQ(frames[1].device, 2);
    const auto first = codes(frames[0]), second = codes(frames[1]);
    ASSERT_EQ(first.size(), 160u);
    ASSERT_EQ(second.size(), 160u);
    for (uint32_t c = 0; c < 160; ++c) {
        EXPECT_EQ(first[c], 3 * (319 - c));
        EXPECT_EQ(second[c], 3 * (159 - c));
    }
}

TEST_F(UsbFrames, TransferFailuresAreReportedAndLeaveTheAppliedFrame) {
    Record rec(140, "DU00000000A");
    open(rec);
    std::vector<uint32_t> map(160, MAX_DM_SIZE);
    std::iota(map.begin(), map.begin() + 140, 0u);
    fake::slot(5).frameStatus = DRAVIX_XFER_FAILED;
    EXPECT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), ERR_TIMEOUT);
    fake::slot(5).frameStatus = DRAVIX_INVALID;  // not an error for frames
    EXPECT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), NO_ERR);
    rec.state().AppliedFrame.assign(140, 0);
    fake::failMethod("Dravix_StepFrameData", E_FAIL);
    EXPECT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), ERR_UNKNOWN);
    EXPECT_EQ(KRV_USBClearArray(rec.get()), ERR_UNKNOWN);
    fake::failMethod("Dravix_StepFrameData", S_OK);
    fake::slot(5).frameStatus = DRAVIX_NO_DEVICE;
    EXPECT_EQ(KRV_USBSetArray(rec.get(), values.data(), map.data()), ERR_NO_HW);
    EXPECT_EQ(rec.state().AppliedFrame, std::vector<uint32_t>(140, 0));
}

TEST_F(UsbFrames, CloseSendsZerosThenSwitchesOffAndResetsTheRecord) {
    Record rec(140, "DU00000000A");
    open(rec);
    fake::reset();
    unit(5, "DU00000000A");
    EXPECT_EQ(KRV_USBClose(rec.get()), NO_ERR);
    const auto calls = fake::calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].method, "Dravix_StepFrameData");
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>(320, 0));
    EXPECT_EQ(calls[1].method, "Dravix_SetControl");
    EXPECT_EQ(calls[1].id, 5);
    // The unit is given back to other programs.
    EXPECT_EQ(calls[2].method, "Dravix_SetControl");
    EXPECT_EQ(calls[2].id, 12);
    EXPECT_EQ(rec->State, nullptr);
    EXPECT_EQ(rec->ExtraDrivers, nullptr);
    EXPECT_EQ(rec->ActCount, 0u);
    EXPECT_STREQ(rec->SerialNumber, "MIRROR00001");
}

TEST_F(UsbFrames, CloseEndsClosedWhenTheServerFails) {
    for (bool callFails : {true, false}) {
        Record rec(140, "DU00000000A");
        open(rec);
        if (callFails)
            fake::failMethod("Dravix_SetControl", E_FAIL);
        else
            fake::slot(5).present = false;  // unplugged: every answer is -1
        EXPECT_EQ(KRV_USBClose(rec.get()), callFails ? ERR_UNKNOWN : ERR_NO_HW);
        EXPECT_EQ(rec->State, nullptr);
        EXPECT_EQ(rec->ExtraDrivers, nullptr);
        EXPECT_EQ(rec->ActCount, 0u);
        fake::failMethod("Dravix_SetControl", S_OK);
        fake::slot(5).present = true;
    }
}

TEST_F(UsbBackend, InactiveActuatorOutsideTheMaskFailsTheOpenAndClosesTheUnit) {
    unit(0, "DU00000000A");
    Record rec(140, "DU00000000A");
    rec->InactiveActuators[0] = encodeValue(3);
    rec->InactiveActuators[1] = encodeValue(4096);
    rec->InactiveActuators[2] = kInactiveTerminator;
    EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_INIT_DRIVER);
    EXPECT_EQ(rec->State, nullptr);
    EXPECT_EQ(controlsTo(0), std::vector<LONG>({3, 2, 4, 5, 12}));
}

TEST_F(UsbBackend, UnitFailingToComeUpSwitchesTheUnitsBeforeItOffAgain) {
    unit(0, "DU00000000A");
    unit(1, "DU00000000B").controlFailure = E_FAIL;  // its lines cannot be set
    Record rec(280, "DU00000000A", "DU00000000B");
    EXPECT_EQ(KRV_USBOpenDM(rec.get()), ERR_UNKNOWN);
    EXPECT_EQ(rec->State, nullptr);
    EXPECT_EQ(controlsTo(0), std::vector<LONG>({3, 2, 4, 5, 12}));
    EXPECT_EQ(controlsTo(1), std::vector<LONG>({3, 12}));
}

TEST_F(UsbBackend, SerialNumberToolsReportStatuses) {
    unit(3, "DU00000000A");
    Record rec(140);
    rec->DevId = 3;
    EXPECT_EQ(MirrorKit::USB::ReadDriverSN(rec.get()), NO_ERR);
    EXPECT_STREQ(rec->Driver.SerialNumber, "DU00000000A");
    std::strcpy(rec->Driver.SerialNumber, "DU00000000C");
    EXPECT_EQ(MirrorKit::USB::WriteDriverSN(rec.get()), NO_ERR);
    EXPECT_EQ(fake::slot(3).serial, "DU00000000C");
    std::strcpy(rec->Driver.SerialNumber, "SHORT");
    EXPECT_EQ(MirrorKit::USB::WriteDriverSN(rec.get()), ERR_USB_OTHER);

    fake::slot(3).serialStatus = DRAVIX_XFER_FAILED;
    EXPECT_EQ(MirrorKit::USB::ReadDriverSN(rec.get()), ERR_TIMEOUT);
    rec->DevId = 4;
    EXPECT_EQ(MirrorKit::USB::ReadDriverSN(rec.get()), ERR_NO_HW);
    fake::failMethod("Dravix_SetControl", E_FAIL);
    EXPECT_EQ(MirrorKit::USB::WriteDriverSN(rec.get()), ERR_UNKNOWN);
}

TEST_F(UsbBackend, SharedServerIsKeptWhileARecordIsOpen) {
    unit(0, "DU00000000A");
    {
        Record rec(140);
        ASSERT_EQ(KRV_USBOpenDM(rec.get()), NO_ERR);
        EXPECT_EQ(KRV_USBReleaseHostDriver(), ERR_DRIVER_ALREADY_OPEN);
        EXPECT_EQ(fake::objectsAlive(), 1);
    }
    EXPECT_EQ(KRV_USBReleaseHostDriver(), NO_ERR);
    EXPECT_EQ(fake::objectsAlive(), 0);
}

TEST_F(UsbBackend, FirstOpensOnTwoThreadsShareOneServer) {
    unit(0, "DU00000000A");
    unit(1, "DU00000000B");
    Record a(140, "DU00000000A"), b(140, "DU00000000B");
    KRVRC rcA = ERR_UNKNOWN, rcB = ERR_UNKNOWN;
    std::thread ta([&] { rcA = KRV_USBOpenDM(a.get()); });
    std::thread tb([&] { rcB = KRV_USBOpenDM(b.get()); });
    ta.join();
    tb.join();
    EXPECT_EQ(rcA, NO_ERR);
    EXPECT_EQ(rcB, NO_ERR);
    EXPECT_EQ(fake::objectsCreated(), 1);
}

}  // namespace
