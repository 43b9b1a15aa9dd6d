// Card register map and the card-access helpers shared by the PCIe back end's sources.
#pragma once

#include <KRV.h>

#include "krv/DMState.h"
#include "krv/Log.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace MirrorKit::PCIe {

// Registers are 32-bit words addressed by word index. Port registers take 0x80000000 to reset their address;
// every further write stores the next word.
enum Register : uint32_t {
    REG_REVISION = 0,
    REG_HVA_CONFIG = 1,
    REG_POKE = 4,
    REG_LUT = 6,
    REG_ORIENTATION = 7,
    REG_DITHER_PERIOD = 8,
    REG_DITHER_WAVEFORM = 9,
    REG_DITHER_GAINS = 10,
    REG_FIBER_CHANNEL = 16,
    REG_SEQ_PERIOD = 17,
    REG_SEQ_CONTROL = 18,
    REG_SEQ_MEMORY = 19,
    REG_SEQ_DELAY = 20,
    REG_SYNC_ACTUATOR = 21,
    REG_SYNC_CONTROL = 22,
    REG_SYNC_WIDTH = 23,
    FRAME_MEMORY = 32,
};

constexpr uint32_t kPortReset = 0x80000000u;
constexpr uint32_t kNoChannel = 0x10000u;
constexpr uint32_t kLutEntries = MAX_DM_SIZE;

// Firmware revisions that change what the back end may do.
constexpr uint32_t kRevisionFamily = 0x2000u;       // upper half of every supported revision
constexpr uint32_t kRevCurrentTypeCoding = 0x20000500u;  // below: older type codes, no configuration check
constexpr uint32_t kRevLargeSequence = 0x20000502u;  // from here: 65536 words of sequence memory
constexpr uint32_t kRevHighRes = 0x20000600u;

// REG_HVA_CONFIG fields.
constexpr uint32_t kHvaTypeMask = 0x1Fu;
constexpr uint32_t kHvaUseCL = 1u << 5;
constexpr uint32_t kHvaUseFiber = 1u << 6;
constexpr uint32_t kHvaFiberMode = 1u << 7;
constexpr uint32_t kHvaHighRes = 1u << 9;
constexpr uint32_t hvaLength(uint32_t word) { return word >> 16; }

// Timing registers count 16 ns ticks.
constexpr double kTickSeconds = 1.6e-8;

// Frames above this many actuators go out as two bursts with a pause between them.
constexpr uint32_t kSingleBurstLimit = 2040;
constexpr int32_t kSplitBurstPauseUs = 80;

log4cxx::LoggerPtr logger();  // "KRV.PCIe"

// Thin layer over the card access library; every call is one locked transfer. Results are the library's codes,
// 0 for success.
uint32_t cardCount(int16_t& count);
uint32_t readReg(uint32_t card, uint32_t reg, uint32_t& value);
uint32_t writeReg(uint32_t card, uint32_t reg, uint32_t value);
uint32_t writeBlock(uint32_t card, uint32_t reg, uint32_t count, const uint32_t* words);
uint32_t writeBurst(uint32_t card, uint32_t address, uint32_t count, const uint32_t* words);

// Logs a failed transfer at error level; when the system-wide lock is what failed, says why and what to do.
void logTransferFailure(uint32_t rc, const std::string& what);

// What the PCIe back end keeps for one open record beside the shared DMState.
struct PCIeRecord {
    std::vector<uint32_t> CardIds;     // card number of each unit, in unit order
    std::vector<uint32_t> PairBuffer;  // the frame packed two values per word
};

// The PCIe part of a record's state; null for a state the PCIe back end did not create.
PCIeRecord* pcieRecord(const DMState& state);
// Hands record to state; the back end's table frees it with the state.
void attachRecord(DMState& state, std::unique_ptr<PCIeRecord> record);
// Card numbers of the record's units in unit order; empty for a state the PCIe back end did not create.
const std::vector<uint32_t>& cardIds(const DMState& state);

// Writes one register on every card of the record, in order, going on after a failure. Returns 0 when every
// write succeeded, else the code of the last failure.
uint32_t writeEveryCard(const DMState& state, uint32_t reg, uint32_t value);

// Unit k of a record with the unit count the back end trusts (1 or 2).
uint32_t unitCount(const DM& dm);

// The type code the link configuration carries for a unit on a card of the given revision.
uint32_t hvaTypeCode(uint32_t profileType, uint32_t revision);
// The link configuration word a unit is opened with (high-resolution bit clear).
uint32_t hvaConfigWord(const DM& dm, const DM_DRIVER& unit, uint32_t revision);
// True when the card's word agrees with the record for a unit whose firmware is checked.
bool hvaConfigMatches(const DM& dm, const DM_DRIVER& unit, uint32_t word);

// Loads every card's lookup table from map (channel by actuator, over all units of the record) as one step, or
// fails. Every table is built and checked against its card (link configuration, channel limit) before the first
// entry is written, so a map or a card that cannot take it leaves the cards as they were. A transfer that fails
// once writing has begun leaves a table part old, part new: then every output is set to 0 before the failure is
// returned. enable (one entry per actuator, 0 = no channel) receives 0 for the profile's inactive actuators; the
// active set of the record changes only on success.
KRVRC loadCardTables(DM* dm, const uint32_t* map, uint32_t* enable);

// The open record's working state, or null for a record that is not open.
inline DMState* openState(DM* dm) { return dm ? dm->State : nullptr; }

// Runs an export's body and turns every escaping exception into a result code with one error log entry:
// memory exhaustion gives ERR_MALLOC, anything else otherCode.
template <typename F>
KRVRC guarded(const char* where, KRVRC otherCode, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc& e) {
        try { KRV_LOG_ERROR(logger(), e.what()); } catch (...) {}
        return ERR_MALLOC;
    } catch (const std::exception& e) {
        try { KRV_LOG_ERROR(logger(), "In " << where << ": " << e.what()); } catch (...) {}
        return otherCode;
    } catch (...) {
        try { KRV_LOG_ERROR(logger(), "Unknown exception in " << where << "()"); } catch (...) {}
        return otherCode;
    }
}

}  // namespace MirrorKit::PCIe
