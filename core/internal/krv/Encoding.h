// Encoded record fields and the conversion between frame values and driver units.
#pragma once
#ifndef KRV_INTERNAL
#error "krv internal headers are for the kit's own libraries; include <KRV.h> instead"
#endif

#include <KRV.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace MirrorKit {

constexpr uint32_t kInactiveTerminator = 0xFFFF;

// The largest value the encoding keeps: encodeValue shifts out the top 7 bits.
constexpr uint32_t kMaxEncodedVoltage = (1u << 25) - 1;
constexpr uint32_t encodeValue(uint32_t value) { return (value << 7) ^ 0x1D5u; }
constexpr uint32_t decodeValue(uint32_t stored) { return (stored ^ 0x180u) >> 7; }

// VoltageLimit / MaxVoltage of a record, decoded, in double precision.
inline double voltageRatio(const DM& dm) {
    return static_cast<double>(decodeValue(dm.VoltageLimit)) / static_cast<double>(decodeValue(dm.MaxVoltage));
}

// lround for values in [0, 2^31): truncate, then round half away from zero. Bit-identical to std::lround
// there, but inline; the library call dominates frame conversion otherwise.
inline uint32_t roundNonNegative(double x) {
    if (!(x >= 0.0)) return 0;  // also NaN, from a record whose maximum voltage is 0
    if (x >= 4294967295.0) return 0xFFFFFFFFu;
    const uint32_t whole = static_cast<uint32_t>(x);
    return whole + ((x - static_cast<double>(whole)) >= 0.5 ? 1u : 0u);
}

// True when every clamped frame value converts to a driver unit below 2^31, so the per-value range checks
// can be dropped for a whole frame.
inline bool ratioInRange(double ratio) { return ratio >= 0.0 && ratio * 65535.0 < 2147483647.0; }

// toDriverUnits for a ratio accepted by ratioInRange.
// Written without branches and with a 32-bit signed conversion so that the compiler can vectorise a frame's loop.
inline uint32_t toDriverUnitsInRange(double value, double ratio) {
    const double x = std::min(1.0, std::max(0.0, value));  // NaN becomes 0
    const double scaled = x * 65535.0 * ratio;
    const int32_t whole = static_cast<int32_t>(scaled);
    return static_cast<uint32_t>(whole + ((scaled - static_cast<double>(whole)) >= 0.5 ? 1 : 0));
}

// toDriverUnitsInRange over a whole frame; true when every value was finite (a NaN or an infinity converts as
// clamped, so a caller that refuses them must not send the result). GCC does not vectorise the scalar loop (the
// clamp is control flow to it), so two values go through vector registers at a time: the same operations in the
// same order, hence bit-identical, at a fraction of the cost, and the finiteness check rides along instead of
// reading the frame once more. Where a target has no vector unit the compiler writes scalar code.
inline bool framesToDriverUnitsInRange(const double* values, uint32_t count, double ratio, uint32_t* out) {
    using Doubles = double __attribute__((vector_size(16)));
    using Masks = int64_t __attribute__((vector_size(16)));
    using Units = int32_t __attribute__((vector_size(8)));
    const Doubles zero = {0.0, 0.0}, one = {1.0, 1.0}, half = {0.5, 0.5};
    const Doubles fullScale = {65535.0, 65535.0}, scale = {ratio, ratio};
    Masks finite = {0, 0};  // -1 per finite value: v - v is 0 for those, NaN for NaN and infinities
    uint32_t i = 0;
    for (; i + 2 <= count; i += 2) {
        Doubles v;
        std::memcpy(&v, values + i, sizeof v);
        finite += (v - v) == zero;
        Doubles x = v > zero ? v : zero;  // NaN becomes 0
        x = x < one ? x : one;
        const Doubles scaled = x * fullScale * scale;
        const Units whole = __builtin_convertvector(scaled, Units);
        const Masks up = (scaled - __builtin_convertvector(whole, Doubles)) >= half;  // -1 where it rounds up
        const Units units = whole - __builtin_convertvector(up, Units);
        std::memcpy(out + i, &units, sizeof units);
    }
    bool allFinite = static_cast<uint64_t>(-(finite[0] + finite[1])) == i;
    for (; i < count; ++i) {
        allFinite = allFinite && std::isfinite(values[i]);
        out[i] = toDriverUnitsInRange(values[i], ratio);
    }
    return allFinite;
}

// Frame value to driver units: clamp to [0,1], then lround(x * 65535 * ratio), evaluated left to right.
inline uint32_t toDriverUnits(double value, double ratio) {
    double x = value;
    if (!(x >= 0.0)) x = 0.0;  // NaN clamps to 0 as well
    if (x > 1.0) x = 1.0;
    return roundNonNegative(x * 65535.0 * ratio);
}

// Index of the first value that is NaN or infinite, or count when every value is finite. Such a value has no
// place on the 0..1 scale: clamping would turn NaN into 0 and infinity into a full-scale command.
// A value's exponent bits are all ones exactly when adding 2^52 to them carries into bit 63; the scan ORs those sums
// with plain vector arithmetic, so that it costs little beside the frame conversion. Only a frame that holds a bad
// value is scanned a second time, for its index.
inline uint32_t firstNonFinite(const double* values, uint32_t count) {
    // Two lanes is the width every x86-64 processor has in registers; two accumulators keep two loads in flight.
    using Lanes = uint64_t __attribute__((vector_size(16)));
    constexpr uint64_t kExponent = 0x7FF0000000000000ull;
    constexpr uint64_t kExponentOne = 0x0010000000000000ull;
    Lanes first = {0, 0}, second = {0, 0};
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Lanes a, b;
        std::memcpy(&a, values + i, sizeof a);
        std::memcpy(&b, values + i + 2, sizeof b);
        first |= (a & kExponent) + kExponentOne;
        second |= (b & kExponent) + kExponentOne;
    }
    first |= second;
    uint64_t carry = first[0] | first[1];
    for (; i < count; ++i) {
        uint64_t bits;
        std::memcpy(&bits, values + i, sizeof bits);
        carry |= (bits & kExponent) + kExponentOne;
    }
    if ((carry >> 63) == 0) return count;
    for (i = 0; i < count; ++i)
        if (!std::isfinite(values[i])) return i;
    return count;
}

// Driver units back to a frame value, capped at 1.0. Zero units read back as 0 whatever the ratio: a record
// whose voltage limit is 0 (ratio 0) sends every value as 0 units, and 0 / 0 would read back NaN.
inline double fromDriverUnits(uint32_t units, double ratio) {
    if (units == 0) return 0.0;
    double v = static_cast<double>(units) / 65535.0 / ratio;
    return v > 1.0 ? 1.0 : v;
}

}  // namespace MirrorKit
