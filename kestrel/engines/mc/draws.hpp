#pragma once
// The generator's kernel: Philox4x32-10 words turned into standard normals by
// Box-Muller, written once against Highway's portable vectors and compiled
// for every x86-64 instruction set the build targets (AVX-512, AVX2, SSE4 and
// the baseline), the best the machine allows picked at run time, or the one
// a valuation installs on its threads (dispatch.hpp). Every version does the
// same IEEE operations in the same order, without fused multiply-adds, so
// each draws the same numbers.
#include <cstddef>
#include <cstdint>

namespace kestrel::engines::mc {

// The four normals of the Philox counters (first + i, c), i < n: z[d][i] is
// draw k = 4c + d of path first + i (the generator random_sample.hpp
// describes). single: Box-Muller in binary32, each normal widened to double.
// Writes n doubles at each z[d] and nothing beyond.
void normal_quads(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed, bool single,
                  double* const z[4]);

// The Highway target (HWY_AVX3, HWY_AVX2, ...) the kernels dispatch to now.
std::int64_t dispatched_target();

}  // namespace kestrel::engines::mc
