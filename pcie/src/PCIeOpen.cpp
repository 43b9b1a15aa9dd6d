// Opening a mirror on PCIe cards: card selection, firmware checks, link set-up, default map, fiber channels.
#include "PCIeCards.h"

#include <KRV_PCIeAPI.h>

#include "krv/KRVApiImpl.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace MirrorKit::PCIe {
namespace {

// Card bookkeeping shared by every open in the process. OpenLock keeps the card choice, NextDevId and
// OpenedDevIds consistent when several threads open mirrors at once.
struct OpenBookkeeping {
    std::mutex OpenLock;
    uint32_t NextDevId = 1;
    // Card number of the last successful open of each serial number; never forgotten, not even on close.
    std::map<std::string, uint32_t> OpenedDevIds;
};

OpenBookkeeping& bookkeeping() {
    static OpenBookkeeping instance;
    return instance;
}

// Automatic card numbers run 1, 2, ..., n, 1, ... over the installed cards.
void advance(uint32_t& next, uint32_t cards) { next = (next % cards) + 1; }

uint32_t channelCountFor(uint32_t actuatorsPerUnit) {
    if (actuatorsPerUnit <= 140) return 140;
    if (actuatorsPerUnit <= 1024) return 1024;
    return 4096;
}

void warnLinkChoice(const DM_DRIVER& unit) {
    auto log = logger();
    if (!unit.UseCL && !unit.UseFiber) {
        KRV_LOG_WARN(log, "Fiber or CameraLink mode not selected. No data will be sent to the driver. Check DM "
                          "profile.");
    } else if (unit.UseCL && !unit.UseFiber && unit.FiberMode) {
        KRV_LOG_WARN(log, "Fiber mode selected when using CameraLink. It will be ignored. Check DM profile.");
    } else if (unit.UseCL && unit.UseFiber) {
        KRV_LOG_WARN(log, "Both fiber and CameraLink mode are selected. This may lead to unexpected behavior. "
                          "Check DM profile.");
    }
    if (unit.HVAType == 0 && !unit.UseCL) {
        KRV_LOG_WARN(log, "CameraLink not enabled for AMPCL. This may lead to unexpected behavior. Check DM "
                          "profile.");
    } else if (unit.HVAType == 1 && unit.FiberMode) {
        KRV_LOG_WARN(log, "ZETA fiber mode enabled for AMPFX. This may lead to unexpected behavior. Check DM "
                          "profile.");
    } else if (unit.HVAType >= 2 && (!unit.FiberMode || !unit.UseFiber)) {
        KRV_LOG_WARN(log, "ZETA fiber mode not enabled for ZETA Driver. This may lead to unexpected behavior. "
                          "Check DM profile.");
    }
}

// Fiber-linked units without the ZETA protocol need every channel addressed once before they take data.
bool needsFiberChannelCommands(const DM_DRIVER& unit) {
    return unit.UseFiber && !unit.FiberMode && unit.ChannelCount != 0;
}

KRVRC openLocked(DM* dm) {
    auto log = logger();
    dm->Driver.ChannelCount = 0;
    dm->State = nullptr;

    // The lookup table, the active set and the per-actuator buffers have room for MAX_DM_SIZE actuators.
    if (dm->ActCount > MAX_DM_SIZE) {
        KRV_LOG_ERROR(log, "Invalid actuator count " << dm->ActCount << " for a PCIe DM.");
        return ERR_INVALID_ACTUATOR_COUNT;
    }

    int16_t counted = 0;
    cardCount(counted);
    if (counted < 1) {
        KRV_LOG_WARN(log, "No PCIe DM devices were found.");
        return ERR_NO_HW;
    }
    const uint32_t cards = static_cast<uint32_t>(counted);
    KRV_LOG_DEBUG(log, cards << " KRV PCIe cards installed.");

    const uint32_t units = unitCount(*dm);
    if (cards < units) {
        KRV_LOG_WARN(log, "Not enough PCIe devices were found for DM.");
        return ERR_NO_HW;
    }

    OpenBookkeeping& book = bookkeeping();
    const int32_t requested = dm->DevId;
    const std::string serial(dm->SerialNumber, strnlen(dm->SerialNumber, sizeof dm->SerialNumber));
    uint32_t first = 0;
    if (requested >= 1 && static_cast<uint32_t>(requested) <= cards) {
        KRV_LOG_DEBUG(log, "Using specified devId: " << requested);
        first = static_cast<uint32_t>(requested);
        if (first == book.NextDevId) {
            LOG4CXX_TRACE(log, "Incrementing automatic next devId to skip specified value.");
            advance(book.NextDevId, cards);
        }
    } else if (auto known = book.OpenedDevIds.find(serial); known != book.OpenedDevIds.end()) {
        KRV_LOG_DEBUG(log, "Using previously opened devId: " << known->second);
        first = known->second;
    } else {
        KRV_LOG_DEBUG(log, "Using automatic devId: " << book.NextDevId);
        first = book.NextDevId;
        advance(book.NextDevId, cards);
    }

    dm->DevId = static_cast<int32_t>(first);
    if (requested == KRV_DEV_ID_QUERY_PROFILE) return ERR_NO_HW;

    std::vector<uint32_t> cardIds;
    for (uint32_t k = 0; k < units; ++k) {
        if (first + k > cards) {
            KRV_LOG_WARN(log, "Not enough PCIe devices were found for DM.");
            return ERR_NO_HW;
        }
        cardIds.push_back(first + k);
    }

    const uint32_t perUnit = dm->ActCount / units;
    for (uint32_t k = 0; k < units; ++k) {
        DM_DRIVER& unit = driverUnit(*dm, k);
        const uint32_t card = cardIds[k];
        if (const uint32_t rc = readReg(card, REG_REVISION, unit.HWRev); rc != 0) {
            logTransferFailure(rc, "reading the firmware revision of card " + std::to_string(card));
            dm->ActCount = 0;
            return ERR_PCIE_REGRD;
        }
        if (log->isInfoEnabled()) {
            // Formatted apart: a hex manipulator would stay on the logger's reused message stream.
            char revision[16];
            std::snprintf(revision, sizeof revision, "%x", unit.HWRev);
            KRV_LOG_INFO(log, "PCIe HW Rev: " << revision);
        }
        if ((unit.HWRev >> 16) != kRevisionFamily) {
            dm->ActCount = 0;
            return ERR_INVALID_DRIVER_TYPE;
        }
        warnLinkChoice(unit);

        const uint32_t word = hvaConfigWord(*dm, unit, unit.HWRev);
        KRV_LOG_DEBUG(log, "HVA Type: \t" << (word & kHvaTypeMask) << "\n\tUse CL: \t" << (unit.UseCL ? 1 : 0)
                                          << "\n\tUse Fiber: \t" << (unit.UseFiber ? 1 : 0) << "\n\tFiber Mode: \t"
                                          << (unit.FiberMode ? 1 : 0) << "\n\tHVA Length: \t" << dm->ActCount);
        if (const uint32_t rc = writeReg(card, REG_HVA_CONFIG, word); rc != 0) {
            KRV_LOG_ERROR(log, "Error " << rc << " in HVA Setup.");
            dm->ActCount = 0;
            return ERR_PCIE_REGWR;
        }
        unit.ChannelCount = channelCountFor(perUnit);
    }

    // From here on a failure must go through KRV_PCIeClose, which frees the state and clears the record.
    dm->State = createDMState(*dm);
    DMState& state = *dm->State;
    auto record = std::make_unique<PCIeRecord>();
    record->CardIds = cardIds;
    record->PairBuffer.assign((dm->ActCount + 1) / 2, 0);
    attachRecord(state, std::move(record));
    state.SequenceCapacity = 65536;
    for (uint32_t k = 0; k < units; ++k) {
        if (driverUnit(*dm, k).HWRev < kRevLargeSequence) state.SequenceCapacity = 4096;
    }

    // The default map is read aside: a file that does not load leaves every actuator without a channel rather
    // than a table part from the file, part unmapped.
    std::vector<uint32_t> loaded(state.Map.size(), MAX_DM_SIZE);
    if (KRVLoadMapImpl(dm->MappingFile, loaded.data(), loaded.size()) == NO_ERR) {
        state.Map = loaded;
    } else {
        if (dm->MappingFile[0] == '\0') {
            KRV_LOG_WARN(log, "No default mapping specified.");
        } else {
            KRV_LOG_WARN(log, "Error loading default mapping: " << dm->MappingFile);
        }
        KRV_LOG_WARN(log, "Load a mapping file using KRVLoadMap to enable control.");
    }
    // A card keeps the table of the last mirror it drove, so an open that cannot write the whole table fails:
    // the card is then left with every output at 0 and the record closed.
    std::vector<uint32_t> enable(kLutEntries, 1u);
    if (const KRVRC rc = KRV_PCIeWriteLUT(dm, state.Map.data(), enable.data()); rc != NO_ERR) {
        KRV_LOG_ERROR(log, "Error loading default mapping into the card: " << static_cast<int>(rc)
                                                                          << "; the mirror is not opened.");
        KRV_PCIeClose(dm);
        return rc;
    }

    const KRVRC common = KRVOpenCommon(dm);

    for (uint32_t k = 0; k < units; ++k) {
        const DM_DRIVER& unit = driverUnit(*dm, k);
        if (!needsFiberChannelCommands(unit)) continue;
        for (uint32_t j = 0; j < unit.ChannelCount; ++j) {
            const uint32_t address = 0x04000000u + j * 0x10000u;
            uint32_t rc = writeReg(cardIds[k], REG_FIBER_CHANNEL, address | 0x8000003Cu);
            if (rc == 0) rc = writeReg(cardIds[k], REG_FIBER_CHANNEL, address | 0xC0000000u);
            if (rc != 0) {
                KRV_LOG_ERROR(log, "Error " << rc << " in HVA Setup.");
                KRV_PCIeClose(dm);
                return ERR_PCIE_REGWR;
            }
        }
    }

    book.OpenedDevIds[serial] = first;
    return common;
}

}  // namespace
}  // namespace MirrorKit::PCIe

using namespace MirrorKit::PCIe;

extern "C" KRVAPI KRVRC KRV_PCIeOpenDM(DM* dm) {
    if (dm == nullptr) return ERR_BADARG;
    try {
        const std::string serial(dm->SerialNumber, strnlen(dm->SerialNumber, sizeof dm->SerialNumber));
        KRV_LOG_DEBUG(logger(), "KRV_PCIeOpenDM " << serial << " " << dm->DevId);
    } catch (...) {
    }
    KRVRC rc = guarded("KRV_PCIeOpenDM", ERR_INIT_DRIVER, [&] {
        // The guard releases the lock on every way out, exceptions included.
        std::lock_guard<std::mutex> hold(bookkeeping().OpenLock);
        try {
            return openLocked(dm);
        } catch (...) {
            // Whatever was created so far is freed and the record cleared before the code is returned.
            KRV_PCIeClose(dm);
            throw;
        }
    });
    return rc;
}

extern "C" KRVAPI uint32_t KRV_PCIeGetNumberOfDevices(void) {
    int16_t counted = 0;
    cardCount(counted);
    // A negative count widens with its sign, as callers of the 16-bit count have always seen it.
    return static_cast<uint32_t>(static_cast<int32_t>(counted));
}
