// The card's own frame playback: sequencer, ditherer and high-resolution mode.
#include "PCIeCards.h"

#include <KRV_PCIeAPI.h>

#include <cmath>
#include <vector>

namespace MirrorKit::PCIe {
namespace {

constexpr uint32_t kSeqFrameEnd = 1u << 28;
constexpr uint32_t kSeqSequenceEnd = 1u << 29;
constexpr uint32_t kSeqTriggerControl = 1u;
constexpr uint32_t kSeqStop = 0x80000000u;
constexpr double kMaxSequenceDelay = 0.25;
constexpr uint32_t kMaxWaveformSamples = 2048;
constexpr uint32_t kWaveformEnd = 0x10000u;
constexpr double kWaveformScale = 32768.0;

// Reads the first card's link configuration and, for firmware that keeps it comparable, checks it against the
// record. On success length is the HVA length the card was configured with.
KRVRC checkConfiguration(DM* dm, uint32_t& length) {
    const DMState& state = *dm->State;
    uint32_t word = 0;
    if (cardIds(state).empty() || readReg(cardIds(state).front(), REG_HVA_CONFIG, word) != 0) return ERR_PCIE_REGRD;
    for (size_t k = 0; k < cardIds(state).size(); ++k) {
        const DM_DRIVER& unit = driverUnit(*dm, static_cast<uint32_t>(k));
        if (unit.HWRev >= kRevCurrentTypeCoding && !hvaConfigMatches(*dm, unit, word)) return ERR_INVALID_DRIVER_TYPE;
    }
    length = hvaLength(word);
    return NO_ERR;
}

// 1 / rate in 16 ns ticks, truncated; 0 when the rate gives no period the card can hold.
uint32_t periodTicks(double rate) {
    const double ticks = 1.0 / rate / kTickSeconds;
    if (!(ticks >= 1.0 && ticks <= 4294967295.0)) return 0;
    return static_cast<uint32_t>(ticks);
}

// Port registers are framed by address resets: one before the block so it starts at the first word, one after
// so the next writer starts there too.
KRVRC writePort(const DMState& state, uint32_t reg, uint32_t count, const uint32_t* words) {
    if (writeEveryCard(state, reg, kPortReset) != 0) return ERR_PCIE_REGWR;
    for (uint32_t card : cardIds(state)) {
        if (writeBlock(card, reg, count, words) != 0) return ERR_PCIE_REGWR;
    }
    if (writeEveryCard(state, reg, kPortReset) != 0) return ERR_PCIE_REGWR;
    return NO_ERR;
}

KRVRC configureSequence(DM* dm, const uint32_t* values, double delay, uint32_t frameLength, uint32_t seqLength) {
    uint32_t length = 0;
    if (const KRVRC rc = checkConfiguration(dm, length); rc != NO_ERR) return rc;
    // Frame positions have 12 bits in a sequence word.
    if (frameLength == 0 || frameLength > length || frameLength > MAX_DM_SIZE) return ERR_INVALID_SEQUENCE;
    // A sequence without frames has no last word to mark and would leave the card playing stale memory.
    if (seqLength == 0) return ERR_INVALID_SEQUENCE;
    const uint64_t count = static_cast<uint64_t>(frameLength) * seqLength;
    if (count > dm->State->SequenceCapacity) return ERR_INVALID_SEQUENCE;
    if (!(delay >= 0.0 && delay <= kMaxSequenceDelay)) return ERR_INVALID_SEQUENCE_RATE;
    if (values == nullptr) return ERR_BADARG;

    auto log = logger();
    const bool trace = log->isTraceEnabled();
    std::vector<uint32_t> words(static_cast<size_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t v = values[i];
        if (v >= 0x10000u) return ERR_INVALID_SEQUENCE;
        // Every element carries its position within its frame; the frame's last element is marked, so that
        // one-element frames are each complete frames as well.
        const uint32_t position = i % frameLength;
        uint32_t word = (position << 16) | v;
        if (position == frameLength - 1) word |= kSeqFrameEnd;
        words[i] = word;
        if (trace) LOG4CXX_TRACE(log, i << " : " << word << " : " << v);
    }
    words.back() |= kSeqFrameEnd | kSeqSequenceEnd;

    const DMState& state = *dm->State;
    const auto delayTicks = static_cast<uint32_t>(std::lround(delay / kTickSeconds));
    if (writeEveryCard(state, REG_SEQ_DELAY, delayTicks) != 0) return ERR_PCIE_REGWR;
    return writePort(state, REG_SEQ_MEMORY, static_cast<uint32_t>(count), words.data());
}

KRVRC enableSequence(DM* dm, double rate, int32_t enable) {
    if (!(rate >= 0.0)) return ERR_INVALID_SEQUENCE_RATE;
    const DMState& state = *dm->State;
    if (enable == 0 || rate == 0.0) {
        // Period 0 stops the internal clock; the control register then stops the sequence or hands it to the
        // trigger input.
        if (writeEveryCard(state, REG_SEQ_PERIOD, 0) != 0) return ERR_PCIE_REGWR;
        const uint32_t control = enable == 0 ? kSeqStop : kSeqTriggerControl;
        if (writeEveryCard(state, REG_SEQ_CONTROL, control) != 0) return ERR_PCIE_REGWR;
        return NO_ERR;
    }
    const uint32_t period = periodTicks(rate);
    if (period == 0) return ERR_INVALID_SEQUENCE_RATE;
    if (writeEveryCard(state, REG_SEQ_PERIOD, period) != 0) return ERR_PCIE_REGWR;
    return NO_ERR;
}

KRVRC configureDither(DM* dm, const double* waveform, uint32_t samples, const uint32_t* gains) {
    uint32_t length = 0;
    if (const KRVRC rc = checkConfiguration(dm, length); rc != NO_ERR) return rc;
    if (samples < 1 || samples > kMaxWaveformSamples) return ERR_INVALID_DITHER_WVFRM;
    if (waveform == nullptr || gains == nullptr) return ERR_BADARG;
    for (uint32_t i = 0; i < samples; ++i) {
        if (!(waveform[i] >= 0.0 && waveform[i] <= 1.0)) return ERR_INVALID_DITHER_WVFRM;
    }
    // The caller's gains cover ActCount actuators; a card configured for more could not be filled from them.
    if (length > dm->ActCount) return ERR_INVALID_DRIVER_TYPE;
    for (uint32_t j = 0; j < length; ++j) {
        if (gains[j] > 65535u) return ERR_INVALID_DITHER_GAIN;
    }

    std::vector<uint32_t> words(samples);
    for (uint32_t i = 0; i < samples; ++i) words[i] = static_cast<uint32_t>(waveform[i] * kWaveformScale);
    words.back() |= kWaveformEnd;

    const DMState& state = *dm->State;
    if (const KRVRC rc = writePort(state, REG_DITHER_WAVEFORM, samples, words.data()); rc != NO_ERR) return rc;
    return writePort(state, REG_DITHER_GAINS, length, gains);
}

KRVRC enableDither(DM* dm, double rate, int32_t enable) {
    if (!(rate >= 0.0)) return ERR_INVALID_DITHER_RATE;
    uint32_t period = 0;
    if (rate != 0.0 && enable != 0) {
        period = periodTicks(rate);
        if (period == 0) return ERR_INVALID_DITHER_RATE;
    }
    return writeEveryCard(*dm->State, REG_DITHER_PERIOD, period) != 0 ? ERR_PCIE_REGWR : NO_ERR;
}

// Reads one register from every card; the cards of one mirror must agree.
KRVRC agreedRead(const DMState& state, uint32_t reg, uint32_t& value) {
    for (size_t k = 0; k < cardIds(state).size(); ++k) {
        uint32_t v = 0;
        if (readReg(cardIds(state)[k], reg, v) != 0) return ERR_PCIE_REGRD;
        if (k > 0 && v != value) return ERR_PCIE_REGRD;
        value = v;
    }
    return NO_ERR;
}

KRVRC enableHighRes(DM* dm, int32_t enable) {
    const DMState& state = *dm->State;
    if (cardIds(state).empty()) return ERR_NOT_IMPLEMENTED;
    uint32_t value = 0;
    if (const KRVRC rc = agreedRead(state, REG_REVISION, value); rc != NO_ERR) return rc;
    if (value < kRevHighRes) return ERR_NOT_IMPLEMENTED;
    // High-resolution mode takes over the outputs, so nothing else may be playing while it changes.
    if (const KRVRC rc = agreedRead(state, REG_DITHER_PERIOD, value); rc != NO_ERR) return rc;
    if (value != 0) return ERR_INVALID_DITHER_RATE;
    if (const KRVRC rc = agreedRead(state, REG_SEQ_CONTROL, value); rc != NO_ERR) return rc;
    if (value & kSeqTriggerControl) return ERR_INVALID_SEQUENCE_RATE;
    if (const KRVRC rc = agreedRead(state, REG_HVA_CONFIG, value); rc != NO_ERR) return rc;

    const uint32_t word = enable != 0 ? (value | kHvaHighRes) : (value & ~kHvaHighRes);
    if (const uint32_t rc = writeEveryCard(state, REG_HVA_CONFIG, word); rc != 0) {
        KRV_LOG_ERROR(logger(), "Error " << rc << " in HVA Setup.");
        return ERR_PCIE_REGWR;
    }
    return NO_ERR;
}

}  // namespace
}  // namespace MirrorKit::PCIe

using namespace MirrorKit::PCIe;

extern "C" KRVAPI KRVRC KRV_PCIeConfigureSequence(DM* dm, const uint32_t* values, double delay, uint32_t frameLength,
                                                  uint32_t seqLength) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeConfigureSequence", ERR_UNKNOWN,
                   [&] { return configureSequence(dm, values, delay, frameLength, seqLength); });
}

extern "C" KRVAPI KRVRC KRV_PCIeEnableSequence(DM* dm, double frameRate, int32_t enable) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeEnableSequence", ERR_UNKNOWN, [&] { return enableSequence(dm, frameRate, enable); });
}

extern "C" KRVAPI KRVRC KRV_PCIeConfigureDither(DM* dm, const double* waveform, uint32_t waveformLength,
                                                const uint32_t* gains) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeConfigureDither", ERR_UNKNOWN,
                   [&] { return configureDither(dm, waveform, waveformLength, gains); });
}

extern "C" KRVAPI KRVRC KRV_PCIeEnableDither(DM* dm, double frameRate, int32_t enable) {
    if (openState(dm) == nullptr) return ERR_DRIVER_NOT_OPEN;
    return guarded("KRV_PCIeEnableDither", ERR_UNKNOWN, [&] { return enableDither(dm, frameRate, enable); });
}

extern "C" KRVAPI KRVRC KRV_PCIeEnableHighRes(DM* dm, int32_t enable) {
    // A record without cards has no high-resolution mode to switch.
    if (openState(dm) == nullptr) return ERR_NOT_IMPLEMENTED;
    return guarded("KRV_PCIeEnableHighRes", ERR_UNKNOWN, [&] { return enableHighRes(dm, enable); });
}
