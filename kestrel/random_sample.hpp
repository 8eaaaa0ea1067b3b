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
// Settings are process-wide: set_paths / set_seed, read back with paths() and
// seed(). Defaults: 100,000 paths, seed 20240101.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel::random_sample {

inline constexpr std::size_t kDefaultPaths = 100000;
inline constexpr std::uint64_t kDefaultSeed = 20240101;

void set_paths(std::size_t n);  // n >= 1
std::size_t paths();
void set_seed(std::uint64_t seed);
std::uint64_t seed();
// Puts both settings back to their defaults.
void reset();

// Row-major N x T matrix of doubles.
class Matrix {
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
Matrix get_random_samples(std::size_t T);

// Rows [first, first + n) of the matrix above, written row-major into out
// (n * T doubles), with an explicit seed. Makes none of the other rows.
void fill_random_samples(std::size_t T, std::size_t first, std::size_t n, std::uint64_t seed,
                         double* out);

}  // namespace kestrel::random_sample
