#pragma once
// A calibrated volatility surface (SVI smiles per expiry, total variance
// linear in time between them) and the local volatility Dupire's formula
// takes from it, pointwise or precomputed on a grid for the engines.
//
// Dupire in total variance w(k, t), k = ln(K / F(t)):
//   sigma_loc^2 = dw/dt / g,
//   g = 1 - k/w dw/dk + 1/4 (-1/4 - 1/w + k^2/w^2) (dw/dk)^2 + 1/2 d2w/dk2,
// with the derivatives in k analytic from SVI and dw/dt at fixed k that of
// the linear interpolation in time (so the local volatility steps at each
// expiry). It is clamped to [floor, cap]; where g is not positive (a
// butterfly arbitrage the fit did not remove) it takes the cap.
#include <kestrel/export.hpp>

#include <cstddef>
#include <vector>

namespace kestrel::vol {

// Raw SVI total variance in k = ln(K / F).
struct KESTREL_VOL_EXPORT SviParameters {
    double a = 0, b = 0, rho = 0, m = 0, sigma = 0.1;
    double w(double k) const;
    double dw(double k) const;   // dw/dk
    double d2w(double k) const;  // d2w/dk2
};

// The butterfly density factor of a total-variance smile at k:
// g = (1 - k w'/(2w))^2 - w'^2/4 (1/w + 1/4) + w''/2 (g >= 0: no butterfly
// arbitrage). Also the denominator of Dupire's formula in total variance.
KESTREL_VOL_EXPORT double butterfly_g(double k, double w, double dw, double d2w);

// Local volatilities on days x log-spot nodes: vols[i * log_spots.size() + j]
// at times[i] (years) and log spot log_spots[j].
struct KESTREL_VOL_EXPORT LocalVolGrid {
    std::vector<double> times, log_spots, vols;
    double at(std::size_t i, std::size_t j) const { return vols[i * log_spots.size() + j]; }
    // Linear in log spot on row i, flat beyond the end nodes.
    double on_row(std::size_t i, double log_spot) const;
    // Linear in time and log spot, flat beyond the grid.
    double operator()(double t, double log_spot) const;
};

// A calibrated surface: implied and local volatility anywhere.
class KESTREL_VOL_EXPORT VolSurface {
  public:
    VolSurface() = default;
    VolSurface(double spot, std::vector<double> times, std::vector<double> forwards,
               std::vector<SviParameters> smiles, double local_vol_floor, double local_vol_cap);

    double spot() const noexcept { return spot_; }
    const std::vector<double>& times() const noexcept { return times_; }
    // The forward at t years (log-linear between expiries).
    double forward(double t) const;
    // Total implied variance at log-moneyness k = ln(K / F(t)) and t, with
    // its derivatives in k (dk, dkk) and in t at fixed k (dt).
    struct Variance {
        double w, dk, dkk, dt;
    };
    Variance variance(double k, double t) const;
    // Black implied volatility at strike K and t years.
    double implied_vol(double strike, double t) const;
    // Dupire's local volatility at t years and spot S (clamped to the floor
    // and cap), and the same before clamping (NaN where the denominator is
    // not positive).
    double local_vol(double t, double spot) const;
    double raw_local_vol(double t, double spot) const;
    // local_vol at t for each of n log spots (the forward and the expiries
    // bracketing t found once): the same numbers as local_vol(t, exp(y)) up
    // to the rounding of exp and log.
    void local_vol_row(double t, const double* log_spots, std::size_t n, double* out) const;
    // Precomputed for engines: times (years, non-decreasing, >= 0) by log-spot
    // nodes (increasing). ValueError for nodes out of order or not finite.
    LocalVolGrid local_vol_grid(const std::vector<double>& times, const std::vector<double>& log_spots) const;

    double local_vol_floor() const noexcept { return floor_; }
    double local_vol_cap() const noexcept { return cap_; }

  private:
    double spot_ = 0;
    std::vector<double> times_, forwards_;
    std::vector<SviParameters> smiles_;
    double floor_ = 0.01, cap_ = 1.5;
};

}  // namespace kestrel::vol
