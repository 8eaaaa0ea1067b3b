#include <kestrel/engines/pde/solver.hpp>
#include <kestrel/errors.hpp>

#include <ql/math/array.hpp>
#include <ql/math/interpolations/cubicinterpolation.hpp>
#include <ql/methods/finitedifferences/operators/fdmlinearopcomposite.hpp>
#include <ql/methods/finitedifferences/schemes/cranknicolsonscheme.hpp>
#include <ql/methods/finitedifferences/schemes/impliciteulerscheme.hpp>
#include <ql/methods/finitedifferences/schemes/trbdf2scheme.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace kestrel::detail::pde {
namespace {

using QuantLib::Array;
namespace ext = QuantLib::ext;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNotYet = 1;  // layer 0 is the knocked-in one

// The Black-Scholes operator in log-price, vol^2 / 2 d2/dx2 + mu d/dx - r
// with mu = r - q - vol^2 / 2, on `layers` layers of n nodes each, spacing h,
// side by side in one array (node j of layer l at l x n + j); the two edge
// nodes of each layer only discount. Constant in time. The diffusion is
// exponentially fitted (vol^2 / 2 becomes vol^2 / 2 x P coth P, P = mu h /
// vol^2): the same as central differences while vol^2 >> mu h, upwind as vol
// goes to 0, and never oscillating. QuantLib's schemes step it; its
// tridiagonal systems (I + s x op) are solved here from a factorisation kept
// per s (a scheme has a few step sizes): QuantLib's generic banded solve cost
// more than the rest of the valuation.
class LogBlackScholesOp : public QuantLib::FdmLinearOpComposite {
  public:
    LogBlackScholesOp(std::size_t n, std::size_t layers, double h, double vol, double mu, double r)
        : n_(n), layers_(layers), h_(h) {
        set(vol, mu, r);
    }

    // New coefficients (a market of curves, from one segment to the next).
    void set(double vol, double mu, double r) {
        cache_.clear();
        r_ = r;
        const double h = h_;
        const double p = mu * h / (vol * vol);
        const double fitted = std::abs(p) > 1e-6 ? p / std::tanh(p) : 1.0;
        // vol = 0 (a segment of a curve): the fitted diffusion's limit, upwind.
        const double diffusion = vol == 0 ? 0.5 * std::abs(mu) / h : 0.5 * vol * vol * fitted / (h * h);
        const double convection = mu / (2 * h);
        lower_ = diffusion - convection;
        upper_ = diffusion + convection;
        diag_ = -2 * diffusion - r;
    }

    // Per-node coefficients: vols[j] at node j (a local volatility), mu_j =
    // carry - vols[j]^2 / 2, each fitted as set() fits one vol.
    void set_local(const std::vector<double>& vols, double carry, double r) {
        cache_.clear();
        r_ = r;
        local_ = true;
        lo_.resize(n_);
        up_.resize(n_);
        dg_.resize(n_);
        const double h = h_;
        for (std::size_t j = 0; j < n_; ++j) {
            const double vol = vols[j], mu = carry - vol * vol / 2;
            const double p = mu * h / (vol * vol);
            const double fitted = std::abs(p) > 1e-6 ? p / std::tanh(p) : 1.0;
            const double diffusion = vol == 0 ? 0.5 * std::abs(mu) / h : 0.5 * vol * vol * fitted / (h * h);
            const double convection = mu / (2 * h);
            lo_[j] = diffusion - convection;
            up_[j] = diffusion + convection;
            dg_[j] = -2 * diffusion - r;
        }
    }

    QuantLib::Size size() const override { return 1; }
    void setTime(QuantLib::Time, QuantLib::Time) override {}

    Array apply(const Array& u) const override {
        Array out(u.size());
        for (std::size_t l = 0; l < layers_; ++l) {
            const double* x = u.begin() + l * n_;
            double* y = out.begin() + l * n_;
            y[0] = -r_ * x[0];
            if (local_)
                for (std::size_t j = 1; j + 1 < n_; ++j) y[j] = lo_[j] * x[j - 1] + dg_[j] * x[j] + up_[j] * x[j + 1];
            else
                for (std::size_t j = 1; j + 1 < n_; ++j) y[j] = lower_ * x[j - 1] + diag_ * x[j] + upper_ * x[j + 1];
            y[n_ - 1] = -r_ * x[n_ - 1];
        }
        return out;
    }
    Array apply_mixed(const Array& u) const override { return Array(u.size(), 0.0); }
    Array apply_direction(QuantLib::Size direction, const Array& u) const override {
        return direction == 0 ? apply(u) : Array(u.size(), 0.0);
    }
    // Solves (I + s op) x = u.
    Array solve_splitting(QuantLib::Size direction, const Array& u, QuantLib::Real s) const override {
        if (direction != 0) return u;
        const Factor& f = factor(s);
        Array x(u.size());
        for (std::size_t l = 0; l < layers_; ++l) {
            const double* b = u.begin() + l * n_;
            double* v = x.begin() + l * n_;
            v[0] = b[0] * f.inv_pivot[0];
            if (local_)
                for (std::size_t j = 1; j + 1 < n_; ++j) v[j] = (b[j] - f.lowers[j] * v[j - 1]) * f.inv_pivot[j];
            else
                for (std::size_t j = 1; j + 1 < n_; ++j) v[j] = (b[j] - f.lower * v[j - 1]) * f.inv_pivot[j];
            v[n_ - 1] = b[n_ - 1] * f.inv_pivot[n_ - 1];
            for (std::size_t j = n_ - 1; j-- > 0;) v[j] -= f.upper[j] * v[j + 1];
        }
        return x;
    }
    Array preconditioner(const Array& u, QuantLib::Real s) const override { return solve_splitting(0, u, s); }

  private:
    struct Factor {
        double s = 0, lower = 0;               // lower: s x the inner rows' lower neighbour
        std::vector<double> inv_pivot, upper;  // 1 / pivot_j, and the eliminated upper_j / pivot_j
        std::vector<double> lowers;            // local: s x each row's lower neighbour
    };

    const Factor& factor(double s) const {
        for (const Factor& f : cache_)
            if (f.s == s) return f;
        Factor f;
        f.s = s;
        f.lower = s * lower_;
        f.inv_pivot.resize(n_);
        f.upper.assign(n_, 0.0);
        // Rows: the edges 1 - s r alone; inside s lower, 1 + s diag, s upper.
        const double edge = 1 - s * r_, inner = 1 + s * diag_;
        f.inv_pivot[0] = 1 / edge;
        if (local_) {
            f.lowers.assign(n_, 0.0);
            for (std::size_t j = 1; j + 1 < n_; ++j) {
                f.lowers[j] = s * lo_[j];
                const double pivot = 1 + s * dg_[j] - f.lowers[j] * f.upper[j - 1];
                f.inv_pivot[j] = 1 / pivot;
                f.upper[j] = s * up_[j] / pivot;
            }
        }
        for (std::size_t j = 1; !local_ && j + 1 < n_; ++j) {
            const double pivot = inner - f.lower * f.upper[j - 1];
            f.inv_pivot[j] = 1 / pivot;
            f.upper[j] = s * upper_ / pivot;
        }
        f.inv_pivot[n_ - 1] = 1 / edge;
        if (cache_.size() == 8) cache_.erase(cache_.begin());
        cache_.push_back(std::move(f));
        return cache_.back();
    }

    std::size_t n_, layers_;
    double h_, r_ = 0, lower_ = 0, upper_ = 0, diag_ = 0;
    bool local_ = false;
    std::vector<double> lo_, up_, dg_;
    mutable std::vector<Factor> cache_;
};

void require_finite(double x, const char* what) {
    if (!std::isfinite(x)) throw ValueError(std::string("finite-difference note: ") + what + " is not finite");
}

void check_note(const Note& n, double spot) {
    if (!(std::isfinite(spot) && spot > 0))
        throw ValueError("finite-difference note: spot (" + std::to_string(spot) + ") must be positive");
    require_finite(n.r, "r");
    require_finite(n.q, "q");
    require_finite(n.vol, "vol");
    require_finite(n.strike, "strike");
    require_finite(n.ki_barrier, "ki_barrier");
    require_finite(n.non_touch_coupon, "the non-touch coupon");
    if (n.floor_price) require_finite(*n.floor_price, "floor_price");
    if (!(std::isfinite(n.maturity) && n.maturity >= 0))
        throw ValueError("finite-difference note: maturity time (" + std::to_string(n.maturity) +
                         ") must be finite and not negative");
    auto check_time = [&](double t, double previous, const std::string& what) {
        if (!(std::isfinite(t) && t >= 0 && t <= n.maturity))
            throw ValueError("finite-difference note: " + what + " time " + std::to_string(t) + " is outside [0, " +
                             std::to_string(n.maturity) + "]");
        if (t < previous)
            throw ValueError("finite-difference note: " + what + " times must be ascending (" + std::to_string(t) +
                             " after " + std::to_string(previous) + ")");
    };
    double previous = 0;
    for (const KnockOutDate& d : n.knock_out) {
        check_time(d.time, previous, "knock-out");
        require_finite(d.barrier, "a knock-out barrier");
        require_finite(d.coupon, "a coupon");
        require_finite(d.coupon_barrier, "a coupon barrier");
        previous = d.time;
    }
    previous = 0;
    for (double t : n.knock_in) {
        check_time(t, previous, "knock-in");
        previous = t;
    }
    if (n.rule == Rule::snowball) check_time(n.non_touch_time, 0, "non-touch coupon");
    previous = 0;
    for (const Note::Segment& g : n.segments) {
        require_finite(g.r, "a segment's r");
        require_finite(g.q, "a segment's q");
        require_finite(g.vol, "a segment's vol");
        if (!(std::isfinite(g.end) && g.end > previous))
            throw ValueError("finite-difference note: segment ends must ascend from 0 (" + std::to_string(g.end) +
                             " after " + std::to_string(previous) + ")");
        previous = g.end;
    }
    if (!n.segments.empty() && previous < n.maturity)
        throw ValueError("finite-difference note: the segments end at " + std::to_string(previous) +
                         ", before maturity " + std::to_string(n.maturity));
}

// A market of curves' integrals from time 0 (Note::segments): of r (the
// discounting), of the drift r - q - vol^2 / 2 and of vol^2.
struct Integrals {
    double rate = 0, drift = 0, variance = 0;
};

Integrals integrals_to(const Note& n, double t) {
    Integrals out;
    double start = 0;
    for (const Note::Segment& g : n.segments) {
        const double span = std::min(g.end, t) - start;
        if (span <= 0) break;
        const double v2 = g.vol * g.vol;
        out.rate += (n.discount ? g.r : 0.0) * span;
        out.drift += (g.r - g.q - v2 / 2) * span;
        out.variance += v2 * span;
        start = g.end;
    }
    return out;
}

// log(level / spot), or -inf for a level at or below zero (every price is
// above it), as the Monte Carlo's log-space observations compare.
double log_level(double level, double spot) {
    const double rel = level / spot;
    return rel > 0 ? std::log(rel) : -kInf;
}

double loss(const Note& n, double final_price) {
    const double settled = n.floor_price ? std::max(final_price, *n.floor_price) : final_price;
    const double l = std::min(settled - n.strike, 0.0);
    switch (n.terminal) {
        case Note::Terminal::zero: return 0.0;
        case Note::Terminal::one: return 1.0;
        case Note::Terminal::loss_indicator: return l < 0 ? 1.0 : 0.0;
        case Note::Terminal::loss: break;
    }
    return l;
}

// The discounting rate: r, or 0 for a probability.
double discount_rate(const Note& n) { return n.discount ? n.r : 0.0; }

// The observations of one date, in schedule order.
struct Event {
    double time = 0;
    bool knock_in = false;
    std::vector<std::size_t> knock_out;  // indexes into Note::knock_out
};

std::vector<Event> events(const Note& n) {
    std::vector<Event> out;
    auto at = [&](double t) -> Event& {
        auto it = std::lower_bound(out.begin(), out.end(), t, [](const Event& e, double x) { return e.time < x; });
        if (it == out.end() || it->time != t) it = out.insert(it, Event{t, false, {}});
        return *it;
    };
    for (std::size_t i = 0; i < n.knock_out.size(); ++i) at(n.knock_out[i].time).knock_out.push_back(i);
    if (!n.knocked_in)
        for (double t : n.knock_in) at(t).knock_in = true;
    return out;
}

// The values of both layers at one spot after the observations of a date at
// that spot, compared exactly: `level` is log(S_t / spot) at the date.
void observe_at(const Note& n, const Event& e, double level, double spot, double& knocked_in, double& not_yet) {
    if (e.knock_in && level < log_level(n.ki_barrier, spot)) not_yet = knocked_in;
    for (auto it = e.knock_out.rbegin(); it != e.knock_out.rend(); ++it) {
        const KnockOutDate& d = n.knock_out[*it];
        const bool out = level > log_level(d.barrier, spot);
        if (n.rule == Rule::snowball) {
            if (out) knocked_in = not_yet = d.coupon;
        } else {
            const double coupon = level >= log_level(d.coupon_barrier, spot) ? d.coupon : 0.0;
            knocked_in = coupon + (out ? 0.0 : knocked_in);
            not_yet = coupon + (out ? 0.0 : not_yet);
        }
    }
}

// The one path of a deterministic model (vol = 0, or nothing left to
// diffuse), from spot: log-price mu x t.
double deterministic(const Note& n, double spot, double mu) {
    double knocked_in = loss(n, spot * std::exp(mu * n.maturity));
    const double r = discount_rate(n);
    double not_yet = n.rule == Rule::snowball ? n.non_touch_coupon * std::exp(r * (n.maturity - n.non_touch_time)) : 0.0;
    if (n.knocked_in) not_yet = knocked_in;
    const std::vector<Event> es = events(n);
    double t_after = n.maturity;
    for (auto it = es.rbegin(); it != es.rend(); ++it) {
        const double discount = std::exp(-r * (t_after - it->time));
        knocked_in *= discount;
        not_yet *= discount;
        observe_at(n, *it, mu * it->time, spot, knocked_in, not_yet);
        t_after = it->time;
    }
    return (n.knocked_in ? knocked_in : not_yet) * std::exp(-r * t_after);
}

// deterministic() on a market of curves: log-price and discounting from the
// segments' integrals.
double deterministic_segments(const Note& n, double spot) {
    double knocked_in = loss(n, spot * std::exp(integrals_to(n, n.maturity).drift));
    double not_yet = n.rule == Rule::snowball ? n.non_touch_coupon * std::exp(integrals_to(n, n.maturity).rate -
                                                                            integrals_to(n, n.non_touch_time).rate)
                                              : 0.0;
    if (n.knocked_in) not_yet = knocked_in;
    const std::vector<Event> es = events(n);
    double t_after = n.maturity;
    for (auto it = es.rbegin(); it != es.rend(); ++it) {
        const Integrals at = integrals_to(n, it->time);
        const double discount = std::exp(-(integrals_to(n, t_after).rate - at.rate));
        knocked_in *= discount;
        not_yet *= discount;
        observe_at(n, *it, at.drift, spot, knocked_in, not_yet);
        t_after = it->time;
    }
    return (n.knocked_in ? knocked_in : not_yet) * std::exp(-integrals_to(n, t_after).rate);
}

Solution from_values(const std::array<double, 3>& p, double spot, bool delta_and_gamma) {
    Solution s;
    s.npv = p[0];
    if (delta_and_gamma) {
        const double h = spot * 0.005;
        s.delta = (p[1] - p[2]) / (spot * 0.01);
        s.gamma = (p[1] + p[2] - 2 * p[0]) / (h * h);
    }
    return s;
}

}  // namespace

void check(const Settings& s) {
    if (s.space_nodes < 11)
        throw ValueError("pde space_nodes (" + std::to_string(s.space_nodes) + ") must be at least 11");
    if (!(std::isfinite(s.std_devs) && s.std_devs >= 1))
        throw ValueError("pde std_devs (" + std::to_string(s.std_devs) + ") must be at least 1");
    if (!(std::isfinite(s.min_half_width) && s.min_half_width >= 0.01 && s.min_half_width <= 10))
        throw ValueError("pde min_half_width (" + std::to_string(s.min_half_width) +
                         ") must be from 0.01 (to hold the spot bumps) to 10");
    if (!(std::isfinite(s.steps_per_year) && s.steps_per_year >= 1))
        throw ValueError("pde steps_per_year (" + std::to_string(s.steps_per_year) + ") must be at least 1");
    if (!(std::isfinite(s.local_vol_hold) && s.local_vol_hold >= 0))
        throw ValueError("pde local_vol_hold (" + std::to_string(s.local_vol_hold) +
                         ") must be finite and not negative");
}

Solution solve(const Note& n, double spot, bool delta_and_gamma, const Settings& settings) {
    check(settings);
    check_note(n, spot);
    const double vol = std::abs(n.vol);  // the model sees vol only through vol^2 and vol x a normal draw
    const double mu = n.r - n.q - vol * vol / 2;
    const std::array<double, 3> spots{spot, spot * 1.005, spot * 0.995};
    const std::size_t n_spots = delta_and_gamma ? 3 : 1;
    std::array<double, 3> p{};

    const bool on_curves = !n.segments.empty();
    double top_vol = vol;  // the highest segment vol on on_curves
    for (const Note::Segment& g : n.segments) top_vol = std::max(top_vol, std::abs(g.vol));
    if (on_curves ? top_vol == 0 || n.maturity == 0 : vol == 0 || n.maturity == 0) {
        for (std::size_t k = 0; k < n_spots; ++k)
            p[k] = on_curves ? deterministic_segments(n, spots[k]) : deterministic(n, spots[k], mu);
        return from_values(p, spot, delta_and_gamma);
    }
    const Integrals total = on_curves ? integrals_to(n, n.maturity) : Integrals{};

    // The mesh, in y = log(S / spot): std_devs standard deviations at
    // maturity either side of the spot and of the forward, or, above, less
    // when the knock-out dates cap the price sooner: std_devs standard
    // deviations over the longest stretch without a knock-out date above the
    // highest knock-out level, where the note is worth its coupon again on
    // every knock-out date. The spot and its bumps sit at least
    // min_half_width inside. The spacing comes from the full width and
    // space_nodes alone, and the nodes sit on a fixed lattice of log-prices
    // with the knock-in barrier (observed every day on most notes) midway
    // between two nodes: the mesh does not move with the spot, and the
    // barrier falls between nodes on every date.
    // On on_curves: the total variance and drift, and the highest vol for the cap.
    const double W = std::max(on_curves ? settings.std_devs * std::sqrt(total.variance)
                                        : settings.std_devs * vol * std::sqrt(n.maturity),
                              settings.min_half_width);
    const double drift = on_curves ? total.drift : mu * n.maturity;
    const double h = 2 * W / static_cast<double>(settings.space_nodes - 1);
    double upper = std::max(0.0, drift) + W;
    if (!n.knock_out.empty()) {
        double gap = n.knock_out.front().time, cap = -kInf;
        for (std::size_t i = 0; i < n.knock_out.size(); ++i) {
            if (i > 0) gap = std::max(gap, n.knock_out[i].time - n.knock_out[i - 1].time);
            cap = std::max(cap, log_level(n.knock_out[i].barrier, spot));
        }
        gap = std::max(gap, n.maturity - n.knock_out.back().time);
        upper = std::min(upper, cap + settings.std_devs * (on_curves ? top_vol : vol) * std::sqrt(gap));
    }
    upper = std::max(upper, settings.min_half_width);
    const double lower = std::min(0.0, drift) - W;
    const double anchor = n.ki_barrier > 0 ? std::log(n.ki_barrier / spot) + h / 2 : 0.0;
    const double first = std::floor((lower - anchor) / h), last = std::ceil((upper - anchor) / h);
    const auto N = static_cast<std::size_t>(last - first) + 1;
    std::vector<double> y(N);
    for (std::size_t j = 0; j < N; ++j) y[j] = anchor + (first + static_cast<double>(j)) * h;
    const std::size_t layers = n.knocked_in ? 1 : 2;
    const bool local = on_curves && static_cast<bool>(n.local_vol);
    std::vector<double> log_nodes, node_vols(N);
    if (local) {
        log_nodes.resize(N);
        const double log_spot = std::log(spot);
        for (std::size_t j = 0; j < N; ++j) log_nodes[j] = log_spot + y[j];
    }
    const auto op = on_curves ? ext::make_shared<LogBlackScholesOp>(N, layers, h, top_vol, 0.0, 0.0)  // set per segment
                           : ext::make_shared<LogBlackScholesOp>(N, layers, h, vol, mu, discount_rate(n));
    QuantLib::ImplicitEulerScheme implicit(op);
    const auto crank_nicolson = ext::make_shared<QuantLib::CrankNicolsonScheme>(0.5, op);
    QuantLib::TrBDF2Scheme<QuantLib::CrankNicolsonScheme> tr_bdf2(2 - std::sqrt(2.0), op, crank_nicolson);

    // Layer l of node j at a[l * N + j]; the knocked-in layer is layer 0.
    Array a(layers * N);
    auto layer = [&](std::size_t l) { return a.begin() + l * N; };
    // Node j stands for its cell [y_j - h/2, y_j + h/2]. A level b (in y)
    // inside the cell splits it: share(j, b) is the part above b, and a side's
    // value is the layer's value at the middle of that side (linear between
    // nodes), so the node takes the cell's average of a function that jumps
    // at b. Outside the cell one side is the whole cell and the node keeps its
    // own value.
    auto share = [&](std::size_t j, double b) { return std::clamp((y[j] + h / 2 - b) / h, 0.0, 1.0); };
    auto value_at = [&](const double* v, std::size_t j, double x) {
        if (x < y[j]) return j == 0 ? v[0] : v[j] + (x - y[j]) * (v[j] - v[j - 1]) / h;
        return j + 1 == N ? v[j] : v[j] + (x - y[j]) * (v[j + 1] - v[j]) / h;
    };
    auto middle_below = [&](std::size_t j, double b) { return (y[j] - h / 2 + std::min(b, y[j] + h / 2)) / 2; };
    auto middle_above = [&](std::size_t j, double b) { return (std::max(b, y[j] - h / 2) + y[j] + h / 2) / 2; };

    const double non_touch =
        n.rule != Rule::snowball ? 0.0
        : on_curves ? n.non_touch_coupon * std::exp(total.rate - integrals_to(n, n.non_touch_time).rate)
                 : n.non_touch_coupon * std::exp(discount_rate(n) * (n.maturity - n.non_touch_time));
    for (std::size_t j = 0; j < N; ++j) {
        a[j] = loss(n, spot * std::exp(y[j]));
        if (layers == 2) a[N + j] = non_touch;
    }

    std::vector<double> before(N);
    auto observe = [&](const Event& e) {
        if (e.knock_in && layers == 2) {
            const double b = log_level(n.ki_barrier, spot);
            std::copy_n(layer(kNotYet), N, before.begin());
            for (std::size_t j = 0; j < N; ++j) {
                const double up = share(j, b);
                if (up == 1) continue;
                a[N + j] = (1 - up) * value_at(&a[0], j, middle_below(j, b)) +
                           (up > 0 ? up * value_at(before.data(), j, middle_above(j, b)) : 0.0);
            }
        }
        for (auto it = e.knock_out.rbegin(); it != e.knock_out.rend(); ++it) {
            const KnockOutDate& d = n.knock_out[*it];
            const double b = log_level(d.barrier, spot);
            const double bc = n.rule == Rule::phoenix ? log_level(d.coupon_barrier, spot) : 0.0;
            for (std::size_t l = 0; l < layers; ++l) {
                double* v = &a[l * N];
                std::copy_n(v, N, before.begin());
                for (std::size_t j = 0; j < N; ++j) {
                    const double out = share(j, b);
                    const double paid = n.rule == Rule::snowball ? out : share(j, bc);
                    if (out == 0 && paid == 0) continue;
                    v[j] = paid * d.coupon + (out < 1 ? (1 - out) * value_at(before.data(), j, middle_below(j, b)) : 0.0);
                }
            }
        }
    };

    // From time `from` back to `to`: the implicit restart steps (if any),
    // then the scheme's.
    auto roll_flat = [&](double from, double to) {
        const double span = from - to;
        const auto steps = static_cast<std::size_t>(std::max(1.0, std::ceil(span * settings.steps_per_year - 1e-9)));
        const double dt = span / static_cast<double>(steps);
        implicit.setStep(dt);
        for (std::size_t k = 0; k < steps; ++k) {
            const double t = from - static_cast<double>(k) * dt;
            if (k < settings.implicit_steps) {
                implicit.step(a, t);
            } else if (settings.scheme == Scheme::tr_bdf2) {
                tr_bdf2.setStep(dt);  // its trapezoidal stage takes a step of its own
                tr_bdf2.step(a, t);
            } else {
                crank_nicolson->setStep(dt);
                crank_nicolson->step(a, t);
            }
        }
    };

    // On on_curves, each segment's stretch with its own coefficients, from the
    // last segment back; the implicit restart steps count from the
    // observation, not from a segment's end.
    auto roll = [&](double from, double to) {
        if (!on_curves) return roll_flat(from, to);
        std::size_t k = n.segments.size();
        while (k > 0 && n.segments[k - 1].end - 1e-12 >= from) --k;
        // Segment k holds (its start, its end] around from.
        if (k == n.segments.size()) k = n.segments.size() - 1;
        const std::size_t restart = settings.implicit_steps;
        double hi = from;
        bool first_piece = true;
        for (;;) {
            const Note::Segment& g = n.segments[k];
            const double start = k == 0 ? 0.0 : n.segments[k - 1].end;
            const double lo = std::max(start, to);
            if (hi > lo) {
                const double gv = std::abs(g.vol);
                if (!local) op->set(gv, g.r - g.q - gv * gv / 2, n.discount ? g.r : 0.0);
                const auto steps =
                    static_cast<std::size_t>(std::max(1.0, std::ceil((hi - lo) * settings.steps_per_year - 1e-9)));
                const double dt = (hi - lo) / static_cast<double>(steps);
                implicit.setStep(dt);
                // A local volatility: the steps in groups of at most
                // local_vol_hold years (one group for a stretch between
                // daily observations), each group's taken at its earliest
                // step's start.
                const double per_hold = settings.local_vol_hold > 0
                                            ? std::ceil((hi - lo) / settings.local_vol_hold - 1e-9)
                                            : static_cast<double>(steps);
                const std::size_t groups =
                    local ? static_cast<std::size_t>(std::clamp(per_hold, 1.0, static_cast<double>(steps))) : 1;
                std::size_t group = 0, next_group = 0;
                for (std::size_t s = 0; s < steps; ++s) {
                    const double time = hi - static_cast<double>(s) * dt;
                    if (local && s == next_group) {
                        next_group = (++group) * steps / groups;
                        const double earliest = (hi - static_cast<double>(next_group - 1) * dt) - dt;
                        n.local_vol(earliest, log_nodes.data(), N, node_vols.data());
                        op->set_local(node_vols, g.r - g.q, n.discount ? g.r : 0.0);
                    }
                    if (first_piece && s < restart) {
                        implicit.step(a, time);
                    } else if (settings.scheme == Scheme::tr_bdf2) {
                        tr_bdf2.setStep(dt);
                        tr_bdf2.step(a, time);
                    } else {
                        crank_nicolson->setStep(dt);
                        crank_nicolson->step(a, time);
                    }
                }
                first_piece = false;
            }
            if (lo <= to || k == 0) break;
            hi = lo;
            --k;
        }
    };

    const std::vector<Event> es = events(n);
    double t = n.maturity;
    const Event* at_start = nullptr;
    for (auto it = es.rbegin(); it != es.rend(); ++it) {
        if (it->time == 0) {
            at_start = &*it;
            break;
        }
        if (it->time < t) roll(t, it->time);
        observe(*it);
        t = it->time;
    }
    roll(t, 0.0);

    // Read the layers off the mesh at each spot, then observe the evaluation
    // date exactly there.
    std::array<QuantLib::CubicNaturalSpline, 2> curves{
        QuantLib::CubicNaturalSpline(y.begin(), y.end(), layer(0)),
        QuantLib::CubicNaturalSpline(y.begin(), y.end(), layer(layers - 1))};
    for (std::size_t k = 0; k < n_spots; ++k) {
        const double x = std::log(spots[k] / spot);
        double knocked_in = curves[0](x), not_yet = curves[1](x);
        if (at_start) observe_at(n, *at_start, 0.0, spots[k], knocked_in, not_yet);
        p[k] = layers == 2 ? not_yet : knocked_in;
    }
    return from_values(p, spot, delta_and_gamma);
}

}  // namespace kestrel::detail::pde
