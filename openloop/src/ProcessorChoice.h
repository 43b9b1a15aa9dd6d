// Picks a routine's AVX2 variant when the processor has it; used for the open-loop inner loops.
#pragma once

namespace MirrorKit {

// Runs while the library loads, perhaps before the processor was probed, so it probes first.
template <typename Routine>
Routine chooseForProcessor(Routine avx2, Routine plain) {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? avx2 : plain;
}

}  // namespace MirrorKit
