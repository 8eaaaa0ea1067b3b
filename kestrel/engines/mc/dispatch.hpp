#pragma once
// Run-time dispatch of the Monte Carlo kernels (draws.cpp, kernels.cpp,
// sobol_kernels.cpp). Highway picks one instruction set for the process (the
// best the machine has, or the one random_sample::set_simd allows); a
// valuation that carries its own choice installs it on each thread that runs
// its kernels (ScopedTargets), and the kernels called on that thread dispatch
// to the best of those targets instead. Every target gives the same numbers.
#include <kestrel/random_sample.hpp>

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

namespace kestrel::engines::mc {

// The thread's target mask and its scoped installation live with the draws in
// random_sample, the one library every kernel's copy reaches.
using random_sample::ScopedTargets;
using random_sample::thread_targets;

// The index into a HWY_EXPORT table of the best of targets among those the
// calling translation unit compiled (compiled: its HWY_CHOSEN_TARGET_MASK_TARGETS).
inline std::size_t dispatch_index(std::int64_t targets, std::int64_t compiled) noexcept {
    return hwy::Num0BitsBelowLS1Bit_Nonzero64(
        static_cast<std::uint64_t>((HWY_CHOSEN_TARGET_SHIFT(targets) | HWY_CHOSEN_TARGET_MASK_SCALAR) & compiled));
}

}  // namespace kestrel::engines::mc

// HWY_DYNAMIC_DISPATCH, honouring the thread's ScopedTargets.
#define KESTREL_DISPATCH(FUNC_NAME)                                                                               \
    (::kestrel::random_sample::thread_targets()                                                                     \
         ? *(HWY_DISPATCH_TABLE(FUNC_NAME)[::kestrel::engines::mc::dispatch_index(                                \
               ::kestrel::random_sample::thread_targets(), HWY_CHOSEN_TARGET_MASK_TARGETS)])                        \
         : HWY_DYNAMIC_DISPATCH(FUNC_NAME))
