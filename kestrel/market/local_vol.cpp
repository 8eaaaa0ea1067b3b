#include <kestrel/errors.hpp>
#include <kestrel/market/local_vol.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

namespace kestrel::vol {

double SviParameters::w(double k) const {
    const double x = k - m;
    return a + b * (rho * x + std::sqrt(x * x + sigma * sigma));
}

double SviParameters::dw(double k) const {
    const double x = k - m;
    return b * (rho + x / std::sqrt(x * x + sigma * sigma));
}

double SviParameters::d2w(double k) const {
    const double x = k - m;
    const double r2 = x * x + sigma * sigma;
    return b * sigma * sigma / (r2 * std::sqrt(r2));
}

double butterfly_g(double k, double w, double dw, double d2w) {
    const double u = 1.0 - k * dw / (2.0 * w);
    return u * u - dw * dw / 4.0 * (1.0 / w + 0.25) + d2w / 2.0;
}

namespace {

// Index i with nodes[i] <= x < nodes[i + 1] and the weight of nodes[i + 1],
// clamped to the ends (flat beyond them).
std::pair<std::size_t, double> locate(const std::vector<double>& nodes, double x) {
    if (nodes.size() == 1 || x <= nodes.front()) return {0, 0.0};
    if (x >= nodes.back()) return {nodes.size() - 2, 1.0};
    const auto it = std::upper_bound(nodes.begin(), nodes.end(), x);
    const std::size_t i = static_cast<std::size_t>(it - nodes.begin()) - 1;
    const double span = nodes[i + 1] - nodes[i];
    return {i, span > 0 ? (x - nodes[i]) / span : 0.0};
}

// The smallest time the formulas are evaluated at: at t = 0 the total
// variance is 0 and Dupire's ratios are 0 / 0 (their limit is finite).
constexpr double kMinTime = 1e-6;

}  // namespace

double LocalVolGrid::on_row(std::size_t i, double log_spot) const {
    const auto [j, u] = locate(log_spots, log_spot);
    if (log_spots.size() == 1) return at(i, 0);
    return (1.0 - u) * at(i, j) + u * at(i, j + 1);
}

double LocalVolGrid::operator()(double t, double log_spot) const {
    const auto [i, u] = locate(times, t);
    if (times.size() == 1 || u == 0.0) return on_row(i, log_spot);
    return (1.0 - u) * on_row(i, log_spot) + u * on_row(i + 1, log_spot);
}

VolSurface::VolSurface(double spot, std::vector<double> times, std::vector<double> forwards,
                       std::vector<SviParameters> smiles, double local_vol_floor, double local_vol_cap)
    : spot_(spot), times_(std::move(times)), forwards_(std::move(forwards)), smiles_(std::move(smiles)),
      floor_(local_vol_floor), cap_(local_vol_cap) {
    if (!(spot_ > 0) || !std::isfinite(spot_)) throw ValueError("volatility surface: spot must be positive");
    if (times_.empty() || times_.size() != forwards_.size() || times_.size() != smiles_.size())
        throw ValueError("volatility surface: one forward and one smile per expiry needed");
    for (std::size_t i = 0; i < times_.size(); ++i) {
        if (!(times_[i] > (i ? times_[i - 1] : 0.0)))
            throw ValueError("volatility surface: expiry times must increase from above 0");
        if (!(forwards_[i] > 0) || !std::isfinite(forwards_[i]))
            throw ValueError("volatility surface: forwards must be positive");
    }
    if (!(floor_ >= 0) || !(cap_ > floor_) || !std::isfinite(cap_))
        throw ValueError("volatility surface: the local volatility needs 0 <= floor < cap");
}

double VolSurface::forward(double t) const {
    // ln F linear in t through (0, ln spot) and the expiries; the last
    // interval's slope beyond the last one.
    std::size_t i = 0;
    while (i + 1 < times_.size() && t > times_[i]) ++i;
    const double ta = i == 0 ? 0.0 : times_[i - 1];
    const double la = std::log(i == 0 ? spot_ : forwards_[i - 1]);
    const double lb = std::log(forwards_[i]);
    return std::exp(la + (lb - la) * (t - ta) / (times_[i] - ta));
}

VolSurface::Variance VolSurface::variance(double k, double t) const {
    t = std::max(t, kMinTime);
    const std::size_t n = times_.size();
    if (t <= times_.front() || t >= times_.back()) {
        // A scaled smile: before the first expiry from 0, after the last one
        // at the last expiry's implied volatility per k.
        const std::size_t i = t <= times_.front() ? 0 : n - 1;
        const double lambda = t / times_[i];
        const auto& s = smiles_[i];
        const double wi = s.w(k);
        return {lambda * wi, lambda * s.dw(k), lambda * s.d2w(k), wi / times_[i]};
    }
    std::size_t i = 0;
    while (t > times_[i + 1]) ++i;
    const double span = times_[i + 1] - times_[i];
    const double u = (t - times_[i]) / span;
    const auto &s0 = smiles_[i], &s1 = smiles_[i + 1];
    const double w0 = s0.w(k), w1 = s1.w(k);
    return {(1 - u) * w0 + u * w1, (1 - u) * s0.dw(k) + u * s1.dw(k), (1 - u) * s0.d2w(k) + u * s1.d2w(k),
            (w1 - w0) / span};
}

double VolSurface::implied_vol(double strike, double t) const {
    t = std::max(t, kMinTime);
    const double k = std::log(strike / forward(t));
    return std::sqrt(std::max(variance(k, t).w, 0.0) / t);
}

double VolSurface::raw_local_vol(double t, double spot) const {
    t = std::max(t, kMinTime);
    const double k = std::log(spot / forward(t));
    const auto v = variance(k, t);
    const double g = butterfly_g(k, v.w, v.dk, v.dkk);
    if (!(v.w > 0) || !(g > 0) || !(v.dt >= 0)) return std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(v.dt / g);
}

double VolSurface::local_vol(double t, double spot) const {
    const double raw = raw_local_vol(t, spot);
    if (std::isnan(raw)) {
        // A negative dw/dt (calendar arbitrage) gives the floor, a
        // non-positive density the cap.
        t = std::max(t, kMinTime);
        const double k = std::log(spot / forward(t));
        return variance(k, t).dt < 0 ? floor_ : cap_;
    }
    return std::clamp(raw, floor_, cap_);
}

namespace {

// A smile's w, dw/dk and d2w/dk2 at k with one square root: the same
// operations as SviParameters' three functions, so the same numbers.
struct SmileAt {
    double w, dw, d2w;
};
inline SmileAt smile_at(const SviParameters& s, double k) {
    const double x = k - s.m;
    const double r2 = x * x + s.sigma * s.sigma;
    const double r = std::sqrt(r2);
    return {s.a + s.b * (s.rho * x + r), s.b * (s.rho + x / r), s.b * s.sigma * s.sigma / (r2 * r)};
}

// Dupire's local volatility from a total variance's w, dw/dk, d2w/dk2 and
// dw/dt at k, as local_vol() takes it: the floor where dw/dt < 0, the cap
// where w or the density is not positive. Written without branches so that
// a row's loop vectorises.
inline double dupire(double k, double w, double dk, double dkk, double dt, double floor, double cap) {
    const double u = 1.0 - k * dk / (2.0 * w);
    const double g = u * u - dk * dk / 4.0 * (1.0 / w + 0.25) + dkk / 2.0;
    const double raw = std::sqrt(dt / g);
    const double clamped = raw < floor ? floor : (cap < raw ? cap : raw);
    const bool ok = (w > 0) & (g > 0) & (dt >= 0);
    return ok ? clamped : (dt < 0 ? floor : cap);
}

}  // namespace

void VolSurface::local_vol_row(double t, const double* log_spots, std::size_t n, double* out) const {
    t = std::max(t, kMinTime);
    const double log_forward = std::log(forward(t));
    const double floor = floor_, cap = cap_;
    // What variance() does at each k, with the smiles bracketing t found once.
    const std::size_t count = times_.size();
    if (t <= times_.front() || t >= times_.back()) {
        const std::size_t i = t <= times_.front() ? 0 : count - 1;
        const double lambda = t / times_[i], ti = times_[i];
        const SviParameters s = smiles_[i];
        for (std::size_t j = 0; j < n; ++j) {
            const double k = log_spots[j] - log_forward;
            const SmileAt a = smile_at(s, k);
            out[j] = dupire(k, lambda * a.w, lambda * a.dw, lambda * a.d2w, a.w / ti, floor, cap);
        }
        return;
    }
    std::size_t i = 0;
    while (t > times_[i + 1]) ++i;
    const double span = times_[i + 1] - times_[i];
    const double u = (t - times_[i]) / span;
    const SviParameters s0 = smiles_[i], s1 = smiles_[i + 1];
    for (std::size_t j = 0; j < n; ++j) {
        const double k = log_spots[j] - log_forward;
        const SmileAt a = smile_at(s0, k), b = smile_at(s1, k);
        out[j] = dupire(k, (1 - u) * a.w + u * b.w, (1 - u) * a.dw + u * b.dw, (1 - u) * a.d2w + u * b.d2w,
                        (b.w - a.w) / span, floor, cap);
    }
}

LocalVolGrid VolSurface::local_vol_grid(const std::vector<double>& times, const std::vector<double>& log_spots) const {
    if (times.empty() || log_spots.empty()) throw ValueError("local volatility grid: no times or no log-spot nodes");
    for (std::size_t i = 0; i < times.size(); ++i)
        if (!std::isfinite(times[i]) || times[i] < 0 || (i && times[i] < times[i - 1]))
            throw ValueError("local volatility grid: time " + std::to_string(i + 1) +
                             " is not a finite, non-negative, non-decreasing number of years");
    for (std::size_t j = 0; j < log_spots.size(); ++j)
        if (!std::isfinite(log_spots[j]) || (j && !(log_spots[j] > log_spots[j - 1])))
            throw ValueError("local volatility grid: log-spot node " + std::to_string(j + 1) +
                             " is not finite or not above the one before");
    LocalVolGrid grid{times, log_spots, {}};
    grid.vols.resize(times.size() * log_spots.size());
    for (std::size_t i = 0; i < times.size(); ++i)
        for (std::size_t j = 0; j < log_spots.size(); ++j)
            grid.vols[i * log_spots.size() + j] = local_vol(times[i], std::exp(log_spots[j]));
    return grid;
}

}  // namespace kestrel::vol
