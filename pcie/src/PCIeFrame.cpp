// Frame output on PCIe cards: bursts, pokes, clear, lookup tables, orientation, sync, mode read-back, close.
#include "PCIeCards.h"

#include <KRV_PCIeAPI.h>

#include "krv/Encoding.h"

#include <krv/platform/timing.h>

#include <bitset>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace MirrorKit::PCIe {

namespace {

// Checks a card's link configuration against one unit of the record and gives the highest channel number its
// link can address. Reads one register; writes nothing.
KRVRC cardChannelLimit(const DM& dm, const DM_DRIVER& unit, uint32_t card, uint32_t& limit) {
    uint32_t word = 0;
    if (readReg(card, REG_HVA_CONFIG, word) != 0) return ERR_PCIE_REGRD;

    // A card whose link configuration does not describe this mirror would route the table to the wrong
    // amplifier channels; older firmware does not keep the word in a comparable form.
    if (unit.HWRev >= kRevCurrentTypeCoding && !hvaConfigMatches(dm, unit, word)) {
        KRV_LOG_ERROR(logger(), "HVA Type: \t" << (word & kHvaTypeMask) << " (driver: " << unit.HVAType << ")"
                                              << "\n\tUse CL: \t" << ((word & kHvaUseCL) ? 1 : 0) << " (driver: "
                                              << (unit.UseCL ? 1 : 0) << ")"
                                              << "\n\tUse Fiber: \t" << ((word & kHvaUseFiber) ? 1 : 0)
                                              << " (driver: " << (unit.UseFiber ? 1 : 0) << ")"
                                              << "\n\tFiber Mode: \t" << ((word & kHvaFiberMode) ? 1 : 0)
                                              << " (driver: " << (unit.FiberMode ? 1 : 0) << ")"
                                              << "\n\tHVA Length: \t" << hvaLength(word) << " (DM: " << dm.ActCount
                                              << ")");
        return ERR_INVALID_DRIVER_TYPE;
    }

    limit = unit.ChannelCount;
    if (cardIds(*dm.State).size() > 1) {
        limit = 4096;
    } else if (word & kHvaUseCL) {
        limit = 256;
    } else if (word & kHvaUseFiber) {
        limit = (word & kHvaFiberMode) ? 4096 : 1024;
    }
    return NO_ERR;
}

// The 4096 entries of one card's table: channel by actuator relative to the unit's first channel; no channel for
// disabled actuators, for channels of the other unit and past the last actuator. ERR_INVALID_LUT for an entry the
// link cannot address.
KRVRC buildCardTable(const DM& dm, const DM_DRIVER& unit, uint32_t limit, uint32_t offset, const uint32_t* map,
                     const uint32_t* enable, std::vector<uint32_t>& table) {
    table.assign(kLutEntries, kNoChannel);
    for (uint32_t i = 0; i < dm.ActCount; ++i) {
        // An actuator the map leaves without a channel gets none on any card.
        if (enable[i] == 0 || map[i] == MAX_DM_SIZE) continue;
        // The second unit's channels are counted from the end of the first unit's.
        uint32_t entry = offset == 0 ? map[i] : (map[i] >= offset ? map[i] - offset : MAX_DM_SIZE);
        if (entry > limit) {
            KRV_LOG_ERROR(logger(), "Actuator " << i << " is mapped to channel " << map[i] << ", beyond the "
                                                << limit << " channels the link addresses; no table was written.");
            return ERR_INVALID_LUT;
        }
        // Channels of the other unit have no channel on this card.
        if (entry >= unit.ChannelCount) entry = kNoChannel;
        table[i] = entry;
    }
    return NO_ERR;
}

// One card's table as register writes. The card resets the table's address on 0x80000000, so the table is
// framed by two resets; a table load also sets the orientation back to 0.
KRVRC writeCardTable(uint32_t card, const std::vector<uint32_t>& table) {
    if (writeReg(card, REG_LUT, kPortReset) != 0) return ERR_PCIE_REGWR;
    for (uint32_t entry : table) {
        if (writeReg(card, REG_LUT, entry) != 0) return ERR_PCIE_REGWR;
    }
    if (writeReg(card, REG_LUT, kPortReset) != 0) return ERR_PCIE_REGWR;
    if (writeReg(card, REG_ORIENTATION, 0) != 0) return ERR_PCIE_REGWR;
    return NO_ERR;
}

KRVRC setArray(DM* dm, const uint32_t* values);

}  // namespace

KRVRC loadCardTables(DM* dm, const uint32_t* map, uint32_t* enable) {
    DMState& state = *dm->State;
    const uint32_t n = dm->ActCount;

    std::bitset<MAX_DM_SIZE> active;
    active.set();
    for (uint32_t k = 0; k < MAX_DM_SIZE && dm->InactiveActuators[k] != kInactiveTerminator; ++k) {
        const uint32_t a = decodeValue(dm->InactiveActuators[k]);
        if (a < MAX_DM_SIZE && a < n) {
            enable[a] = 0;
            active.reset(a);
        }
    }

    // Every table is built and checked against its card before the first entry is written.
    std::vector<std::vector<uint32_t>> tables(cardIds(state).size());
    uint32_t offset = 0;
    for (size_t k = 0; k < cardIds(state).size(); ++k) {
        const DM_DRIVER& unit = driverUnit(*dm, static_cast<uint32_t>(k));
        uint32_t limit = 0;
        if (const KRVRC rc = cardChannelLimit(*dm, unit, cardIds(state)[k], limit); rc != NO_ERR) return rc;
        if (const KRVRC rc = buildCardTable(*dm, unit, limit, offset, map, enable, tables[k]); rc != NO_ERR)
            return rc;
        offset += unit.ChannelCount;
    }

    for (size_t k = 0; k < cardIds(state).size(); ++k) {
        const KRVRC rc = writeCardTable(cardIds(state)[k], tables[k]);
        if (rc == NO_ERR) continue;
        // The card now routes some actuators the old way and some the new way. A frame of zeros holds every
        // actuator at 0 whatever its routing, so no channel keeps a value meant for another.
        KRV_LOG_ERROR(logger(), "Lookup table load failed part way on card " << cardIds(state)[k]
                                                                             << "; setting every output to 0.");
        const std::vector<uint32_t> zeros(n, 0u);
        if (setArray(dm, zeros.data()) != NO_ERR)
            KRV_LOG_ERROR(logger(), "Outputs could not be set to 0 after the failed table load.");
        return rc;
    }
    state.ActiveMask = active;
    return NO_ERR;
}

namespace {

KRVRC writeLUT(DM* dm, uint32_t* map, uint32_t* enable) {
    if (map == nullptr) map = dm->State->Map.data();
    // Without a table every actuator is driven; the caller then has nothing to receive the inactive ones.
    std::vector<uint32_t> allEnabled;
    if (enable == nullptr) {
        allEnabled.assign(kLutEntries, 1u);
        enable = allEnabled.data();
    }
    return loadCardTables(dm, map, enable);
}

KRVRC setArray(DM* dm, const uint32_t* values) {
    DMState& state = *dm->State;
    const uint32_t n = dm->ActCount;
    PCIeRecord* record = pcieRecord(state);
    const std::vector<uint32_t>& cards = cardIds(state);
    const uint32_t words = (n + 1) / 2;
    if (record != nullptr && record->PairBuffer.size() < words) record->PairBuffer.resize(words, 0);
    uint32_t* pairs = record != nullptr ? record->PairBuffer.data() : nullptr;
    // A code above 16 bits has no place in a frame word; cutting it would send another command than asked.
    uint32_t widest = 0;
    for (uint32_t i = 0; i < n; ++i) widest |= values[i];
    if (widest > 0xFFFFu) {
        KRV_LOG_ERROR(logger(), "Frame refused: a driver code is above 65535.");
        return ERR_BADARG;
    }
    if (pairs != nullptr) {
        for (uint32_t i = 0; i + 1 < n; i += 2) pairs[i / 2] = values[i] | (values[i + 1] << 16);
        if (n % 2 != 0) pairs[n / 2] = (pairs[n / 2] & 0xFFFF0000u) | (values[n - 1] & 0xFFFFu);
    }

    for (uint32_t card : cards) {
        if (n <= kSingleBurstLimit) {
            if (writeBurst(card, FRAME_MEMORY, words, pairs) != 0) return ERR_PCIE_BURST;
        } else {
            // The card cannot take a frame of more than 2040 actuators in one burst; it needs a pause between
            // the two halves.
            const uint32_t half = n / 4;
            if (writeBurst(card, FRAME_MEMORY, half, pairs) != 0) return ERR_PCIE_BURST;
            Sleep_us(kSplitBurstPauseUs);
            if (writeBurst(card, FRAME_MEMORY + half, words - half, pairs + half) != 0) return ERR_PCIE_BURST;
        }
    }

    if (values != state.AppliedFrame.data()) {
        for (uint32_t i = 0; i < n; ++i) {
            if (state.ActiveMask.test(i)) state.AppliedFrame[i] = values[i];
        }
    }
    return NO_ERR;
}

KRVRC poke(DM* dm, uint32_t actuator, uint32_t value) {
    if (actuator >= dm->ActCount) return ERR_ACTUATOR_ID;
    if (value > 0xFFFFu) return ERR_BADARG;
    DMState& state = *dm->State;
    if (writeEveryCard(state, REG_POKE, (actuator << 16) | value) != 0) return ERR_PCIE_REGWR;
    if (state.ActiveMask.test(actuator)) state.AppliedFrame[actuator] = value;
    return NO_ERR;
}

KRVRC clearArray(DM* dm) {
    DMState& state = *dm->State;
    for (uint32_t i = 0; i < dm->ActCount; ++i) {
        if (writeEveryCard(state, REG_POKE, i << 16) != 0) return ERR_PCIE_REGWR;
        if (state.ActiveMask.test(i)) state.AppliedFrame[i] = 0;
    }
    return NO_ERR;
}

KRVRC setSync(DM* dm, uint32_t actuator, double widthUs) {
    if (!(widthUs >= 0.0 && widthUs <= 700.0)) return ERR_PULSE_RANGE;
    if (actuator >= dm->ActCount) return ERR_ACTUATOR_ID;
    const DMState& state = *dm->State;
    if (widthUs > 0.0) {
        // The width register counts ticks of 12^-9 s, unlike the 16 ns ticks of the other timing registers.
        const double ticks = widthUs * 1e-6 / std::pow(12.0, -9.0);
        if (writeEveryCard(state, REG_SYNC_WIDTH, static_cast<uint32_t>(std::lround(ticks))) != 0) {
            return ERR_PCIE_REGWR;
        }
        if (writeEveryCard(state, REG_SYNC_ACTUATOR, actuator << 16) != 0) return ERR_PCIE_REGWR;
        if (writeEveryCard(state, REG_SYNC_CONTROL, 0x80000001u) != 0) return ERR_PCIE_REGWR;
    } else {
        if (writeEveryCard(state, REG_SYNC_ACTUATOR, actuator << 16) != 0) return ERR_PCIE_REGWR;
        if (writeEveryCard(state, REG_SYNC_CONTROL, 1u) != 0) return ERR_PCIE_REGWR;
    }
    return NO_ERR;
}

// Steps of a close that talk to the cards; failures are logged and never stop the close.
void quietCards(DM* dm) {
    auto log = logger();
    DMState& state = *dm->State;
    KRV_PCIeClearArray(dm);

    for (size_t k = 0; k < cardIds(state).size(); ++k) {
        const DM_DRIVER& unit = driverUnit(*dm, static_cast<uint32_t>(k));
        if (!unit.UseFiber || unit.FiberMode || unit.ChannelCount == 0) continue;
        uint32_t rc = 0;
        for (uint32_t j = 0; j < unit.ChannelCount; ++j) {
            const uint32_t address = 0x04000000u + j * 0x10000u;
            writeReg(cardIds(state)[k], REG_FIBER_CHANNEL, address | 0x80000000u);
            rc = writeReg(cardIds(state)[k], REG_FIBER_CHANNEL, address | 0xC0000000u);
        }
        if (rc != 0) KRV_LOG_ERROR(log, "Error " << rc << " in HVA Setup.");
    }

    for (uint32_t card : cardIds(state)) {
        uint32_t word = 0;
        if (readReg(card, REG_HVA_CONFIG, word) != 0 || (word & kHvaHighRes) == 0) continue;
        if (const uint32_t rc = writeReg(card, REG_HVA_CONFIG, word & ~kHvaHighRes); rc != 0) {
            KRV_LOG_ERROR(log, "Error " << rc
                                        << " disabling High-Res Mode:  the hardware may continue sending commands.");
        }
    }

    if (writeEveryCard(state, REG_SEQ_PERIOD, 0) == 0) writeEveryCard(state, REG_SEQ_CONTROL, kPortReset);
    writeEveryCard(state, REG_DITHER_PERIOD, 0);
}

// The unit array is allocated by the profile reader with calloc.
void releaseExtraDrivers(DM& dm) {
    std::free(dm.ExtraDrivers);
    dm.ExtraDrivers = nullptr;
}

void releaseRecord(DM* dm) {
    if (dm->State != nullptr) {
        destroyDMState(dm->State);
        dm->State = nullptr;
    }
    dm->ActCount = 0;
    dm->DriverType = static_cast<DRVTYPE>(0);
    dm->DevId = 0;
    dm->MaxVoltage = 0;
    dm->Driver.ChannelCount = 0;
    std::memset(dm->MappingFile, 0, sizeof dm->MappingFile);
    releaseExtraDrivers(*dm);
}

}  // namespace
}  // namespace MirrorKit::PCIe

using namespace MirrorKit;
using namespace MirrorKit::PCIe;

extern "C" KRVAPI KRVRC KRV_PCIeSetArray(DM* dm, const uint32_t* values) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    if (values == nullptr) return ERR_BADARG;
    return guarded("KRV_PCIeSetArray", ERR_UNKNOWN, [&] { return setArray(dm, values); });
}

extern "C" KRVAPI int32_t toBurstArray(const uint32_t* src, uint32_t count, uint16_t* dst) {
    if (src == nullptr || dst == nullptr) return 0;
    for (uint32_t i = 0; i < count; ++i) dst[i] = static_cast<uint16_t>(src[i] & 0xFFFFu);
    return 0;
}

extern "C" KRVAPI KRVRC KRV_PCIePoke(DM* dm, uint32_t actuator, uint32_t value) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIePoke", ERR_UNKNOWN, [&] { return poke(dm, actuator, value); });
}

extern "C" KRVAPI KRVRC KRV_PCIeClearArray(DM* dm) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeClearArray", ERR_UNKNOWN, [&] { return clearArray(dm); });
}

extern "C" KRVAPI KRVRC KRV_PCIeWriteLUT(DM* dm, uint32_t* map, uint32_t* actuatorEnable) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeWriteLUT", ERR_UNKNOWN, [&] { return writeLUT(dm, map, actuatorEnable); });
}

extern "C" KRVAPI KRVRC KRV_PCIeSetOrientation(DM* dm, uint32_t orientation) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeSetOrientation", ERR_UNKNOWN, [&] {
        return writeEveryCard(*dm->State, REG_ORIENTATION, orientation) != 0 ? ERR_PCIE_REGWR : NO_ERR;
    });
}

extern "C" KRVAPI KRVRC KRV_PCIeSetSync(DM* dm, uint32_t actuator, double widthUs) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeSetSync", ERR_UNKNOWN, [&] { return setSync(dm, actuator, widthUs); });
}

extern "C" KRVAPI KRVRC KRV_PCIeGetMode(DM* dm, uint32_t* mode) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    if (mode == nullptr) return ERR_BADARG;
    if (cardIds(*dm->State).empty()) return ERR_PCIE_REGRD;
    uint32_t word = 0;
    if (readReg(cardIds(*dm->State).front(), REG_HVA_CONFIG, word) != 0) return ERR_PCIE_REGRD;
    mode[0] = hvaLength(word);
    mode[1] = 0;
    mode[2] = (word & kHvaFiberMode) ? 1 : 0;
    mode[3] = (word & kHvaUseFiber) ? 1 : 0;
    mode[4] = (word & kHvaUseCL) ? 1 : 0;
    mode[5] = word & kHvaTypeMask;
    return NO_ERR;
}

extern "C" KRVAPI KRVRC KRV_PCIeClose(DM* dm) {
    if (dm == nullptr) return NO_ERR;
    if (dm->State != nullptr) {
        guarded("KRV_PCIeClose", NO_ERR, [&] {
            quietCards(dm);
            // The calibration object belongs to the open-loop library, which alone may free it.
            if (dm->State->CalibrationDelete != nullptr) dm->State->CalibrationDelete(dm);
            return NO_ERR;
        });
    }
    releaseRecord(dm);
    return NO_ERR;
}

extern "C" KRVAPI void Sleep_us(int32_t microseconds) {
    // A busy wait: the pause between the halves of a split frame is far below the scheduler's granularity.
    const int64_t start = platform::perfCounter();
    const int64_t frequency = platform::perfFrequency();
    if (frequency <= 0) {
        KRV_LOG_ERROR(Log::util(), "QueryPerformanceFrequency failed.");
        return;
    }
    const auto wait = static_cast<int64_t>(microseconds / 1e6 * static_cast<double>(frequency));
    while (platform::perfCounter() - start < wait) {
    }
}
