#pragma once
// Standard normal shocks for the Monte Carlo products.
//
// The draws form an N x T matrix (N paths, T grid days). Draw (p, j) is a pure
// function of (seed, p, T - 1 - j): counter-based (Philox4x32-10), so
//  - two calls with the same T return the same matrix;
//  - when a grid loses its first day (the evaluation date moves forward), the
//    days both grids share keep their shocks (common random numbers for theta);
//  - any block of rows can be made alone, in any order, on any thread, and
//    equals the same rows of the full matrix.
//
// Settings are process-wide: set_paths / set_seed / set_threads, read back with
// paths(), seed() and threads(). Defaults: 100,000 paths, seed 20240101, all
// cores. A valuation takes them once, as a Settings value (current_settings),
// and its engines read that value.
//
// Generator: Philox4x32-10 on the counter (p, k / 4) and the 64-bit seed as key;
// its four 32-bit words are four uniforms (2x + 1) / 2^33, and Box-Muller turns
// words 0, 1 into draws k, k + 1 and words 2, 3 into k + 2, k + 3 (k = 0 mod 4). The logarithm, sine and cosine are the library's own
// branch-free polynomials, so the draws vectorise and are the same numbers on
// every x86-64 machine.
#include <kestrel/export.hpp>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::random_sample {

inline constexpr std::size_t kDefaultPaths = 100000;
inline constexpr std::uint64_t kDefaultSeed = 20240101;

KESTREL_RANDOM_SAMPLE_EXPORT void set_paths(std::size_t n);  // n >= 1
KESTREL_RANDOM_SAMPLE_EXPORT std::size_t paths();
KESTREL_RANDOM_SAMPLE_EXPORT void set_seed(std::uint64_t seed);
KESTREL_RANDOM_SAMPLE_EXPORT std::uint64_t seed();
// Threads the Monte Carlo products simulate on (n >= 1; ValueError otherwise).
// Values do not depend on it: paths are cut into fixed blocks whatever the
// thread count, and the block sums are added in block order.
KESTREL_RANDOM_SAMPLE_EXPORT void set_threads(std::size_t n);
KESTREL_RANDOM_SAMPLE_EXPORT std::size_t threads();
// The precision of the draws. double_precision (the default) is the generator
// described above. single_precision takes the same Philox words and does the
// Box-Muller step in binary32 (sixteen lanes a vector instead of eight): about
// twice the draws a second, each a float (about 7 significant digits) widened
// to double, so the values move within their Monte Carlo error. Either is the
// same on every machine and thread count.
enum class Draws { double_precision, single_precision };
KESTREL_RANDOM_SAMPLE_EXPORT void set_draws(Draws draws);
KESTREL_RANDOM_SAMPLE_EXPORT Draws draws();
// The instruction set the Monte Carlo kernels (Philox, Box-Muller, the path
// steps) run on. automatic (the default) takes the best this machine has;
// the others restrict run-time dispatch to that one. Values, Greeks and
// statistics are the same bit for bit on every one. The environment variable
// KESTREL_SIMD (auto, avx512, avx2, sse4 or baseline) sets the default when
// the library loads.
enum class Simd { automatic, avx512, avx2, sse4, baseline };
// The name as the command line and KESTREL_SIMD spell it ("auto" for automatic).
KESTREL_RANDOM_SAMPLE_EXPORT const char* simd_name(Simd simd);
// The instruction set a name spells; ValueError naming the choices otherwise.
KESTREL_RANDOM_SAMPLE_EXPORT Simd parse_simd(const std::string& name);
// The instruction sets this machine runs the kernels on, best first (baseline
// always, automatic never).
KESTREL_RANDOM_SAMPLE_EXPORT std::vector<Simd> supported_simd();
// ValueError naming the instruction set and the ones this machine has when it
// lacks it. Not while a simulation runs.
KESTREL_RANDOM_SAMPLE_EXPORT void set_simd(Simd simd);
// The choice in force; ValueError when KESTREL_SIMD names one this machine
// lacks or none at all.
KESTREL_RANDOM_SAMPLE_EXPORT Simd simd();
// The instruction set the kernels dispatch to now (never automatic).
KESTREL_RANDOM_SAMPLE_EXPORT Simd dispatched_simd();
// The cores this process may run on.
KESTREL_RANDOM_SAMPLE_EXPORT std::size_t hardware_threads();
// The settings above as one value: what a valuation carries (its context
// takes the ones in force where it is made) so that nothing it runs reads
// them from the process. threads is the count in force (never 0).
struct Settings {
    std::size_t paths = kDefaultPaths;
    std::uint64_t seed = kDefaultSeed;
    std::size_t threads = 1;
    Draws draws = Draws::double_precision;
    Simd simd = Simd::automatic;
};
// The settings in force now. Never raises: a KESTREL_SIMD this machine cannot
// honour reads as automatic here and is raised when draws are made.
KESTREL_RANDOM_SAMPLE_EXPORT Settings current_settings();
// The instruction-set mask (Highway's target bits) a choice allows on this
// machine: the kernels dispatch to the best of them.
KESTREL_RANDOM_SAMPLE_EXPORT std::int64_t simd_targets(Simd simd);
// Highway's target bits the kernels called on this thread may dispatch to
// (0: the process's choice), and their installation for one scope: a
// valuation that carries its own instruction set installs it on each thread
// that runs its kernels, and restores the one before on exit.
KESTREL_RANDOM_SAMPLE_EXPORT std::int64_t thread_targets() noexcept;
class KESTREL_RANDOM_SAMPLE_EXPORT ScopedTargets {
  public:
    explicit ScopedTargets(std::int64_t targets) noexcept;
    ~ScopedTargets();
    ScopedTargets(const ScopedTargets&) = delete;
    ScopedTargets& operator=(const ScopedTargets&) = delete;

  private:
    std::int64_t previous_;
};

// Puts all settings back to their defaults (the instruction set to KESTREL_SIMD's
// or automatic).
KESTREL_RANDOM_SAMPLE_EXPORT void reset();

// Row-major N x T matrix of doubles.
class KESTREL_RANDOM_SAMPLE_EXPORT Matrix {
  public:
    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols) {}
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    double& operator()(std::size_t r, std::size_t c) noexcept { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const noexcept { return data_[r * cols_ + c]; }
    double* row(std::size_t r) noexcept { return data_.data() + r * cols_; }
    const double* row(std::size_t r) const noexcept { return data_.data() + r * cols_; }
    double* data() noexcept { return data_.data(); }
    const double* data() const noexcept { return data_.data(); }

  private:
    std::size_t rows_ = 0, cols_ = 0;
    std::vector<double> data_;
};

// The full paths() x T matrix with the current seed.
KESTREL_RANDOM_SAMPLE_EXPORT Matrix get_random_samples(std::size_t T);

// Rows [first, first + n) of the matrix above, written row-major into out
// (n * T doubles), with an explicit seed. Makes none of the other rows.
KESTREL_RANDOM_SAMPLE_EXPORT void fill_random_samples(std::size_t T, std::size_t first, std::size_t n, std::uint64_t seed,
                         double* out);

// Columns [col0, col1) of rows [first, first + n) of the same matrix, day by
// day: out[(j - col0) * n + i] is draw (first + i, j). The streaming layout of
// the Monte Carlo kernel (one day of a block of paths is contiguous). col1 is
// clipped to T. Cheapest when a range does not split the four days k .. k + 3
// (k = 0 mod 4) that one counter makes: start ranges at 0 or at a j with
// T - j a multiple of 4.
KESTREL_RANDOM_SAMPLE_EXPORT void fill_random_samples_by_day(std::size_t T, std::size_t first, std::size_t n, std::size_t col0,
                                std::size_t col1, std::uint64_t seed, double* out);
// The same with the draws' precision given rather than the one in force.
KESTREL_RANDOM_SAMPLE_EXPORT void fill_random_samples_by_day(std::size_t T, std::size_t first, std::size_t n, std::size_t col0,
                                std::size_t col1, std::uint64_t seed, Draws draws, double* out);

}  // namespace kestrel::random_sample
