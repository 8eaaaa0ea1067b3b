#include <kestrel/errors.hpp>
#include <kestrel/random_sample.hpp>

#include <Random123/philox.h>

#include <atomic>
#include <cmath>
#include <string>

namespace kestrel::random_sample {
namespace {

std::atomic<std::size_t> g_paths{kDefaultPaths};
std::atomic<std::uint64_t> g_seed{kDefaultSeed};

using Philox = r123::Philox4x32;

// Two independent uniforms in (0, 1) from 64 bits each.
inline double u01(std::uint32_t hi, std::uint32_t lo) {
    const std::uint64_t x = (static_cast<std::uint64_t>(hi) << 32) | lo;
    return (static_cast<double>(x >> 11) + 0.5) * 0x1.0p-53;
}

}  // namespace

void set_paths(std::size_t n) {
    if (n == 0) throw ValueError("number of paths must be at least 1");
    g_paths.store(n);
}
std::size_t paths() { return g_paths.load(); }
void set_seed(std::uint64_t s) { g_seed.store(s); }
std::uint64_t seed() { return g_seed.load(); }
void reset() {
    g_paths.store(kDefaultPaths);
    g_seed.store(kDefaultSeed);
}

void fill_random_samples(std::size_t T, std::size_t first, std::size_t n, std::uint64_t seed,
                         double* out) {
    Philox rng;
    const Philox::key_type key = {{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)}};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t p = first + i;
        double* row = out + i * T;
        // Counter (p, k / 2): one Philox block gives the Box-Muller pair for
        // k = 2m and k = 2m + 1, where k = T - 1 - j counts days from maturity.
        for (std::size_t m = 0; 2 * m < T; ++m) {
            const Philox::ctr_type ctr = {{static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(p >> 32),
                                           static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(m >> 32)}};
            const auto r = rng(ctr, key);
            const double u1 = u01(r.v[0], r.v[1]);
            const double u2 = u01(r.v[2], r.v[3]);
            const double rad = std::sqrt(-2.0 * std::log(u1));
            const double a = 2.0 * M_PI * u2;
            const std::size_t k0 = 2 * m, k1 = 2 * m + 1;
            row[T - 1 - k0] = rad * std::cos(a);
            if (k1 < T) row[T - 1 - k1] = rad * std::sin(a);
        }
    }
}

Matrix get_random_samples(std::size_t T) {
    Matrix m(paths(), T);
    if (T > 0) fill_random_samples(T, 0, m.rows(), seed(), m.data());
    return m;
}

}  // namespace kestrel::random_sample
