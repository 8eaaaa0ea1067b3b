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

// A local volatility's rows as the path steps read them: grid day j's
// volatilities at nodes - 1 uniform cells from log price x0, linear between
// nodes and flat beyond the ends.
struct LocalRows {
    const double* vols = nullptr;  // day j's row at vols[j * nodes]
    std::size_t nodes = 0;         // per row, >= 2
    double x0 = 0, inv_h = 0;      // the first node's log price, 1 / spacing
    double log_spot = 0;           // a path at x reads the rows at log_spot + x
    const double* carry = nullptr;     // per grid day
    const double* dtt = nullptr;       // per grid day
    const double* root_dtt = nullptr;  // per grid day: sqrt(dtt)
};

// advance() under a local volatility: day j moves a path at x by
//   (carry[j] - 0.5 s s dtt[j]) + s root_dtt[j] z,
// s read off row j at log_spot + x: with u = (log_spot + x - x0) inv_h held
// to [0, nodes - 1] and i = min(floor u, nodes - 2),
//   s = row[i] + (u - i) (row[i + 1] - row[i]).
// Steps' drift and diffusion are not read.
std::size_t advance_local(const Steps& steps, const LocalRows& rows, std::size_t j0, std::size_t j1, std::size_t n,
                          const double* z, double* x, double* ki_min, double* ko, std::size_t slot);

}  // namespace kestrel::engines::mc
