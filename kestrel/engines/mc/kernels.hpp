#pragma once
// The path steps of the Monte Carlo kernel, written once against Highway's
// portable vectors and dispatched at run time to the best instruction set
// the machine has (or the one random_sample::set_simd allows). Each path's
// arithmetic is the same IEEE operations in the same order on every target
// (additions, multiplications, comparisons; no fused multiply-add), so every
// target gives the same numbers.
#include <cstddef>

namespace kestrel::engines::mc {

// A leg's per-day coefficients and what happens on each grid day.
struct Steps {
    const double* drift = nullptr;      // per grid day
    const double* diffusion = nullptr;  // per grid day
    const unsigned char* ki = nullptr;  // per grid day: 1 on a knock-in day
    const std::size_t* ko_pos = nullptr;  // grid day of each knock-out date, ascending
    std::size_t m = 0;                    // knock-out dates
    const double* levels = nullptr;       // knock-in levels tracked for their excess
    std::size_t n_levels = 0;
    const double* inv_beta = nullptr;  // with levels, per grid day: 1 / beta (+inf where beta is 0)
};

// Days [j0, j1) of a block of n paths, shocks z day-major (z[(j - j0) * n + p]):
//   x[p] = x[p] + (drift[j] + diffusion[j] z), the lowest x over knock-in days
// in ki_min, x on knock-out dates into ko (date-major, from slot on).
// Returns the next knock-out slot.
std::size_t advance(const Steps& steps, std::size_t j0, std::size_t j1, std::size_t n, const double* z, double* x,
                    double* ki_min, double* ko, std::size_t slot);

// advance() for a leg with knock-in levels: on knock-in days, for each level
// l, excess[l * n + p] becomes the higher of itself and (level - x) / beta,
// computed as (level - x) * inv_beta (or +inf where beta is 0 and x is below
// the level), in place of the lowest level.
std::size_t advance_levels(const Steps& steps, std::size_t j0, std::size_t j1, std::size_t n, const double* z,
                           double* x, double* ko, double* excess, std::size_t slot);

}  // namespace kestrel::engines::mc
