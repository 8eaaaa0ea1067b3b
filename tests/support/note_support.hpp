#pragma once
// Helpers for the autocallable-note tests: Monte Carlo settings for a scope,
// and the terms of a plain one-year note.
#include <kestrel/keel.hpp>
#include <kestrel/random_sample.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel::test {

// Sets the path count (and optionally the seed) for a scope and puts back
// the paths, seed, thread count and draws' precision it found.
class ScopedPaths {
  public:
    explicit ScopedPaths(std::size_t n, std::uint64_t seed = random_sample::kDefaultSeed)
        : paths_(random_sample::paths()), seed_(random_sample::seed()), threads_(random_sample::threads()),
          draws_(random_sample::draws()) {
        random_sample::set_paths(n);
        random_sample::set_seed(seed);
    }
    ~ScopedPaths() {
        random_sample::set_paths(paths_);
        random_sample::set_seed(seed_);
        random_sample::set_threads(threads_);
        random_sample::set_draws(draws_);
    }
    ScopedPaths(const ScopedPaths&) = delete;
    ScopedPaths& operator=(const ScopedPaths&) = delete;

  private:
    std::size_t paths_;
    std::uint64_t seed_;
    std::size_t threads_;
    random_sample::Draws draws_;
};

// A one-year note on a made-up underlying "NOTE.TEST": effect and observation
// start 2025-01-02, maturity and observation end 2026-01-05, s0 100, strike
// 100, knock-in 80 daily, knock-out 103 monthly, coupon 20 % a year.
inline Terms one_year_note(const std::string& type) {
    return Terms{{"type", type},
                 {"effect_date", "2025-01-02"},
                 {"maturity_date", "2026-01-05"},
                 {"underlying", "NOTE.TEST"},
                 {"s0", 100.0},
                 {"notional", 1000000.0},
                 {"strike", 100.0},
                 {"ki_barrier", 80.0},
                 {"ko_barrier", 103.0},
                 {"coupon_rate", 0.2},
                 {"ki_obs_freq", "daily"},
                 {"ko_obs_freq", "monthly"},
                 {"obs_start_date", "2025-01-02"},
                 {"obs_end_date", "2026-01-05"}};
}

}  // namespace kestrel::test
