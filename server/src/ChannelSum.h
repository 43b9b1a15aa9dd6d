// The frame a session sends: its channels summed with their gains, clamped to 0..1, with a report of the clamping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace MirrorKit::Server {

// Clamped actuators of one frame. The list is bounded so that a reply stays small whatever the mirror's size.
struct Saturation {
    static constexpr size_t kMaxListed = 64;
    uint32_t clamped = 0;
    uint32_t low = 0;
    uint32_t high = 0;
    std::vector<uint32_t> actuators;  // the first kMaxListed clamped actuators, in increasing order
};

struct ChannelTerm {
    const double* values;
    double gain;
};

// out[i] = clamp(sum over terms of gain * values[i], 0, 1) for i < count; returns what was clamped. Values and
// gains must be finite and small enough that no sum overflows (the service bounds them).
Saturation sumChannels(const ChannelTerm* terms, size_t termCount, size_t count, double* out);

// The report of a frame sent as it is (values are not changed; whoever sends them clamps).
Saturation countSaturation(const double* values, size_t count);

// Index of the first value that is not finite or lies beyond +-bound, or count when there is none. One pass
// without branches: the common case, every value fine, costs little more than reading them.
size_t firstOutside(const double* values, size_t count, double bound);

// The clamping report of a single value at one actuator.
Saturation saturationOf(uint32_t actuator, double value);

}  // namespace MirrorKit::Server
