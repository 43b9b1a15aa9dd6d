// Channel summing: one pass per channel that the compiler vectorises, then one clamping pass that counts.
#include "ChannelSum.h"

#include <algorithm>

namespace MirrorKit::Server {

Saturation sumChannels(const ChannelTerm* terms, size_t termCount, size_t count, double* out) {
    if (termCount == 0) {
        std::fill(out, out + count, 0.0);
    } else {
        const double g0 = terms[0].gain;
        const double* v0 = terms[0].values;
        for (size_t i = 0; i < count; ++i) out[i] = g0 * v0[i];
        for (size_t t = 1; t < termCount; ++t) {
            const double g = terms[t].gain;
            const double* v = terms[t].values;
            for (size_t i = 0; i < count; ++i) out[i] += g * v[i];
        }
    }
    // The common case, nothing out of range, costs one read-only pass that counts without branches.
    uint32_t low = 0, high = 0;
    for (size_t i = 0; i < count; ++i) {
        low += out[i] < 0.0;
        high += out[i] > 1.0;
    }
    Saturation s;
    s.low = low;
    s.high = high;
    s.clamped = low + high;
    if (s.clamped == 0) return s;
    s.actuators.reserve(std::min<size_t>(s.clamped, Saturation::kMaxListed));
    for (size_t i = 0; i < count; ++i) {
        const double x = out[i];
        if (x >= 0.0 && x <= 1.0) continue;
        if (s.actuators.size() < Saturation::kMaxListed) s.actuators.push_back(static_cast<uint32_t>(i));
        out[i] = x < 0.0 ? 0.0 : 1.0;
    }
    return s;
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
