// Card access helpers and link configuration words of the PCIe back end.
#include "PCIeCards.h"

#include "krv/Backend.h"

#include <pexlink.h>

namespace MirrorKit::PCIe {

log4cxx::LoggerPtr logger() {
    // Never destroyed: a mirror may still be closed while the process exits.
    static const log4cxx::LoggerPtr* pcie = new log4cxx::LoggerPtr(Log::get("KRV.PCIe"));
    return *pcie;
}

uint32_t cardCount(int16_t& count) {
    count = 0;
    return GetNumDevices(&count);
}

uint32_t readReg(uint32_t card, uint32_t reg, uint32_t& value) {
    return ReadReg(static_cast<int32_t>(card), reg, &value);
}

uint32_t writeReg(uint32_t card, uint32_t reg, uint32_t value) {
    return WriteReg(static_cast<int32_t>(card), reg, value);
}

uint32_t writeBlock(uint32_t card, uint32_t reg, uint32_t count, const uint32_t* words) {
    // The back end never uses the alternate block mode.
    return WriteMem(static_cast<int32_t>(card), reg, 0, count, words);
}

uint32_t writeBurst(uint32_t card, uint32_t address, uint32_t count, const uint32_t* words) {
    return WriteMemBurst(static_cast<int32_t>(card), address, count, words);
}

PCIeRecord* pcieRecord(const DMState& state) {
    return state.Owner == KRV_Priv_PCIeBackend() ? static_cast<PCIeRecord*>(state.BackendState) : nullptr;
}

void attachRecord(DMState& state, std::unique_ptr<PCIeRecord> record) {
    state.Owner = KRV_Priv_PCIeBackend();
    state.BackendState = record.release();
}

const std::vector<uint32_t>& cardIds(const DMState& state) {
    static const std::vector<uint32_t> none;
    const PCIeRecord* record = pcieRecord(state);
    return record ? record->CardIds : none;
}

void logTransferFailure(uint32_t rc, const std::string& what) {
    auto log = logger();
    if (rc != PEX_ERR_MUTEX_WAIT) {
        KRV_LOG_ERROR(log, "Error " << rc << " " << what << ".");
        return;
    }
    char text[1024];
    PEXLockStatus(text, sizeof text);
    KRV_LOG_ERROR(log, "Error " << rc << " " << what << ": " << text);
}

uint32_t writeEveryCard(const DMState& state, uint32_t reg, uint32_t value) {
    uint32_t failure = 0;
    for (uint32_t card : cardIds(state)) {
        const uint32_t rc = writeReg(card, reg, value);
        if (rc != 0) failure = rc;
    }
    return failure;
}

uint32_t unitCount(const DM& dm) {
    // Profiles describe one or two units, and only one extra unit record is ever allocated.
    if (dm.DriverCount < 2 || dm.ExtraDrivers == nullptr) return 1;
    return 2;
}

uint32_t hvaTypeCode(uint32_t profileType, uint32_t revision) {
    if (revision < kRevCurrentTypeCoding) {
        // Older firmware counts amplifier types from 1 and folds every ZETA variant into 3.
        if (profileType == 0) return 1;
        if (profileType <= 2) return 2;
        return 3;
    }
    return profileType & kHvaTypeMask;
}

uint32_t hvaConfigWord(const DM& dm, const DM_DRIVER& unit, uint32_t revision) {
    uint32_t word = hvaTypeCode(unit.HVAType, revision);
    if (unit.UseCL) word |= kHvaUseCL;
    if (unit.UseFiber) word |= kHvaUseFiber;
    if (unit.FiberMode) word |= kHvaFiberMode;
    word |= (dm.ActCount & 0xFFFFu) << 16;
    return word;
}

bool hvaConfigMatches(const DM& dm, const DM_DRIVER& unit, uint32_t word) {
    return hvaLength(word) == dm.ActCount && (word & kHvaTypeMask) == (unit.HVAType & kHvaTypeMask) &&
           ((word & kHvaFiberMode) != 0) == (unit.FiberMode != 0) && ((word & kHvaUseCL) != 0) == (unit.UseCL != 0) &&
           ((word & kHvaUseFiber) != 0) == (unit.UseFiber != 0);
}

}  // namespace MirrorKit::PCIe
