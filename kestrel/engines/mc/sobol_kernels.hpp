#pragma once
// The loops of the quasi-random shocks (the Sobol points' uniforms, the
// inverse normal's central approximation, the Brownian bridge's strips),
// written once against Highway's portable vectors and dispatched at run time
// like the other kernels (see kernels.hpp): the same IEEE operations in the
// same order on every target, so the same numbers.
#include <cstddef>
#include <cstdint>

namespace kestrel::engines::mc {

// The inverse normal's central region, [kSobolLow, kSobolHigh]; the tails
// outside it take the tail approximation.
inline constexpr double kSobolLow = 0.02425, kSobolHigh = 1.0 - kSobolLow;

// z[k] = the central rational approximation of the inverse normal
// distribution at u[k] (QuantLib's InverseCumulativeNormal's coefficients
// and operations), k < d.
void central_normals(const double* u, double* z, std::size_t d);

// w[k] = ((x[k] ^ shift[k]) + 1/2) / 2^32, k < d, and the k whose w[k] is
// outside the central region into tails, ascending; returns their count.
// tails has room for d numbers.
std::size_t shifted_uniforms(const std::uint32_t* x, const std::uint32_t* shift, double* w, std::uint64_t* tails,
                             std::size_t d);

// x[k] ^= v[k], k < d.
void xor_into(std::uint32_t* x, const std::uint32_t* v, std::size_t d);

// The bridge's strips, p < n: o = a x; o = lw left + rw right + sd x (o = rw
// right + sd x without left); o = (o - before) / s; o = o / s.
void scale(double* o, double a, const double* x, std::size_t n);
void combine(double* o, double lw, const double* left, double rw, const double* right, double sd, const double* x,
             std::size_t n);
void difference(double* o, const double* before, double s, std::size_t n);
void divide(double* o, double s, std::size_t n);

}  // namespace kestrel::engines::mc
