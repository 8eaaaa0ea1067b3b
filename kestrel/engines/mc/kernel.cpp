#include <heron/heron.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/engines/mc/dispatch.hpp>
#include <kestrel/engines/mc/kernel.hpp>
#include <kestrel/engines/mc/kernels.hpp>
#include <kestrel/engines/mc/sobol_kernels.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/utils.hpp>

#include <ql/math/randomnumbers/sobolrsg.hpp>
#include <ql/methods/montecarlo/brownianbridge.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>

// The kernels (the path steps, the quasi-random shocks' loops) are in
// engines/mc/, written once on Highway's vectors and dispatched at run time.

namespace kestrel::detail::mc {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Days of shocks made at once for a block (the first chunk takes up to 3
// more): 16 x 256 doubles, 32 KiB.
constexpr std::size_t kChunkDays = 16;

// What happens on each grid day.
struct DayPlan {
    std::vector<unsigned char> ki;    // 1 on a knock-in day
    std::vector<std::size_t> ko_pos;  // grid day of each knock-out date, ascending
    std::vector<double> levels;       // knock-in levels tracked for ki_excess
    std::vector<double> inv_beta;     // with levels: 1 / beta[j] (+inf where beta is 0)
};

DayPlan plan_days(std::size_t T, const std::vector<std::size_t>& ki_positions,
                  const std::vector<std::size_t>& ko_positions) {
    DayPlan plan;
    plan.ki.assign(T, 0);
    for (std::size_t j : ki_positions) {
        if (j >= T) throw IndexError("knock-in position " + std::to_string(j) + " is outside the grid of " +
                                     std::to_string(T) + " days");
        plan.ki[j] = 1;
    }
    for (std::size_t i = 0; i < ko_positions.size(); ++i) {
        if (ko_positions[i] >= T)
            throw IndexError("knock-out position " + std::to_string(ko_positions[i]) + " is outside the grid of " +
                             std::to_string(T) + " days");
        if (i > 0 && ko_positions[i] < ko_positions[i - 1])
            throw ValueError("knock-out positions must be ascending");
    }
    plan.ko_pos = ko_positions;
    return plan;
}

// The inverse normal distribution of u[0 .. d) into z, as QuantLib's
// InverseCumulativeNormal computes it: its central rational approximation
// (the same coefficients and operations, so the same numbers) in one loop
// that vectorises, then its tail approximation (tail_normal, below) for the
// values outside [kLow, 1 - kLow].
constexpr double kLow = engines::mc::kSobolLow;

void central_normals(const double* __restrict u, double* __restrict z, std::size_t d) {
    engines::mc::central_normals(u, z, d);
}

// The same distribution's rational approximation in the tails, for u in
// (0, 1) outside [kLow, 1 - kLow]: its coefficients and operations, inline.
inline double tail_normal(double u) {
    constexpr double c1 = -7.784894002430293e-03, c2 = -3.223964580411365e-01, c3 = -2.400758277161838e+00,
                     c4 = -2.549732539343734e+00, c5 = 4.374664141464968e+00, c6 = 2.938163982698783e+00;
    constexpr double d1 = 7.784695709041462e-03, d2 = 3.224671290700398e-01, d3 = 2.445134137142996e+00,
                     d4 = 3.754408661907416e+00;
    const bool low = u < kLow;
    const double z = std::sqrt(-2.0 * std::log(low ? u : 1.0 - u));
    const double t = (((((c1 * z + c2) * z + c3) * z + c4) * z + c5) * z + c6) /
                     ((((d1 * z + d2) * z + d3) * z + d4) * z + 1.0);
    return low ? t : -t;
}

// The uniforms (x ^ shift + 1/2) / 2^32 of one Sobol point into w, and the
// dimensions whose uniform is in the inverse normal's tails into tails (room
// for d); returns their count.
std::size_t shifted_uniforms(const std::uint_least32_t* __restrict x, const std::uint32_t* __restrict shift,
                             double* __restrict w, std::uint64_t* __restrict tails, std::size_t d) {
    static_assert(sizeof(std::uint_least32_t) == sizeof(std::uint32_t));
    return engines::mc::shifted_uniforms(reinterpret_cast<const std::uint32_t*>(x), shift, w, tails, d);
}

// rows x d (row-major) into d x rows at out, out's dimension k starting at
// out + k * stride.
void transpose(const double* __restrict in, std::size_t rows, std::size_t d, double* __restrict out,
               std::size_t stride) {
    for (std::size_t k = 0; k < d; ++k)
        for (std::size_t r = 0; r < rows; ++r) out[k * stride + r] = in[r * d + k];
}

// One thread's Sobol shocks over the grid steps dtt: a block of n points of
// one replica, all T days at once, day-major (z[j * n + i]), as standard
// normals per day (the bridge's increments, which it gives over sqrt(dtt[j]);
// 0 on a day without a step).
class SobolShocks {
  public:
    SobolShocks(const std::vector<double>& dtt, std::uint64_t seed) : T_(dtt.size()) {
        std::vector<double> times;
        double t = 0.0;
        for (std::size_t j = 0; j < T_; ++j)
            if (dtt[j] > 0) {
                days_.push_back(j);
                times.push_back(t += dtt[j]);
            }
        if (days_.empty()) return;
        const std::size_t d = days_.size();
        rsg_.emplace(d, 0, QuantLib::SobolRsg::JoeKuoD6);
        // The generator hands out its current point on its first draw only;
        // after that, the first draw after skipTo(i) is that of counter i + 1,
        // and each draw XORs into the last the direction integers of bit j,
        // j the lowest zero bit of its counter. Those integers are read back
        // from two consecutive draws (counters c - 1 and c, with j the lowest
        // zero bit of c), so that the points can be stepped here sixteen
        // dimensions at a time, the same integers as the generator's.
        rsg_->nextInt32Sequence();
        direction_.resize(32 * d);
        for (std::uint32_t j = 0; j < 32; ++j) {
            const std::uint32_t c = j == 0 ? 2u : j == 1 ? 5u : (1u << j) - 1u;
            rsg_->skipTo(c - 2);
            const std::vector<std::uint_least32_t> before = rsg_->nextInt32Sequence();
            const std::vector<std::uint_least32_t>& after = rsg_->nextInt32Sequence();
            for (std::size_t k = 0; k < d; ++k)
                direction_[j * d + k] = static_cast<std::uint32_t>(before[k] ^ after[k]);
        }
        state_.resize(d);
        bridge_.emplace(times);
        // The bridge's own step deviations: sqrt of each time step.
        sqrt_dt_.resize(times.size());
        for (std::size_t k = 0; k < times.size(); ++k) sqrt_dt_[k] = std::sqrt(k ? times[k] - times[k - 1] : times[0]);
        // Each replica's shift: 32 random bits per dimension.
        std::mt19937_64 bits(seed ^ 0x5eed50b01ULL);
        shifts_.resize(kSobolReplicas * days_.size());
        for (auto& s : shifts_) s = static_cast<std::uint32_t>(bits() >> 32);
        w_.resize(days_.size());
    }

    void fill(std::size_t replica, std::size_t point, std::size_t n, double* z) {
        std::fill_n(z, T_ * n, 0.0);
        if (days_.empty()) return;
        const std::size_t d = days_.size();
        const std::uint32_t* shift = shifts_.data() + replica * d;
        rsg_->skipTo(static_cast<std::uint_least32_t>(point));
        const std::vector<std::uint_least32_t>& start = rsg_->nextInt32Sequence();
        std::copy(start.begin(), start.end(), state_.begin());
        std::uint32_t counter = static_cast<std::uint32_t>(point) + 1;  // of the draw in state_
        bool first = true;
        // Strips of 64 points, each made sixteen points at a time into rows of
        // normals (in L1) and turned into dimensions, then bridged across the
        // strip's points (one dimension of every point at a time, so it
        // vectorises) straight into the days.
        constexpr std::size_t kRows = 16, kStrip = 64;
        p_.resize(kRows * d);
        q_.resize(d * kStrip);
        tails_.resize(d);
        for (std::size_t s0 = 0; s0 < n; s0 += kStrip) {
            const std::size_t width = std::min(kStrip, n - s0);
            for (std::size_t i0 = 0; i0 < width; i0 += kRows) {
                const std::size_t rows = std::min(kRows, width - i0);
                for (std::size_t r = 0; r < rows; ++r) {
                    if (!first)
                        step(state_.data(), direction_.data() + std::countr_one(++counter) * d, d);
                    first = false;
                    double* row = p_.data() + r * d;
                    const std::size_t m = shifted_uniforms(state_.data(), shift, w_.data(), tails_.data(), d);
                    central_normals(w_.data(), row, d);
                    for (std::size_t t = 0; t < m; ++t) row[tails_[t]] = tail_normal(w_[tails_[t]]);
                }
                transpose(p_.data(), rows, d, q_.data() + i0, width);
            }
            bridge(q_.data(), z + s0, n, width);
        }
    }

  private:
    // QuantLib's BrownianBridge::transform of `width` points, dimension k of
    // point i at in[k * width + i], into z's days (day j of point i at
    // z[j * stride + i]): the same weights, operations and order, so the same
    // numbers.
    void bridge(const double* __restrict in, double* __restrict z, std::size_t stride, std::size_t width) const {
        const QuantLib::BrownianBridge& b = *bridge_;
        const std::size_t d = days_.size();
        auto out = [&](std::size_t k) { return z + days_[k] * stride; };
        scale(out(d - 1), b.stdDeviation()[0], in, width);
        for (std::size_t i = 1; i < d; ++i) {
            const std::size_t j = b.leftIndex()[i], k = b.rightIndex()[i];
            if (j != 0)
                combine(out(b.bridgeIndex()[i]), b.leftWeight()[i], out(j - 1), b.rightWeight()[i], out(k),
                        b.stdDeviation()[i], in + i * width, width);
            else
                combine(out(b.bridgeIndex()[i]), 0.0, nullptr, b.rightWeight()[i], out(k), b.stdDeviation()[i],
                        in + i * width, width);
        }
        for (std::size_t i = d - 1; i >= 1; --i) difference(out(i), out(i - 1), sqrt_dt_[i], width);
        divide(out(0), sqrt_dt_[0], width);
    }
    static void step(std::uint32_t* __restrict x, const std::uint32_t* __restrict v, std::size_t d) {
        engines::mc::xor_into(x, v, d);
    }
    static void scale(double* __restrict o, double a, const double* __restrict x, std::size_t n) {
        engines::mc::scale(o, a, x, n);
    }
    // o = lw * left + rw * right + sd * x, or rw * right + sd * x without a left.
    static void combine(double* __restrict o, double lw, const double* __restrict left, double rw,
                        const double* __restrict right, double sd, const double* __restrict x, std::size_t n) {
        engines::mc::combine(o, lw, left, rw, right, sd, x, n);
    }
    static void difference(double* __restrict o, const double* __restrict before, double s, std::size_t n) {
        engines::mc::difference(o, before, s, n);
    }
    static void divide(double* __restrict o, double s, std::size_t n) { engines::mc::divide(o, s, n); }

  private:
    std::size_t T_;
    std::vector<std::size_t> days_;  // grid days with a positive step
    std::optional<QuantLib::SobolRsg> rsg_;
    std::optional<QuantLib::BrownianBridge> bridge_;
    std::vector<std::uint32_t> shifts_;
    std::vector<std::uint32_t> direction_;  // 32 x d: bit j's integers at direction_[j * d + k]
    std::vector<std::uint32_t> state_;      // the current point's integers
    std::vector<double> w_, p_, q_, sqrt_dt_;
    std::vector<std::uint64_t> tails_;
};

// One leg's buffers in one thread.
struct LegBuffers {
    std::vector<double> x, ki_min, ko, final, excess;
    explicit LegBuffers(const DayPlan& plan)
        : x(kBlockPaths), ki_min(kBlockPaths), ko(plan.ko_pos.size() * kBlockPaths), final(kBlockPaths),
          excess(plan.levels.size() * kBlockPaths) {}
};

// One thread's buffers: the shocks of a chunk, and each leg's.
struct Workspace {
    std::vector<double> z;
    std::vector<LegBuffers> legs;
    explicit Workspace(const std::vector<DayPlan>& plans) : z((kChunkDays + 3) * kBlockPaths) {
        legs.reserve(plans.size());
        for (const DayPlan& plan : plans) legs.emplace_back(plan);
    }
};

// A leg's coefficients and day plan as the kernels read them.
engines::mc::Steps steps_of(const Model& model, const DayPlan& plan) {
    return engines::mc::Steps{model.drift.data(), model.diffusion.data(), plan.ki.data(), plan.ko_pos.data(),
                              plan.ko_pos.size(),  plan.levels.data(),    plan.levels.size(),
                              plan.inv_beta.data()};
}

// advance() for a leg with knock-in levels: each level's ki_excess, from
// excess (levels x n) on, instead of the lowest level (which the payoffs of
// such a leg do not read). See engines/mc/kernels.hpp.
std::size_t advance_levels(const Model& model, const DayPlan& plan, std::size_t j0, std::size_t j1, std::size_t n,
                           const double* z, double* x, double* ko, double* excess, std::size_t slot) {
    return engines::mc::advance_levels(steps_of(model, plan), j0, j1, n, z, x, ko, excess, slot);
}

// Days [j0, j1) of a block of n paths: x += drift + diffusion z, the lowest x
// on knock-in days, x on knock-out days (from slot on). Returns the next slot.
// See engines/mc/kernels.hpp.
std::size_t advance(const Model& model, const DayPlan& plan, std::size_t j0, std::size_t j1, std::size_t n,
                    const double* z, double* x, double* ki_min, double* ko, std::size_t slot) {
    return engines::mc::advance(steps_of(model, plan), j0, j1, n, z, x, ki_min, ko, slot);
}

// advance() under a local volatility (Model::local). See
// engines/mc/kernels.hpp.
std::size_t advance_local(const Model& model, const DayPlan& plan, std::size_t j0, std::size_t j1, std::size_t n,
                          const double* z, double* x, double* ki_min, double* ko, std::size_t slot) {
    const LocalVolSteps& lv = *model.local;
    const engines::mc::LocalRows rows{lv.vols.data(), lv.nodes,          lv.x0,           lv.inv_h,
                                      model.log_spot, lv.carry.data(),   model.dtt.data(), lv.root_dtt.data()};
    return engines::mc::advance_local(steps_of(model, plan), rows, j0, j1, n, z, x, ki_min, ko, slot);
}

// Simulates paths [first, first + n) of every leg and observes them in log
// space into obs (one per leg). T is the longest grid, the one the shocks are
// made on.
// With sobol, the block's shocks of all days are given (day-major, n paths
// a day) instead of being drawn chunk by chunk.
void run_block(const std::vector<Leg>& legs, const std::vector<DayPlan>& plans, std::size_t T, std::size_t first,
               std::size_t n, std::uint64_t seed, random_sample::Draws draws, Workspace& ws,
               std::vector<Observations>& obs, const double* sobol = nullptr) {
    std::vector<std::size_t> slot(legs.size(), 0);
    for (LegBuffers& b : ws.legs) {
        std::fill_n(b.x.data(), n, 0.0);
        std::fill_n(b.ki_min.data(), n, kInf);
        std::fill(b.excess.begin(), b.excess.end(), -kInf);
    }
    // Chunks start at day 0 and then on days j with T - j a multiple of 4, so
    // no counter of the generator is split between two chunks.
    for (std::size_t j0 = 0; j0 < T;) {
        const std::size_t j1 = std::min(T, j0 == 0 ? T % 4 + kChunkDays : j0 + kChunkDays);
        const double* z = ws.z.data();
        if (sobol)
            z = sobol + j0 * n;
        else
            random_sample::fill_random_samples_by_day(T, first, n, j0, j1, seed, draws, ws.z.data());
        for (std::size_t k = 0; k < legs.size(); ++k) {
            // The leg's day d is the shocks' day d + offset.
            const std::size_t offset = T - legs[k].model->size();
            if (j1 <= offset) continue;
            const std::size_t from = std::max(j0, offset);
            LegBuffers& b = ws.legs[k];
            if (legs[k].model->local)
                slot[k] = advance_local(*legs[k].model, plans[k], from - offset, j1 - offset, n, z + (from - j0) * n,
                                        b.x.data(), b.ki_min.data(), b.ko.data(), slot[k]);
            else if (plans[k].levels.empty())
                slot[k] = advance(*legs[k].model, plans[k], from - offset, j1 - offset, n, z + (from - j0) * n,
                                  b.x.data(), b.ki_min.data(), b.ko.data(), slot[k]);
            else
                slot[k] = advance_levels(*legs[k].model, plans[k], from - offset, j1 - offset, n,
                                         z + (from - j0) * n, b.x.data(), b.ko.data(), b.excess.data(), slot[k]);
        }
        j0 = j1;
    }
    for (std::size_t k = 0; k < legs.size(); ++k) {
        LegBuffers& b = ws.legs[k];
        for (std::size_t p = 0; p < n; ++p) b.final[p] = std::exp(b.x[p]);
        obs[k] = Observations{first,         n,           plans[k].ko_pos.size(), b.ko.data(), b.ki_min.data(),
                              b.final.data(), b.x.data(), plans[k].levels.size(),  b.excess.data()};
    }
}

}  // namespace

Grid make_grid(const Date& evaluation_date, const Date& maturity) {
    Grid g;
    g.dates = heron::get_trading_dates(evaluation_date, maturity);
    g.dtt.resize(g.dates.size());
    Date previous = evaluation_date;
    for (std::size_t j = 0; j < g.dates.size(); ++j) {
        if (g.dates[j] < previous || (j > 0 && g.dates[j] == previous))
            throw ValueError("trading day " + utils::format_date(g.dates[j]) + " from the market-data service is " +
                             (j == 0 ? "before the evaluation date " : "not after the trading day ") +
                             utils::format_date(previous));
        g.dtt[j] = static_cast<double>(g.dates[j] - previous) / 365.0;
        previous = g.dates[j];
    }
    return g;
}

std::vector<std::size_t> positions(const Grid& grid, const std::vector<Date>& dates) {
    std::vector<std::size_t> out;
    out.reserve(dates.size());
    for (const Date& d : dates) {
        const std::size_t j = utils::left_insertion(grid.dates, d);
        if (j >= grid.size())
            throw IndexError("observation date " + utils::format_date(d) + " is after the last grid day" +
                             (grid.dates.empty() ? std::string() : " " + utils::format_date(grid.dates.back())));
        out.push_back(j);
    }
    return out;
}

Model make_model(const Grid& grid, double r, double q, double vol) {
    Model m;
    const std::size_t T = grid.size();
    m.drift.resize(T);
    m.diffusion.resize(T);
    m.discount.resize(T);
    m.dtt = grid.dtt;
    m.vol = vol;
    const double mu = r - q - vol * vol / 2;
    double elapsed = 0.0;
    for (std::size_t j = 0; j < T; ++j) {
        m.drift[j] = mu * grid.dtt[j];
        m.diffusion[j] = vol * std::sqrt(grid.dtt[j]);
        elapsed += grid.dtt[j];
        m.discount[j] = std::exp(-r * elapsed);
    }
    return m;
}

Model make_model(const Grid& grid, const Date& evaluation_date, const Market& market) {
    if (market.is_flat()) return make_model(grid, market.r.number(), market.q.number(), market.vol.number());
    Model m;
    const std::size_t T = grid.size();
    m.drift.resize(T);
    m.diffusion.resize(T);
    m.discount.resize(T);
    m.variance.resize(T);
    m.dtt = grid.dtt;
    // The vol of a flat vol curve, for what reads Model::vol; curves read the variance.
    m.vol = market.vol.is_number() ? market.vol.number() : 0.0;
    // -ln Dr(t) = zr(t) t, -ln Dq(t) = zq(t) t and V(t) at the day before.
    double lr0 = 0.0, lq0 = 0.0, v0 = 0.0;
    for (std::size_t j = 0; j < T; ++j) {
        const double t = static_cast<double>(grid.dates[j] - evaluation_date) / 365.0;
        const double lr = market.r.zero_rate(evaluation_date, t) * t;
        const double lq = market.q.zero_rate(evaluation_date, t) * t;
        const double v = market.vol.variance(evaluation_date, t);
        const double dv = std::max(v - v0, 0.0);
        m.drift[j] = (lr - lr0) - (lq - lq0) - dv / 2;
        m.diffusion[j] = std::sqrt(dv);
        m.discount[j] = market.r.discount(evaluation_date, t);
        m.variance[j] = v;
        lr0 = lr;
        lq0 = lq;
        v0 = v;
    }
    if (!market.vol.has_surface()) return m;
    // The local volatility grid: each step's row at its start.
    const SmileSurface& surface = *market.vol.surface();
    const double offset = market.vol.surface_offset(evaluation_date);
    auto lv = std::make_shared<LocalVolSteps>();
    const double centre = std::log(market.spot);
    const double half = std::max(kLocalVolHalfWidth, T ? 6.0 * std::sqrt(m.variance.back()) : 0.0);
    const auto cells = static_cast<std::size_t>(std::ceil(2 * half / kLocalVolSpacing));
    lv->nodes = cells + 1;
    lv->x0 = centre - static_cast<double>(cells) * kLocalVolSpacing / 2;
    lv->inv_h = 1.0 / kLocalVolSpacing;
    std::vector<double> nodes(lv->nodes);
    for (std::size_t i = 0; i < lv->nodes; ++i) nodes[i] = lv->x0 + static_cast<double>(i) * kLocalVolSpacing;
    lv->vols.resize(T * lv->nodes);
    lv->carry.resize(T);
    lv->root_dtt.resize(T);
    double start = 0.0;
    lr0 = lq0 = 0.0;
    for (std::size_t j = 0; j < T; ++j) {
        const double t = static_cast<double>(grid.dates[j] - evaluation_date) / 365.0;
        const double lr = market.r.zero_rate(evaluation_date, t) * t;
        const double lq = market.q.zero_rate(evaluation_date, t) * t;
        lv->carry[j] = (lr - lr0) - (lq - lq0);
        lv->root_dtt[j] = std::sqrt(grid.dtt[j]);
        surface.local_vol_row(offset + start, nodes.data(), lv->nodes, lv->vols.data() + j * lv->nodes);
        lr0 = lr;
        lq0 = lq;
        start = t;
    }
    m.local = std::move(lv);
    m.log_spot = centre;
    return m;
}

Model Model::at_spot(double spot) const {
    Model m = *this;
    if (local) m.log_spot = std::log(spot);
    return m;
}

Terminal terminal(const Model& model) {
    Terminal out;
    const std::size_t T = model.size();
    out.beta.assign(T, 0.0);
    std::vector<double> t(T);
    double elapsed = 0.0;
    for (std::size_t j = 0; j < T; ++j) {
        t[j] = elapsed += model.dtt[j];
        out.drift = out.drift + model.drift[j];
    }
    if (!model.variance.empty()) {
        // A Brownian motion in variance time: Cov(x_j, x_{T-1}) = V_j.
        if (T == 0 || !(model.variance.back() > 0)) return out;
        const double root = std::sqrt(model.variance.back());
        for (std::size_t j = 0; j < T; ++j) out.beta[j] = model.variance[j] / root;
        return out;
    }
    if (T == 0 || !(t.back() > 0)) return out;
    const double root = std::sqrt(t.back());
    for (std::size_t j = 0; j < T; ++j) out.beta[j] = std::fabs(model.vol) * t[j] / root;
    return out;
}

double relative_level(double barrier, double spot, Space space) {
    const double rel = barrier / spot;
    if (space == Space::price) return rel;
    return rel > 0 ? std::log(rel) : -kInf;
}

MatrixObservations::MatrixObservations(const Matrix& paths, const std::vector<std::size_t>& ki_positions,
                                       const std::vector<std::size_t>& ko_positions) {
    const std::size_t n = paths.rows(), T = paths.cols(), m = ko_positions.size();
    if (n > 0 && T == 0) throw ValueError("paths have no grid day");
    const DayPlan plan = plan_days(T, ki_positions, ko_positions);
    ko_.resize(m * n);
    ki_min_.assign(n, kInf);
    final_.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        const double* row = paths.row(p);
        for (std::size_t i = 0; i < m; ++i) ko_[i * n + p] = row[ko_positions[i]];
        for (std::size_t j : ki_positions) ki_min_[p] = row[j] < ki_min_[p] ? row[j] : ki_min_[p];
        final_[p] = row[T - 1];
    }
    view_ = Observations{0, n, m, ko_.data(), ki_min_.data(), final_.data()};
}

namespace {

// Adds block sums in block order as they arrive, keeping only the blocks that
// finished ahead of an earlier one: the total is the same sequence of
// additions whatever the threads, and memory does not grow with the paths.
class OrderedSum {
  public:
    explicit OrderedSum(std::size_t n_values) : total_(n_values, 0.0) {}

    void add(std::size_t block, std::vector<double>&& sums) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (block != next_) {
            waiting_.emplace(block, std::move(sums));
            return;
        }
        absorb(sums);
        for (auto it = waiting_.find(next_); it != waiting_.end(); it = waiting_.find(next_)) {
            absorb(it->second);
            waiting_.erase(it);
        }
    }
    const std::vector<double>& total() const noexcept { return total_; }

  private:
    void absorb(const std::vector<double>& sums) {
        for (std::size_t k = 0; k < total_.size(); ++k) total_[k] += sums[k];
        ++next_;
    }
    std::mutex mutex_;
    std::vector<double> total_;
    std::size_t next_ = 0;
    std::map<std::size_t, std::vector<double>> waiting_;
};

}  // namespace

Sums simulate(const Model& model, const std::vector<std::size_t>& ki_positions,
              const std::vector<std::size_t>& ko_positions, std::size_t n_values, const BlockPayoff& payoff,
              Shocks shocks, const random_sample::Settings& settings) {
    const std::vector<Leg> legs{Leg{&model, ki_positions, ko_positions, n_values, {}}};
    return simulate_legs(
               legs, [&](std::size_t, const Observations& block, double* out) { payoff(block, out); }, shocks,
               settings)
        .front();
}

std::vector<Sums> simulate_legs(const std::vector<Leg>& legs, const LegPayoff& payoff, Shocks shocks,
                                const random_sample::Settings& settings) {
    if (legs.empty()) return {};
    std::size_t T = 0;
    std::vector<DayPlan> plans;
    std::vector<std::size_t> value_at;  // first of each leg's values in a block's sums
    std::size_t n_values = 0;
    for (const Leg& leg : legs) {
        const std::size_t t = leg.model->size();
        if (t == 0) throw ValueError("the simulation grid has no trading day");
        T = std::max(T, t);
        plans.push_back(plan_days(t, leg.ki_positions, leg.ko_positions));
        if (!leg.ki_levels.empty()) {
            if (leg.model->local)
                throw ValueError("a local volatility has no terminal normal to integrate out: plain paths only");
            DayPlan& plan = plans.back();
            plan.levels = leg.ki_levels;
            for (double b : terminal(*leg.model).beta) plan.inv_beta.push_back(b > 0 ? 1.0 / b : kInf);
        }
        value_at.push_back(n_values);
        n_values += leg.n_values;
    }
    const bool sobol = shocks == Shocks::sobol;
    const std::size_t replicas = sobol ? kSobolReplicas : 1;
    // Paths of a replica, and its blocks.
    if (settings.paths == 0) throw ValueError("number of paths must be at least 1");
    if (settings.threads == 0) throw ValueError("number of threads must be at least 1");
    const std::size_t M = (settings.paths + replicas - 1) / replicas;
    const std::size_t N = M * replicas;
    const std::uint64_t seed = settings.seed;
    // Every thread of the simulation, this one included, dispatches the
    // kernels to the settings' instruction set and values under this
    // thread's holiday table.
    const std::int64_t targets = random_sample::simd_targets(settings.simd);
    const calendar::Holidays holidays = calendar::holidays_in_force();
    const std::size_t per_replica = (M + kBlockPaths - 1) / kBlockPaths;
    const std::size_t n_blocks = per_replica * replicas;
    const std::size_t longest = static_cast<std::size_t>(
        std::max_element(legs.begin(), legs.end(),
                         [](const Leg& a, const Leg& b) { return a.model->size() < b.model->size(); }) -
        legs.begin());
    // Each replica's sums in its own slots, added in block order.
    OrderedSum sum(n_values * replicas);

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&] {
        try {
            const engines::mc::ScopedTargets dispatch(targets);
            const calendar::ScopedClosures closures(holidays);
            Workspace ws(plans);
            std::vector<Observations> obs(legs.size());
            std::optional<SobolShocks> qmc;
            std::vector<double> zq;
            if (sobol) {
                qmc.emplace(legs[longest].model->dtt, seed);
                zq.resize(T * kBlockPaths);
            }
            for (;;) {
                if (failed.load(std::memory_order_relaxed)) return;
                const std::size_t b = next.fetch_add(1);
                if (b >= n_blocks) return;
                const std::size_t replica = b / per_replica, first = (b % per_replica) * kBlockPaths;
                const std::size_t n = std::min(kBlockPaths, M - first);
                if (qmc) qmc->fill(replica, first, n, zq.data());
                run_block(legs, plans, T, first, n, seed, settings.draws, ws, obs, qmc ? zq.data() : nullptr);
                std::vector<double> sums(n_values * replicas, 0.0);
                double* out = sums.data() + replica * n_values;
                for (std::size_t k = 0; k < legs.size(); ++k) payoff(k, obs[k], out + value_at[k]);
                sum.add(b, std::move(sums));
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    {
        const std::size_t n_threads = std::min(settings.threads, n_blocks);
        std::vector<std::jthread> helpers;
        for (std::size_t t = 1; t < n_threads; ++t) {
            try {
                helpers.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // fewer threads; the value does not depend on it
            }
        }
        work();
    }
    if (error) std::rethrow_exception(error);
    std::vector<Sums> out;
    const std::vector<double>& total = sum.total();
    for (std::size_t k = 0; k < legs.size(); ++k) {
        Sums s{std::vector<double>(legs[k].n_values, 0.0), N, {}};
        for (std::size_t g = 0; g < replicas; ++g) {
            const double* at = total.data() + g * n_values + value_at[k];
            for (std::size_t i = 0; i < legs[k].n_values; ++i) s.values[i] += at[i];
            if (sobol) s.replicas.emplace_back(at, at + legs[k].n_values);
        }
        out.push_back(std::move(s));
    }
    return out;
}

Matrix simulate_paths(const Model& model) {
    const std::size_t T = model.size();
    Matrix paths(random_sample::paths(), T);
    if (T == 0) return paths;
    random_sample::fill_random_samples(T, 0, paths.rows(), random_sample::seed(), paths.data());
    for (std::size_t p = 0; p < paths.rows(); ++p) {
        double* row = paths.row(p);
        double x = 0.0;
        for (std::size_t j = 0; j < T; ++j) {
            if (model.local) {
                const LocalVolSteps& lv = *model.local;
                const double s = lv.at(j, model.log_spot + x);
                x = x + ((lv.carry[j] - 0.5 * s * s * model.dtt[j]) + s * lv.root_dtt[j] * row[j]);
            } else {
                x = x + (model.drift[j] + model.diffusion[j] * row[j]);
            }
            row[j] = std::exp(x);
        }
    }
    return paths;
}

}  // namespace kestrel::detail::mc
