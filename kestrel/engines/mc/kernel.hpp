#pragma once
// The Monte Carlo kernel of the autocallable notes: the trading-day grid, the
// shocks, the paths relative to spot, the discount factors, and the streaming
// of paths in blocks over threads.
//
// On a grid of T trading days from the evaluation date E to maturity, with
// dtt[j] the calendar days of step j over 365 (step 0 runs from E to the first
// trading day),
//   x[p, j]     = sum over l <= j of (r - q - vol^2 / 2) dtt[l] + vol sqrt(dtt[l]) z[p, l]
//   path[p, j]  = exp(x[p, j])          (price over spot)
//   discount[j] = exp(-r (dtt[0] + ... + dtt[j]))
// with z the standard normal draws of kestrel::random_sample. On a market of
// curves (make_model with a Market) each step takes the forward quantities
// between its days instead: with t_j the calendar days to day j over 365, Dr
// and Dq the r and q curves' discount factors and V the vol curve's total
// variance,
//   drift[j]     = ln(Dr(t_{j-1}) / Dr(t_j)) - ln(Dq(t_{j-1}) / Dq(t_j)) - (V(t_j) - V(t_{j-1})) / 2
//   diffusion[j] = sqrt(V(t_j) - V(t_{j-1}))
//   discount[j]  = Dr(t_j)
// so a path's log-price on day j has the forward's mean and the curve's
// variance. A market of plain numbers takes the formulas above, bit for bit.
//
// On a market whose vol is a calibrated surface the paths follow its local
// volatility sigma(t, S) (make_model, Model::local): step j moves a path at
// x by
//   (carry[j] - sigma^2 / 2 dtt[j]) + sigma sqrt(dtt[j]) z,
//   carry[j] = ln(Dr(t_{j-1}) / Dr(t_j)) - ln(Dq(t_{j-1}) / Dq(t_j)),
// with sigma read at the step's start t_{j-1} and the path's price
// S = spot exp(x) off a grid made once per valuation: one row per grid day,
// nodes every kLocalVolSpacing in log price over kLocalVolHalfWidth either
// side of the spot (or more, 6 at-the-money standard deviations to
// maturity), linear in log price between nodes and flat beyond. Such a path
// depends on its spot, so a valuation at several spots runs one leg per
// spot on the same shocks. The vector kernels take these steps too, each
// lane reading its own node pair of the day's row.
//
// A payoff never sees whole paths: it reads Observations of a block of them,
// each path's level on every knock-out date, its lowest level over the
// knock-in dates and its final price relative to spot. Streamed blocks are
// observed in log space (the level is x, compared with log(barrier / spot),
// so no exponential is taken per step); a given path matrix is observed as
// prices. Levels put a note's barriers in the space of the observations.
//
// Streaming cuts the paths into blocks of kBlockPaths, makes each block's
// shocks day by day in a small buffer, and never holds the N x T matrix:
// memory is O(kBlockPaths x (knock-out dates + buffer days)) per thread. The
// payoff sums of every block are added in block order (a block that finishes
// early waits for the ones before it), so a value is the same bit for bit on
// any number of threads.
#include <kestrel/market.hpp>
#include <kestrel/random_sample.hpp>

#include <ql/time/date.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace kestrel::detail::mc {

using QuantLib::Date;
using random_sample::Matrix;

// Paths per streamed block, whatever the thread count.
inline constexpr std::size_t kBlockPaths = 256;

// The simulation grid of one evaluation date.
struct Grid {
    std::vector<Date> dates;  // trading days from the evaluation date to maturity
    std::vector<double> dtt;  // year fraction of each step, whole calendar days / 365
    std::size_t size() const noexcept { return dates.size(); }
};

// The trading days from evaluation_date to maturity from the market-data
// service, and their steps.
Grid make_grid(const Date& evaluation_date, const Date& maturity);

// Grid position of each date: the first trading day on or after it (left
// insertion). IndexError naming the date when it is after the last grid day.
std::vector<std::size_t> positions(const Grid& grid, const std::vector<Date>& dates);

// The local volatility grid's node spacing and least half width, in log price.
inline constexpr double kLocalVolSpacing = 0.005;
inline constexpr double kLocalVolHalfWidth = 0.75;

// Per-step local volatilities on uniform log-price nodes.
struct LocalVolSteps {
    double x0 = 0, inv_h = 0;    // log price of the first node, 1 / spacing
    std::size_t nodes = 0;       // per row, >= 2
    std::vector<double> vols;    // grid day j's row at vols[j * nodes]
    std::vector<double> carry;   // per grid day: the r and q curves' drift of the step
    std::vector<double> root_dtt;
    // The volatility of step j at log price y.
    double at(std::size_t j, double y) const {
        const double last = static_cast<double>(nodes - 1);
        double u = (y - x0) * inv_h;
        u = u >= 0 ? (u > last ? last : u) : 0;
        std::size_t i = static_cast<std::size_t>(u);
        if (i + 1 >= nodes) i = nodes - 2;
        const double* row = vols.data() + j * nodes;
        return row[i] + (u - static_cast<double>(i)) * (row[i + 1] - row[i]);
    }
};

// Per-step coefficients of the paths and the discount factors.
struct Model {
    std::vector<double> drift;      // (r - q - vol^2 / 2) dtt[j]
    std::vector<double> diffusion;  // vol sqrt(dtt[j])
    std::vector<double> discount;   // exp(-r (dtt[0] + ... + dtt[j]))
    std::vector<double> dtt;        // the grid's steps
    double vol = 0;
    // On a market of curves: the total variance V(t_j) to each grid day
    // (Terminal reads it); empty for plain numbers, whose variance is vol^2 t.
    std::vector<double> variance;
    // Under a local volatility: its grid (drift and diffusion above then hold
    // the at-the-money term structure's, which the paths do not take) and the
    // log of the spot the paths start from.
    std::shared_ptr<const LocalVolSteps> local;
    double log_spot = 0;
    std::size_t size() const noexcept { return drift.size(); }
    // This model's paths from another spot (a local volatility reads it).
    Model at_spot(double spot) const;
};

Model make_model(const Grid& grid, double r, double q, double vol);
// On a market: the plain numbers' model for a market of plain numbers (the
// same numbers), otherwise the forward quantities of the curves resolved on
// evaluation_date, the grid's first step starting there.
Model make_model(const Grid& grid, const Date& evaluation_date, const Market& market);

// A path's dependence on its Brownian motion's value at the last grid day.
// With t_j the years to day j and W the Brownian motion,
//   x[p, j] = x0[p, j] + beta[j] Z[p],   beta[j] = |vol| t_j / sqrt(t_{T-1}),
//   Z[p] = (x[p, T-1] - drift) / beta[T-1]  (drift: the steps' drifts summed)
// where Z = +-W(t_{T-1}) / sqrt(t_{T-1}) is a standard normal independent of
// the residual x0 (the path's Brownian bridge, pinned at 0 on the last day).
// On a market of curves the log-price is a Brownian motion in variance time,
// x[p, j] - mean = B(V_j), whose covariance with the last day is V_j: then
// beta[j] = V_j / sqrt(V_{T-1}) (the same betas for a flat vol, up to rounding).
// A payoff may integrate Z out of each path analytically: the average of
// that conditional expectation has the same mean and far less variance.
struct Terminal {
    std::vector<double> beta;  // one per grid day
    double drift = 0;
};
Terminal terminal(const Model& model);

// What a payoff reads of a block of n paths.
struct Observations {
    std::size_t first = 0;           // index of the block's first path (sobol: within its replica)
    std::size_t n = 0;               // paths
    std::size_t m = 0;               // knock-out dates
    const double* ko = nullptr;      // m x n, date-major: level of path p on date i at ko[i * n + p]
    const double* ki_min = nullptr;  // n: lowest level over the knock-in dates, +inf when there is none
    const double* final = nullptr;   // n: price over spot on the last grid day
    const double* x_final = nullptr; // n: log of final (streamed blocks only)
    // Streamed blocks of a leg with ki_levels: for level l, path p, the
    // highest (level - x[p, j]) / beta[j] over the knock-in days at
    // ki_excess[l * n + p] (-inf without knock-in days; a day with beta 0
    // gives +inf below the level, nothing otherwise). Given its residual,
    // path p knocks in at level l for a terminal normal (see Terminal) below
    // ki_excess[l * n + p] + Z[p].
    std::size_t levels = 0;
    const double* ki_excess = nullptr;
};

// The space the levels of Observations are in.
enum class Space { price, log };

// A barrier relative to a spot, in the observations' space: barrier / spot,
// or its logarithm (-inf for a barrier at or below zero, which no price
// crosses from above and every price is above).
double relative_level(double barrier, double spot, Space space);

// Observations of a given matrix of paths (prices over spot, one row per path),
// in Space::price.
class MatrixObservations {
  public:
    MatrixObservations(const Matrix& paths, const std::vector<std::size_t>& ki_positions,
                       const std::vector<std::size_t>& ko_positions);
    const Observations& view() const noexcept { return view_; }

  private:
    std::vector<double> ko_, ki_min_, final_;
    Observations view_;
};

// A payoff of one block: writes its n_values sums over the block's paths into
// out[0 .. n_values). Called concurrently from several threads.
using BlockPayoff = std::function<void(const Observations& block, double* out)>;

// The n_values sums over all paths, and the number of paths; for
// quasi-random shocks also each replica's sums (its paths: paths / replicas).
struct Sums {
    std::vector<double> values;
    std::size_t paths = 0;
    std::vector<std::vector<double>> replicas;
};

// Where the shocks come from.
//   pseudo: kestrel::random_sample's draws (the default).
//   sobol:  kSobolReplicas independent randomisations of one Sobol sequence
//           (QuantLib's SobolRsg, Joe-Kuo direction numbers), each a random
//           digital shift keyed by the seed and the replica:
//           point i of replica k is the i-th Sobol point XOR the replica's
//           shift, one dimension per grid day with a positive step, turned
//           into normals by the inverse normal distribution and into the
//           increments of the Brownian motion over the grid's times by
//           QuantLib's BrownianBridge (the first dimension sets the last
//           day). Each replica has ceil(paths / kSobolReplicas) points.
//           The replicas' spread gives the standard error. On a market of
//           curves the bridge still spans calendar time: its first
//           dimension sets W at the last day, not the variance-time end
//           point, which is exact in law and only less effective.
enum class Shocks { pseudo, sobol };
inline constexpr std::size_t kSobolReplicas = 8;

// Streams settings.paths paths with settings.seed and settings.draws on
// settings.threads threads (block sums added in block order), the kernels
// dispatched to settings.simd. The threads it starts value under the holiday
// table in force on the calling thread.
Sums simulate(const Model& model, const std::vector<std::size_t>& ki_positions,
              const std::vector<std::size_t>& ko_positions, std::size_t n_values, const BlockPayoff& payoff,
              Shocks shocks = Shocks::pseudo,
              const random_sample::Settings& settings = random_sample::current_settings());

// Several simulations on one set of shocks, in one pass over the blocks: a
// leg is a model with its own grid, observed on its own days. A leg of T'
// days ends where the longest grid ends (its day j' takes the shocks of the
// longest grid's day j' + T - T', the days to maturity keying the draws), so
// each leg's sums equal, bit for bit, those simulate() gives it alone.
struct Leg {
    const Model* model = nullptr;
    std::vector<std::size_t> ki_positions, ko_positions;
    std::size_t n_values = 0;
    // Log levels whose ki_excess the observations carry, in place of ki_min
    // (left +inf on such a leg).
    std::vector<double> ki_levels;
};

// A payoff of one block of one leg: writes that leg's n_values sums.
using LegPayoff = std::function<void(std::size_t leg, const Observations& block, double* out)>;

// One Sums per leg, in the order of legs.
std::vector<Sums> simulate_legs(const std::vector<Leg>& legs, const LegPayoff& payoff, Shocks shocks = Shocks::pseudo,
                                const random_sample::Settings& settings = random_sample::current_settings());

// The same paths as a matrix of prices over spot, paths() x T, made from the
// row form of the same draws. For checks and small runs: it holds N x T.
Matrix simulate_paths(const Model& model);

}  // namespace kestrel::detail::mc
