#pragma once
// The finite-difference engine of the autocallable notes: the same model as
// the Monte Carlo kernel (lognormal prices with drift r - q, discounting with
// r, time in calendar days over 365, observations only on their dates), solved
// backwards from maturity on a log-price mesh instead of simulated forwards.
//
// A note is described to the engine as data (Note below): per remaining
// knock-out date its time, barrier, coupon and coupon barrier; the knock-in
// times and barrier; the strike, an optional floor on the final price, the
// snowball's non-touch coupon, the history's knock-in state and the market.
// The engine knows nothing of terms or schedules; the notes' shared code
// builds the description (autocallable.hpp).
//
// Two value layers, knocked in (0) and not yet knocked in (1), live on one
// uniform log-price mesh, side by side in one array, and are stepped
// backwards together with QuantLib's schemes (TR-BDF2 by default); between
// observations the Black-Scholes operator acts along the price only, on each
// layer alike. Its diffusion is exponentially fitted, so a vol far below the
// drift over one mesh cell never makes the scheme oscillate. On an
// observation date:
//   knock-in (not-yet layer): takes the knocked-in layer's value below the
//     barrier;
//   knock-out (both layers): snowball, the coupon above the barrier; phoenix,
//     the coupon at or above the coupon barrier plus, at or below the
//     knock-out barrier, the note's value after the date.
// The mesh nodes sit on a lattice of log-prices with the knock-in barrier
// midway between two nodes, so the daily knock-in never splits a cell and the
// value is smooth in the spot. Any other level splits the cell it falls in:
// the node takes the cell's average of the two sides. Each observation leaves
// a jump that the next steps must damp: TR-BDF2 is L-stable and does so;
// Crank-Nicolson needs a few fully implicit steps first (implicit_steps),
// which cost accuracy when observations are daily.
//
// On a market of curves (Note::segments) the operator's coefficients and the
// discounting change from one segment to the next; the steps never straddle
// a segment's end. Under a local volatility (Note::local_vol) the diffusion
// and drift differ from node to node and change from one group of steps to
// the next (Settings::local_vol_hold).
//
// Observations on the evaluation date itself (time 0) are applied exactly,
// with strict comparisons, at the valued spots after the solution is read off
// the mesh: a price equal to a barrier crosses nothing. With vol = 0 (or no
// time left) the model is deterministic and the engine values the one path
// exactly as the Monte Carlo does.
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace kestrel::detail::pde {

// Which note's observation rule applies on knock-out dates.
enum class Rule { snowball, phoenix };

struct KnockOutDate {
    double time = 0;            // years from the evaluation date, 0 <= time <= maturity
    double barrier = 0;         // knocks out strictly above (price level)
    double coupon = 0;          // snowball: paid on knock-out; phoenix: the period's coupon
    double coupon_barrier = 0;  // phoenix: the coupon is earned at or above it (price level)
};

struct Note {
    Rule rule = Rule::snowball;
    std::vector<KnockOutDate> knock_out;  // ascending times
    std::vector<double> knock_in;         // times of the knock-in dates, ascending
    double ki_barrier = 0;                // knocks in strictly below
    double strike = 0;
    std::optional<double> floor_price;  // the loss uses max(final, floor_price)
    double maturity = 0;                // time of the final price (the last grid day)
    // Snowball: paid when the note neither knocks in nor knocks out,
    // discounted from non_touch_time.
    double non_touch_coupon = 0, non_touch_time = 0;
    bool knocked_in = false;  // by the price history: only the knocked-in layer counts
    double r = 0, q = 0, vol = 0;
    // A market of curves: r, q and vol piecewise constant in time, each
    // segment's the forward rate, carry and volatility from the end of the one
    // before it (or time 0) to its own end; the segments' ends ascend and the
    // last reaches maturity. Empty: r, q and vol above hold throughout.
    struct Segment {
        double end = 0, r = 0, q = 0, vol = 0;
    };
    std::vector<Segment> segments;
    // A local volatility (with segments, whose vols then only size the
    // mesh): sigma(t, S) at each of n log prices ln S, t years from the
    // evaluation date. The operator takes it at every mesh node at the
    // earlier time of a group of steps (Settings::local_vol_hold), the start
    // of the group forwards in time, and holds it over the group.
    using LocalVol = std::function<void(double t, const double* log_spots, std::size_t n, double* out)>;
    LocalVol local_vol;
    // What the solution is worth at maturity on the knocked-in layer: the
    // loss (the note's value), nothing, 1 (the probability of reaching
    // maturity knocked in, with the coupons at 0) or 1 for a loss (its
    // probability). Without discounting (discount false) and with coupons of
    // 0 or 1 the solution is a probability.
    enum class Terminal { loss, zero, one, loss_indicator };
    Terminal terminal = Terminal::loss;
    bool discount = true;
};

// Numerical settings. The defaults keep a one- or two-year note within
// 1e-4 x s0 of the grid-refined value (README).
// The time scheme between observations: TR-BDF2 (a trapezoidal stage, then
// BDF2; second order and L-stable, so it damps the jumps that observations
// leave) or Crank-Nicolson.
enum class Scheme { tr_bdf2, crank_nicolson };

struct Settings {
    std::size_t space_nodes = 401;  // log-spot nodes, >= 11
    double std_devs = 5.5;          // mesh reach in standard deviations of log-price (see solve)
    double min_half_width = 0.05;   // and at least this much either side, so the spot bumps sit well inside
    double steps_per_year = 365;    // time steps per year between observations (at least one per interval)
    std::size_t implicit_steps = 0;  // fully implicit steps after each observation, then the scheme
    // A local volatility is taken on the mesh at the start of each stretch
    // between observations and held over it, or over parts of at most this
    // many years where the stretch is longer (0: at every step's start).
    double local_vol_hold = 4.0 / 365;
    Scheme scheme = Scheme::tr_bdf2;
};

// ValueError naming a setting that cannot work.
void check(const Settings& settings);

struct Solution {
    double npv = 0, delta = 0, gamma = 0;
};

// The note's value at spot; with delta_and_gamma also the values at
// spot x 1.005 and spot x 0.995 read off the same solution, giving
// delta = (p1 - p2) / (spot x 0.01), gamma = (p1 + p2 - 2 p0) / (spot x 0.005)^2.
// ValueError for a description that cannot be valued (a time outside
// [0, maturity], unordered dates, a non-finite number, spot <= 0).
Solution solve(const Note& note, double spot, bool delta_and_gamma, const Settings& settings = {});

}  // namespace kestrel::detail::pde
