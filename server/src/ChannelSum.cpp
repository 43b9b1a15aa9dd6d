// Channel summing: one vectorised pass that sums and counts what to clamp, then the clamp when anything needs it.
#include "ChannelSum.h"

#include <algorithm>
#include <cmath>

namespace MirrorKit::Server {

namespace {

// Sums N channels into out (unclamped) and counts the sums below 0 and above 1, in one pass the compiler
// vectorises; the common mirror sessions have one to four channels.
template <size_t N>
void sumFused(const ChannelTerm* terms, size_t count, double* __restrict out, uint32_t& low, uint32_t& high) {
    static_assert(N >= 1 && N <= 4, "one to four channels");
    // Named pointers and counters kept as doubles (whole numbers, exact far beyond any mirror's size) are what
    // the vectoriser needs.
    const double* __restrict v0 = terms[0].values;
    const double* __restrict v1 = terms[N > 1 ? 1 : 0].values;
    const double* __restrict v2 = terms[N > 2 ? 2 : 0].values;
    const double* __restrict v3 = terms[N > 3 ? 3 : 0].values;
    const double g0 = terms[0].gain, g1 = terms[N > 1 ? 1 : 0].gain, g2 = terms[N > 2 ? 2 : 0].gain,
                 g3 = terms[N > 3 ? 3 : 0].gain;
    double lo = 0, hi = 0;
    for (size_t i = 0; i < count; ++i) {
        double sum = g0 * v0[i];
        if constexpr (N > 1) sum += g1 * v1[i];
        if constexpr (N > 2) sum += g2 * v2[i];
        if constexpr (N > 3) sum += g3 * v3[i];
        lo += sum < 0.0 ? 1.0 : 0.0;
        hi += sum > 1.0 ? 1.0 : 0.0;
        out[i] = sum;
    }
    low += static_cast<uint32_t>(lo);
    high += static_cast<uint32_t>(hi);
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
        double lo = 0, hi = 0;  // doubles, for the vectoriser
        for (size_t i = 0; i < n; ++i) {
            lo += o[i] < 0.0 ? 1.0 : 0.0;
            hi += o[i] > 1.0 ? 1.0 : 0.0;
        }
        low += static_cast<uint32_t>(lo);
        high += static_cast<uint32_t>(hi);
    }
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
    // The first clamped actuators for the report (the scan stops once the list is full), then the clamp itself
    // without branches, whatever share of the mirror saturates.
    const size_t listed = std::min<size_t>(s.clamped, Saturation::kMaxListed);
    s.actuators.reserve(listed);
    for (size_t i = 0; i < count && s.actuators.size() < listed; ++i)
        if (out[i] < 0.0 || out[i] > 1.0) s.actuators.push_back(static_cast<uint32_t>(i));
    for (size_t i = 0; i < count; ++i) out[i] = std::min(std::max(out[i], 0.0), 1.0);
    return s;
}

Saturation countSaturation(const double* values, size_t count) {
    double lo = 0, hi = 0;  // doubles, for the vectoriser
    for (size_t i = 0; i < count; ++i) {
        lo += values[i] < 0.0 ? 1.0 : 0.0;
        hi += values[i] > 1.0 ? 1.0 : 0.0;
    }
    Saturation s;
    s.low = static_cast<uint32_t>(lo);
    s.high = static_cast<uint32_t>(hi);
    s.clamped = s.low + s.high;
    const size_t listed = std::min<size_t>(s.clamped, Saturation::kMaxListed);
    s.actuators.reserve(listed);
    for (size_t i = 0; i < count && s.actuators.size() < listed; ++i)
        if (values[i] < 0.0 || values[i] > 1.0) s.actuators.push_back(static_cast<uint32_t>(i));
    return s;
}

size_t firstOutside(const double* values, size_t count, double bound) {
    // A NaN fails the comparison as an infinity does, so one test per value covers all three.
    double bad = 0;  // a double, for the vectoriser
    for (size_t i = 0; i < count; ++i) bad += std::fabs(values[i]) <= bound ? 0.0 : 1.0;
    if (bad == 0) return count;
    for (size_t i = 0; i < count; ++i)
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
