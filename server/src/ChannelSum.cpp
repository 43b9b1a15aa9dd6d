// Channel summing and the per-frame checks, two values at a time in vector registers.
#include "ChannelSum.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace MirrorKit::Server {

namespace {

// GCC leaves these loops scalar, or vectorises the comparisons but adds their counts one by one (a sum of doubles
// must keep its order), so they are written with vector types: two doubles per register, which every x86-64
// processor has; where a target has no vector unit the compiler writes scalar code. A comparison gives -1 in each
// lane where it holds, so adding comparisons counts (negated) how often they held.
using Doubles = double __attribute__((vector_size(16)));
using Masks = int64_t __attribute__((vector_size(16)));
constexpr size_t kLanes = 2;

Doubles load(const double* p) {
    Doubles v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void store(double* p, Doubles v) { std::memcpy(p, &v, sizeof v); }
Doubles all(double x) { return Doubles{x, x}; }
uint64_t lanesSum(Masks m) { return static_cast<uint64_t>(-(m[0] + m[1])); }

// Counts the values below 0 and above 1.
void countOutsideUnit(const double* values, size_t count, uint32_t& low, uint32_t& high) {
    const Doubles zero = all(0.0), one = all(1.0);
    Masks lo = {0, 0}, hi = {0, 0};
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const Doubles v = load(values + i);
        lo += v < zero;
        hi += v > one;
    }
    uint64_t l = lanesSum(lo), h = lanesSum(hi);
    for (; i < count; ++i) {
        l += values[i] < 0.0;
        h += values[i] > 1.0;
    }
    low += static_cast<uint32_t>(l);
    high += static_cast<uint32_t>(h);
}

// Sums N channels into out (unclamped) and counts the sums below 0 and above 1, in one pass; the common mirror
// sessions have one to four channels. Each sum is formed in the same order as the scalar tail's.
template <size_t N>
void sumFused(const ChannelTerm* terms, size_t count, double* out, uint32_t& low, uint32_t& high) {
    static_assert(N >= 1 && N <= 4, "one to four channels");
    const double* v[4];
    double g[4];
    for (size_t t = 0; t < 4; ++t) {
        v[t] = terms[t < N ? t : 0].values;
        g[t] = terms[t < N ? t : 0].gain;
    }
    const Doubles zero = all(0.0), one = all(1.0);
    const Doubles g0 = all(g[0]), g1 = all(g[1]), g2 = all(g[2]), g3 = all(g[3]);
    Masks lo = {0, 0}, hi = {0, 0};
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Doubles sum = g0 * load(v[0] + i);
        if constexpr (N > 1) sum += g1 * load(v[1] + i);
        if constexpr (N > 2) sum += g2 * load(v[2] + i);
        if constexpr (N > 3) sum += g3 * load(v[3] + i);
        lo += sum < zero;
        hi += sum > one;
        store(out + i, sum);
    }
    uint64_t l = lanesSum(lo), h = lanesSum(hi);
    for (; i < count; ++i) {
        double sum = g[0] * v[0][i];
        if constexpr (N > 1) sum += g[1] * v[1][i];
        if constexpr (N > 2) sum += g[2] * v[2][i];
        if constexpr (N > 3) sum += g[3] * v[3][i];
        l += sum < 0.0;
        h += sum > 1.0;
        out[i] = sum;
    }
    low += static_cast<uint32_t>(l);
    high += static_cast<uint32_t>(h);
}

// Any number of channels, block by block so that each channel's pass over a block stays in the first-level cache.
void sumBlocked(const ChannelTerm* terms, size_t termCount, size_t count, double* out, uint32_t& low,
                uint32_t& high) {
    constexpr size_t kBlock = 512;
    for (size_t base = 0; base < count; base += kBlock) {
        const size_t n = std::min(kBlock, count - base);
        double* o = out + base;
        const double g0 = terms[0].gain;
        const double* v0 = terms[0].values + base;
        for (size_t i = 0; i < n; ++i) o[i] = g0 * v0[i];
        for (size_t t = 1; t < termCount; ++t) {
            const double g = terms[t].gain;
            const double* v = terms[t].values + base;
            for (size_t i = 0; i < n; ++i) o[i] += g * v[i];
        }
        countOutsideUnit(o, n, low, high);
    }
}

// The first clamped actuators, up to the report's bound; the scan stops once the list is full.
void listOutsideUnit(const double* values, size_t count, Saturation& s) {
    const size_t listed = std::min<size_t>(s.clamped, Saturation::kMaxListed);
    s.actuators.reserve(listed);
    for (size_t i = 0; i < count && s.actuators.size() < listed; ++i)
        if (values[i] < 0.0 || values[i] > 1.0) s.actuators.push_back(static_cast<uint32_t>(i));
}

}  // namespace

Saturation sumChannels(const ChannelTerm* terms, size_t termCount, size_t count, double* out) {
    uint32_t low = 0, high = 0;
    switch (termCount) {
    case 0: std::fill(out, out + count, 0.0); break;
    case 1: sumFused<1>(terms, count, out, low, high); break;
    case 2: sumFused<2>(terms, count, out, low, high); break;
    case 3: sumFused<3>(terms, count, out, low, high); break;
    case 4: sumFused<4>(terms, count, out, low, high); break;
    default: sumBlocked(terms, termCount, count, out, low, high); break;
    }
    Saturation s;
    s.low = low;
    s.high = high;
    s.clamped = low + high;
    if (s.clamped == 0) return s;
    listOutsideUnit(out, count, s);
    // The clamp itself, without branches, whatever share of the mirror saturates.
    const Doubles zero = all(0.0), one = all(1.0);
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Doubles v = load(out + i);
        v = v < zero ? zero : v;
        v = v > one ? one : v;
        store(out + i, v);
    }
    for (; i < count; ++i) out[i] = std::min(std::max(out[i], 0.0), 1.0);
    return s;
}

Saturation countSaturation(const double* values, size_t count) {
    Saturation s;
    countOutsideUnit(values, count, s.low, s.high);
    s.clamped = s.low + s.high;
    if (s.clamped) listOutsideUnit(values, count, s);
    return s;
}

size_t firstOutside(const double* values, size_t count, double bound, bool* inUnit) {
    // The common frame lies in 0..1, which makes it finite and bounded as well: two comparisons per value tell.
    // A NaN fails every comparison, as an infinity fails the bound, so the same tests cover all three. Passes are
    // counted, one comparison at a time (GCC turns an AND or a negation of vector comparisons into a branch per
    // lane), and every value passed when each count is the number of values.
    const Doubles zero = all(0.0), one = all(1.0);
    Masks fromZero = {0, 0}, toOne = {0, 0};
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const Doubles v = load(values + i);
        fromZero += v >= zero;
        toOne += v <= one;
    }
    bool unit = lanesSum(fromZero) == i && lanesSum(toOne) == i;
    for (; i < count; ++i) unit = unit && values[i] >= 0.0 && values[i] <= 1.0;
    if (inUnit) *inUnit = unit;
    if (unit) return count;

    const Doubles above = all(bound), below = all(-bound);
    Masks fromBelow = {0, 0}, toAbove = {0, 0};
    for (i = 0; i + kLanes <= count; i += kLanes) {
        const Doubles v = load(values + i);
        fromBelow += v >= below;
        toAbove += v <= above;
    }
    // Only the values left over, or, when a pair failed, everything again for the index.
    if (lanesSum(fromBelow) != i || lanesSum(toAbove) != i) i = 0;
    for (; i < count; ++i)
        if (!(std::fabs(values[i]) <= bound)) return i;
    return count;
}

Saturation saturationOf(uint32_t actuator, double value) {
    Saturation s;
    if (value < 0.0 || value > 1.0) {
        s.clamped = 1;
        (value < 0.0 ? s.low : s.high) = 1;
        s.actuators.push_back(actuator);
    }
    return s;
}

}  // namespace MirrorKit::Server
