#include <kestrel/errors.hpp>
#include <kestrel/random_sample.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <vector>
#include <string>
#include <thread>

#include <sched.h>

// The generator is written as plain loops over a batch of paths so that gcc
// vectorises them; the Box-Muller step is compiled for AVX-512, AVX2 and the
// x86-64 baseline and picked at load time, and Philox has a version per
// instruction set (picked once). The arithmetic is the same IEEE operations
// in the same order in every version (no contraction into FMA, no library
// calls) and Philox is integer arithmetic, so every machine draws the same
// numbers.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define KESTREL_X86_DISPATCH 1
#define KESTREL_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#include <immintrin.h>
#else
#define KESTREL_X86_DISPATCH 0
#define KESTREL_CLONES
#endif

namespace kestrel::random_sample {
namespace {

std::atomic<std::size_t> g_paths{kDefaultPaths};
std::atomic<std::uint64_t> g_seed{kDefaultSeed};
std::atomic<std::size_t> g_threads{0};  // 0: all cores
std::atomic<Draws> g_draws{Draws::double_precision};

// Paths per vector batch: the batch's working arrays stay in L1.
constexpr std::size_t kBatch = 128;

// Philox4x32-10 (Salmon et al., SC'11), as Random123's r123::Philox4x32.
constexpr std::uint32_t kM0 = 0xD2511F53u, kM1 = 0xCD9E8D57u;
constexpr std::uint32_t kW0 = 0x9E3779B9u, kW1 = 0xBB67AE85u;

inline std::uint64_t as_bits(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double as_double(std::uint64_t b) { return std::bit_cast<double>(b); }

// Uniform in (0, 1) from a 32-bit word x: (2x + 1) / 2^33, exact.
inline double open_u01(std::uint64_t x) {
    return as_double(0x3FF0000000000000ull | (static_cast<std::uint64_t>(x) << 20)) - (1.0 - 0x1.0p-33);
}

// Natural logarithm of u in (0, 1), u normal (fdlibm's reduction and
// polynomial, below 1 ulp); written without branches.
inline double log_unit(double u) {
    constexpr double ln2_hi = 6.93147180369123816490e-01, ln2_lo = 1.90821492927058770002e-10;
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    constexpr std::uint64_t mantissa = 0x000FFFFFFFFFFFFFull;
    constexpr std::uint64_t sqrt2_mantissa = 0x6A09E667F3BCDull;  // sqrt(2) = 1.6A09E667F3BCD p0
    const std::uint64_t bits = as_bits(u);
    const std::uint64_t mb = bits & mantissa;
    // Mantissa in (sqrt(2)/2, sqrt(2)] and the exponent to match, as a double
    // (exact through 2^52).
    const std::uint64_t high = static_cast<std::uint64_t>(mb > sqrt2_mantissa);
    const double m = as_double(mb | (0x3FF0000000000000ull - (high << 52)));
    const double k = as_double(((bits >> 52) + high) | 0x4330000000000000ull) - (0x1.0p52 + 1023.0);
    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double R = t2 + t1;
    const double hfsq = 0.5 * f * f;
    return k * ln2_hi - ((hfsq - (s * (hfsq + R) + k * ln2_lo)) - f);
}

// cos and sin of 2 pi u for u in (0, 1): the quadrant comes exactly from
// 4u, the rest is fdlibm's kernels on [-pi/4, pi/4].
inline void cos_sin_turn(double u, double& c_out, double& s_out) {
    constexpr double S1 = -1.66666666666666324348e-01, S2 = 8.33333333332248946124e-03,
                     S3 = -1.98412698298579493134e-04, S4 = 2.75573137070700676789e-06,
                     S5 = -2.50507602534068634195e-08, S6 = 1.58969099521155010221e-10;
    constexpr double C1 = 4.16666666666666019037e-02, C2 = -1.38888888888741095749e-03,
                     C3 = 2.48015872894767294178e-05, C4 = -2.75573143513906633035e-07,
                     C5 = 2.08757232129817482790e-09, C6 = -1.13596475577881948265e-11;
    constexpr double magic = 0x1.8p52;
    constexpr double half_pi = 1.57079632679489661923;
    const double t = 4.0 * u;
    const double y = t + magic;
    const std::uint64_t q = as_bits(y);  // low bits: round(4u)
    const double x = (t - (y - magic)) * half_pi;
    const double z = x * x;
    const double v = z * x;
    const double rs = S2 + z * (S3 + z * (S4 + z * (S5 + z * S6)));
    const double sn = x + v * (S1 + z * rs);
    const double w2 = z * z;
    const double rc = z * (C1 + z * (C2 + z * C3)) + w2 * w2 * (C4 + z * (C5 + z * C6));
    const double hz = 0.5 * z;
    const double wc = 1.0 - hz;
    const double cs = wc + (((1.0 - wc) - hz) + z * rc);
    // Rotate by the quadrant: swap on odd quadrants, then the signs.
    const std::uint64_t swap = 0 - (q & 1);
    const std::uint64_t cb = as_bits(cs), sb = as_bits(sn);
    c_out = as_double(((cb & ~swap) | (sb & swap)) ^ (((q + 1) & 2) << 62));
    s_out = as_double(((sb & ~swap) | (cb & swap)) ^ ((q & 2) << 62));
}

// Box-Muller: normals za, zb from uniforms of the words ua (radius) and ub
// (angle), each word in a 64-bit lane.
inline void box_muller(std::size_t n, const std::uint64_t* __restrict ua, const std::uint64_t* __restrict ub,
                       double* __restrict za, double* __restrict zb) {
    for (std::size_t i = 0; i < n; ++i) {
        const double rad = __builtin_sqrt(-2.0 * log_unit(open_u01(ua[i])));
        double c, s;
        cos_sin_turn(open_u01(ub[i]), c, s);
        za[i] = rad * c;
        zb[i] = rad * s;
    }
}

KESTREL_CLONES
void box_muller_quads(std::size_t n, const std::uint64_t (&w)[4][kBatch], double* const z[4]) {
    box_muller(n, w[0], w[1], z[0], z[1]);
    box_muller(n, w[2], w[3], z[2], z[3]);
}

// Single-precision draws: the same words, each turned into a float uniform
// and the pair into two normals by Box-Muller in binary32, sixteen lanes a
// vector where the doubles take eight. Each uniform is (x + 1/2) / 2^32, as in
// double precision, rounded to float: as small as 2^-33, so the tails still
// reach 6.8 standard deviations, and each draw is the double-precision draw of
// the same words to about float precision.

inline std::uint32_t as_bits32(float x) { return std::bit_cast<std::uint32_t>(x); }
inline float as_float(std::uint32_t b) { return std::bit_cast<float>(b); }

// Natural logarithm of u in (0, 1], u normal, in float: fdlibm's logf
// reduction and polynomial, without branches.
inline float log_unit_f(float u) {
    constexpr float ln2_hi = 6.9313812256e-01f, ln2_lo = 9.0580006145e-06f;
    constexpr float Lg1 = 0xaaaaaa.0p-24f, Lg2 = 0xccce13.0p-25f, Lg3 = 0x91e9ee.0p-25f, Lg4 = 0xf89e26.0p-26f;
    constexpr std::uint32_t sqrt2_mantissa = 0x3504F3u;  // sqrt(2) = 1.3504F3 p0
    const std::uint32_t bits = as_bits32(u);
    const std::uint32_t mb = bits & 0x007FFFFFu;
    const std::uint32_t high = static_cast<std::uint32_t>(mb > sqrt2_mantissa);
    const float m = as_float(mb | (0x3F800000u - (high << 23)));
    const float k = static_cast<float>(static_cast<std::int32_t>((bits >> 23) + high) - 127);
    const float f = m - 1.0f;
    const float s = f / (2.0f + f);
    const float z = s * s;
    const float w = z * z;
    const float t1 = w * (Lg2 + w * Lg4);
    const float t2 = z * (Lg1 + w * Lg3);
    const float R = t2 + t1;
    const float hfsq = 0.5f * f * f;
    return k * ln2_hi - ((hfsq - (s * (hfsq + R) + k * ln2_lo)) - f);
}

// cos and sin of 2 pi u for u in [0, 1] in float: the quadrant exactly from
// 4u, then minimax polynomials on [-pi/4, pi/4] (relative error near 1e-7).
inline void cos_sin_turn_f(float u, float& c_out, float& s_out) {
    constexpr float S1 = -1.6666654611e-1f, S2 = 8.3321608736e-3f, S3 = -1.9515295891e-4f;
    constexpr float C1 = 4.166664568298827e-2f, C2 = -1.388731625493765e-3f, C3 = 2.443315711809948e-5f;
    constexpr float magic = 0x1.8p23f;
    constexpr float half_pi = 1.57079632679489661923f;
    const float t = 4.0f * u;
    const float y = t + magic;
    const std::uint32_t q = as_bits32(y);  // low bits: round(4u)
    const float x = (t - (y - magic)) * half_pi;
    const float z = x * x;
    const float sn = x + ((S3 * z + S2) * z + S1) * z * x;
    const float cs = (1.0f - 0.5f * z) + ((C3 * z + C2) * z + C1) * z * z;
    const std::uint32_t swap = 0u - (q & 1u);
    const std::uint32_t cb = as_bits32(cs), sb = as_bits32(sn);
    c_out = as_float(((cb & ~swap) | (sb & swap)) ^ (((q + 1u) & 2u) << 30));
    s_out = as_float(((sb & ~swap) | (cb & swap)) ^ ((q & 2u) << 30));
}

inline void box_muller_single(std::size_t n, const std::uint64_t* __restrict ua, const std::uint64_t* __restrict ub,
                              double* __restrict za, double* __restrict zb) {
    for (std::size_t i = 0; i < n; ++i) {
        const float u = (static_cast<float>(static_cast<std::uint32_t>(ua[i])) + 0.5f) * 0x1p-32f;
        const float rad = __builtin_sqrtf(-2.0f * log_unit_f(u));
        float c, s;
        cos_sin_turn_f((static_cast<float>(static_cast<std::uint32_t>(ub[i])) + 0.5f) * 0x1p-32f, c, s);
        za[i] = static_cast<double>(rad * c);
        zb[i] = static_cast<double>(rad * s);
    }
}

KESTREL_CLONES
void box_muller_quads_single(std::size_t n, const std::uint64_t (&w)[4][kBatch], double* const z[4]) {
    box_muller_single(n, w[0], w[1], z[0], z[1]);
    box_muller_single(n, w[2], w[3], z[2], z[3]);
}

// Philox4x32-10 of the counters (first + i, c), i < n <= kBatch: word d of
// counter i in w[d][i]. Three versions give the same words: 32-bit lanes
// (portable), 64-bit lanes with AVX2's 32 x 32 -> 64 multiply, and 64-bit
// lanes where AVX-512 multiplies them natively. The vector versions may fill
// lanes up to the next multiple of 4 (w holds kBatch).
using PhiloxFn = void (*)(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed,
                          std::uint64_t (&w)[4][kBatch]);

void philox_portable(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed,
                     std::uint64_t (&w)[4][kBatch]) {
    const std::uint32_t key0 = static_cast<std::uint32_t>(seed), key1 = static_cast<std::uint32_t>(seed >> 32);
    const std::uint32_t c_lo = static_cast<std::uint32_t>(c), c_hi = static_cast<std::uint32_t>(c >> 32);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t p = first + i;
        std::uint32_t x0 = static_cast<std::uint32_t>(p), x1 = static_cast<std::uint32_t>(p >> 32);
        std::uint32_t x2 = c_lo, x3 = c_hi;
        std::uint32_t k0 = key0, k1 = key1;
#pragma GCC unroll 10
        for (int r = 0; r < 10; ++r) {
            const std::uint64_t p0 = static_cast<std::uint64_t>(kM0) * x0;
            const std::uint64_t p1 = static_cast<std::uint64_t>(kM1) * x2;
            const std::uint32_t y0 = static_cast<std::uint32_t>(p1 >> 32) ^ x1 ^ k0;
            const std::uint32_t y2 = static_cast<std::uint32_t>(p0 >> 32) ^ x3 ^ k1;
            x1 = static_cast<std::uint32_t>(p1);
            x3 = static_cast<std::uint32_t>(p0);
            x0 = y0;
            x2 = y2;
            k0 += kW0;
            k1 += kW1;
        }
        w[0][i] = x0;
        w[1][i] = x1;
        w[2][i] = x2;
        w[3][i] = x3;
    }
}

#if KESTREL_X86_DISPATCH
__attribute__((target("arch=x86-64-v4"))) void philox_avx512(std::uint64_t first, std::size_t n, std::uint64_t c,
                                                              std::uint64_t seed, std::uint64_t (&w)[4][kBatch]) {
    constexpr std::uint64_t lo = 0xFFFFFFFFull;
    std::uint64_t keys0[10], keys1[10];
    std::uint32_t k0 = static_cast<std::uint32_t>(seed), k1 = static_cast<std::uint32_t>(seed >> 32);
    for (int r = 0; r < 10; ++r) {
        keys0[r] = k0;
        keys1[r] = k1;
        k0 += kW0;
        k1 += kW1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t p = first + i;
        std::uint64_t x0 = p & lo, x1 = p >> 32, x2 = c & lo, x3 = c >> 32;
#pragma GCC unroll 10
        for (int r = 0; r < 10; ++r) {
            const std::uint64_t p0 = x0 * kM0, p1 = x2 * kM1;  // both factors below 2^32
            const std::uint64_t y0 = (p1 >> 32) ^ x1 ^ keys0[r], y2 = (p0 >> 32) ^ x3 ^ keys1[r];
            x1 = p1 & lo;
            x3 = p0 & lo;
            x0 = y0;
            x2 = y2;
        }
        w[0][i] = x0;
        w[1][i] = x1;
        w[2][i] = x2;
        w[3][i] = x3;
    }
}

__attribute__((target("avx2"))) void philox_avx2(std::uint64_t first, std::size_t n, std::uint64_t c,
                                                 std::uint64_t seed, std::uint64_t (&w)[4][kBatch]) {
    __m256i keys0[10], keys1[10];
    std::uint32_t k0 = static_cast<std::uint32_t>(seed), k1 = static_cast<std::uint32_t>(seed >> 32);
    for (int r = 0; r < 10; ++r) {
        keys0[r] = _mm256_set1_epi64x(k0);
        keys1[r] = _mm256_set1_epi64x(k1);
        k0 += kW0;
        k1 += kW1;
    }
    const __m256i lo = _mm256_set1_epi64x(0xFFFFFFFFll);
    const __m256i m0 = _mm256_set1_epi64x(kM0), m1 = _mm256_set1_epi64x(kM1);
    const __m256i c_lo = _mm256_set1_epi64x(static_cast<long long>(c & 0xFFFFFFFFull));
    const __m256i c_hi = _mm256_set1_epi64x(static_cast<long long>(c >> 32));
    for (std::size_t i = 0; i < n; i += 4) {
        const __m256i p = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(first + i)),
                                           _mm256_setr_epi64x(0, 1, 2, 3));
        __m256i x0 = _mm256_and_si256(p, lo), x1 = _mm256_srli_epi64(p, 32), x2 = c_lo, x3 = c_hi;
#pragma GCC unroll 10
        for (int r = 0; r < 10; ++r) {
            const __m256i p0 = _mm256_mul_epu32(x0, m0), p1 = _mm256_mul_epu32(x2, m1);
            const __m256i y0 = _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(p1, 32), x1), keys0[r]);
            const __m256i y2 = _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(p0, 32), x3), keys1[r]);
            x1 = _mm256_and_si256(p1, lo);
            x3 = _mm256_and_si256(p0, lo);
            x0 = y0;
            x2 = y2;
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(w[0] + i), x0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(w[1] + i), x1);
        _mm256_store_si256(reinterpret_cast<__m256i*>(w[2] + i), x2);
        _mm256_store_si256(reinterpret_cast<__m256i*>(w[3] + i), x3);
    }
}

PhiloxFn pick_philox() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx2"))
        return &philox_avx512;
    if (__builtin_cpu_supports("avx2")) return &philox_avx2;
    return &philox_portable;
}
#else
PhiloxFn pick_philox() { return &philox_portable; }
#endif

// The four normals of counters (first + i, c), i < n <= kBatch: z[d][i] is
// draw k = 4c + d of path first + i.
void normal_quads(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed, double* const z[4]) {
    static const PhiloxFn philox = pick_philox();
    alignas(64) std::uint64_t w[4][kBatch];
    philox(first, n, c, seed, w);
    if (g_draws.load(std::memory_order_relaxed) == Draws::single_precision)
        box_muller_quads_single(n, w, z);
    else
        box_muller_quads(n, w, z);
}

std::size_t all_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned h = std::thread::hardware_concurrency();
    return h ? h : 1;
}

}  // namespace

void set_paths(std::size_t n) {
    if (n == 0) throw ValueError("number of paths must be at least 1");
    g_paths.store(n);
}
std::size_t paths() { return g_paths.load(); }
void set_seed(std::uint64_t s) { g_seed.store(s); }
std::uint64_t seed() { return g_seed.load(); }

void set_threads(std::size_t n) {
    if (n == 0) throw ValueError("number of threads must be at least 1");
    g_threads.store(n);
}
std::size_t threads() {
    const std::size_t n = g_threads.load();
    return n ? n : hardware_threads();
}
std::size_t hardware_threads() {
    static const std::size_t n = all_cores();
    return n;
}

void reset() {
    g_paths.store(kDefaultPaths);
    g_seed.store(kDefaultSeed);
    g_threads.store(0);
    g_draws.store(Draws::double_precision);
}

void set_draws(Draws d) { g_draws.store(d); }
Draws draws() { return g_draws.load(); }

void fill_random_samples_by_day(std::size_t T, std::size_t first, std::size_t n, std::size_t col0, std::size_t col1,
                                std::uint64_t seed, double* out) {
    col1 = std::min(col1, T);
    if (n == 0 || col0 >= col1) return;
    alignas(64) double scratch[4][kBatch];
    // Days j in [col0, col1) are draws k = T - 1 - j in [T - col1, T - 1 - col0];
    // counter c makes k = 4c + d, d = 0..3, on day T - 1 - 4c - d.
    const std::size_t c_lo = (T - col1) / 4, c_hi = (T - 1 - col0) / 4;
    for (std::size_t c = c_lo; c <= c_hi; ++c) {
        for (std::size_t i = 0; i < n; i += kBatch) {
            const std::size_t nb = std::min(kBatch, n - i);
            double* z[4];
            for (std::size_t d = 0; d < 4; ++d) {
                const std::size_t k = 4 * c + d;
                const bool wanted = k < T && T - 1 - k >= col0 && T - 1 - k < col1;
                z[d] = wanted ? out + (T - 1 - k - col0) * n + i : scratch[d];
            }
            normal_quads(first + i, nb, c, seed, z);
        }
    }
}

void fill_random_samples(std::size_t T, std::size_t first, std::size_t n, std::uint64_t seed, double* out) {
    if (T == 0 || n == 0) return;
    // Day-major batches, turned into rows.
    std::vector<double> buf(T * kBatch);
    for (std::size_t i = 0; i < n; i += kBatch) {
        const std::size_t nb = std::min(kBatch, n - i);
        fill_random_samples_by_day(T, first + i, nb, 0, T, seed, buf.data());
        for (std::size_t r = 0; r < nb; ++r) {
            double* row = out + (i + r) * T;
            for (std::size_t j = 0; j < T; ++j) row[j] = buf[j * nb + r];
        }
    }
}

Matrix get_random_samples(std::size_t T) {
    Matrix m(paths(), T);
    if (T > 0) fill_random_samples(T, 0, m.rows(), seed(), m.data());
    return m;
}

}  // namespace kestrel::random_sample
