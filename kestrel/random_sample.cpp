#include <kestrel/engines/mc/draws.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/random_sample.hpp>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>
#include <string>
#include <thread>

#include <hwy/targets.h>

#include <sched.h>

// The generator's kernel (Philox and Box-Muller) is in engines/mc/draws.cpp,
// compiled for every instruction set and picked at run time; the choice is
// restricted here (set_simd, KESTREL_SIMD) through Highway's target mask.

namespace kestrel::random_sample {
namespace {

std::atomic<std::size_t> g_paths{kDefaultPaths};
std::atomic<std::uint64_t> g_seed{kDefaultSeed};
std::atomic<std::size_t> g_threads{0};  // 0: all cores
std::atomic<Draws> g_draws{Draws::double_precision};

// Paths per vector batch: the batch's working arrays stay in L1.
constexpr std::size_t kBatch = 128;

// The four normals of counters (first + i, c), i < n <= kBatch: z[d][i] is
// draw k = 4c + d of path first + i.
void normal_quads(std::uint64_t first, std::size_t n, std::uint64_t c, std::uint64_t seed, Draws draws,
                  double* const z[4]) {
    engines::mc::normal_quads(first, n, c, seed, draws == Draws::single_precision, z);
}

struct SimdTarget {
    Simd simd;
    const char* name;
    std::int64_t targets;  // Highway's targets that count as it
};
constexpr SimdTarget kSimdTargets[] = {{Simd::avx512, "avx512", HWY_AVX3 | HWY_AVX3_DL},
                                       {Simd::avx2, "avx2", HWY_AVX2},
                                       {Simd::sse4, "sse4", HWY_SSE4},
                                       {Simd::baseline, "baseline", HWY_EMU128 | HWY_SCALAR}};

const SimdTarget& simd_target(Simd simd) {
    for (const SimdTarget& t : kSimdTargets)
        if (t.simd == simd) return t;
    throw ValueError("no such instruction set");
}

// What the processor has, read before any restriction.
std::int64_t machine_targets() {
    static const std::int64_t targets = [] {
        hwy::SetSupportedTargetsForTest(0);
        return hwy::SupportedTargets() | HWY_EMU128;
    }();
    return targets;
}

bool machine_has(Simd simd) {
    return simd == Simd::automatic || simd == Simd::baseline || (machine_targets() & simd_target(simd).targets) != 0;
}

std::string machine_list() {
    std::string out;
    for (Simd s : supported_simd()) out += (out.empty() ? "" : ", ") + std::string(simd_name(s));
    return out;
}

std::mutex g_simd_mutex;
Simd g_simd = Simd::automatic;
std::string g_simd_error;  // KESTREL_SIMD's fault, if any
std::atomic<bool> g_simd_faulty{false};

void apply_simd(Simd simd) {
    // Highway then dispatches to the best of the targets it is told the
    // machine has; the baseline is always among them.
    hwy::SetSupportedTargetsForTest(simd == Simd::automatic ? 0 : (simd_target(simd).targets & machine_targets()) | HWY_EMU128);
    g_simd = simd;
}

void check_simd(Simd simd) {
    if (!machine_has(simd))
        throw ValueError(std::string("this machine has no ") + simd_name(simd) + " (it has " + machine_list() + ")");
}

// KESTREL_SIMD's choice, or automatic; an unusable one is kept as an error
// for simd() to raise.
Simd environment_simd() {
    g_simd_error.clear();
    g_simd_faulty = false;
    const char* text = std::getenv("KESTREL_SIMD");
    if (!text || !*text) return Simd::automatic;
    try {
        const Simd s = parse_simd(text);
        check_simd(s);
        return s;
    } catch (const Error& e) {
        g_simd_error = std::string("KESTREL_SIMD: ") + e.what();
        g_simd_faulty = true;
        return Simd::automatic;
    }
}

[[maybe_unused]] const bool g_simd_loaded = [] {
    std::lock_guard<std::mutex> lock(g_simd_mutex);
    apply_simd(environment_simd());
    return true;
}();

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
    std::lock_guard<std::mutex> lock(g_simd_mutex);
    apply_simd(environment_simd());
}

const char* simd_name(Simd simd) { return simd == Simd::automatic ? "auto" : simd_target(simd).name; }

Simd parse_simd(const std::string& name) {
    if (name == "auto") return Simd::automatic;
    for (const SimdTarget& t : kSimdTargets)
        if (name == t.name) return t.simd;
    throw ValueError("unknown instruction set '" + name + "' (choose auto, avx512, avx2, sse4 or baseline)");
}

std::vector<Simd> supported_simd() {
    std::vector<Simd> out;
    for (const SimdTarget& t : kSimdTargets)
        if (machine_has(t.simd)) out.push_back(t.simd);
    return out;
}

void set_simd(Simd simd) {
    check_simd(simd);
    std::lock_guard<std::mutex> lock(g_simd_mutex);
    g_simd_error.clear();
    g_simd_faulty = false;
    apply_simd(simd);
}

Simd simd() {
    std::lock_guard<std::mutex> lock(g_simd_mutex);
    if (!g_simd_error.empty()) throw ValueError(g_simd_error);
    return g_simd;
}

Simd dispatched_simd() {
    const std::int64_t target = engines::mc::dispatched_target();
    for (const SimdTarget& t : kSimdTargets)
        if (target & t.targets) return t.simd;
    return Simd::baseline;
}

void set_draws(Draws d) { g_draws.store(d); }
Draws draws() { return g_draws.load(); }

Settings current_settings() {
    Settings s;
    s.paths = paths();
    s.seed = seed();
    s.threads = threads();
    s.draws = draws();
    std::lock_guard<std::mutex> lock(g_simd_mutex);
    s.simd = g_simd;
    return s;
}

std::int64_t simd_targets(Simd simd) {
    check_simd(simd);
    return simd == Simd::automatic ? machine_targets() : (simd_target(simd).targets & machine_targets()) | HWY_EMU128;
}

void fill_random_samples_by_day(std::size_t T, std::size_t first, std::size_t n, std::size_t col0, std::size_t col1,
                                std::uint64_t seed, double* out) {
    fill_random_samples_by_day(T, first, n, col0, col1, seed, g_draws.load(std::memory_order_relaxed), out);
}

void fill_random_samples_by_day(std::size_t T, std::size_t first, std::size_t n, std::size_t col0, std::size_t col1,
                                std::uint64_t seed, Draws draws, double* out) {
    if (g_simd_faulty.load(std::memory_order_relaxed)) simd();  // raises KESTREL_SIMD's fault
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
            normal_quads(first + i, nb, c, seed, draws, z);
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
