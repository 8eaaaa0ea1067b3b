#pragma once
// Run-time dispatch of the Monte Carlo kernels (draws.cpp, kernels.cpp,
// sobol_kernels.cpp). Highway picks one instruction set for the process (the
// best the machine has, or the one random_sample::set_simd allows); a
// valuation that carries its own choice installs it on each thread that runs
// its kernels (ScopedTargets), and the kernels called on that thread dispatch
// to the best of those targets instead. Every target gives the same numbers.
#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

namespace kestrel::engines::mc {

// Highway's target bits this thread's kernels may dispatch to; 0: the
// process's choice.
std::int64_t thread_targets() noexcept;

// Installs a target mask (random_sample::simd_targets) for the current thread
// until the end of its scope, then restores the one before.
class ScopedTargets {
  public:
    explicit ScopedTargets(std::int64_t targets) noexcept;
    ~ScopedTargets();
    ScopedTargets(const ScopedTargets&) = delete;
    ScopedTargets& operator=(const ScopedTargets&) = delete;

  private:
    std::int64_t previous_;
};

// The index into a HWY_EXPORT table of the best of targets among those the
// calling translation unit compiled (compiled: its HWY_CHOSEN_TARGET_MASK_TARGETS).
inline std::size_t dispatch_index(std::int64_t targets, std::int64_t compiled) noexcept {
    return hwy::Num0BitsBelowLS1Bit_Nonzero64(
        static_cast<std::uint64_t>((HWY_CHOSEN_TARGET_SHIFT(targets) | HWY_CHOSEN_TARGET_MASK_SCALAR) & compiled));
}

}  // namespace kestrel::engines::mc

// HWY_DYNAMIC_DISPATCH, honouring the thread's ScopedTargets.
#define KESTREL_DISPATCH(FUNC_NAME)                                                                               \
    (::kestrel::engines::mc::thread_targets()                                                                     \
         ? *(HWY_DISPATCH_TABLE(FUNC_NAME)[::kestrel::engines::mc::dispatch_index(                                \
               ::kestrel::engines::mc::thread_targets(), HWY_CHOSEN_TARGET_MASK_TARGETS)])                        \
         : HWY_DYNAMIC_DISPATCH(FUNC_NAME))
