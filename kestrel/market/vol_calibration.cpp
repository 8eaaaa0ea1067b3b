#include <kestrel/errors.hpp>
#include <kestrel/market/vol_calibration.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <ql/math/optimization/constraint.hpp>
#include <ql/math/optimization/costfunction.hpp>
#include <ql/math/optimization/endcriteria.hpp>
#include <ql/math/optimization/levenbergmarquardt.hpp>
#include <ql/math/optimization/problem.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

namespace kestrel::vol {

using QuantLib::Date;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double year_fraction(const Date& from, const Date& to) { return static_cast<double>(to - from) / 365.0; }

std::string fixed(double x, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, x);
    return buf;
}

std::string shortest(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", x);
    return buf;
}

const char* type_text(OptionType t) { return t == OptionType::Call ? "call" : "put"; }

std::string quote_text(const OptionQuote& q) {
    return (q.row ? "row " + std::to_string(q.row) + " (" : std::string("(")) + utils::format_date(q.expiry) + " " +
           type_text(q.type) + " " + shortest(q.strike) + ")";
}

std::string trim(std::string_view s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return std::string(s.substr(a, b - a));
}

std::vector<std::string> split_fields(std::string_view line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (true) {
        const auto comma = line.find(',', start);
        out.push_back(trim(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return out;
}

bool parse_number(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(out);
}

// --- Black -----------------------------------------------------------------

double norm_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

}  // namespace

double black_price(OptionType type, double forward, double strike, double stddev) {
    const double intrinsic = type == OptionType::Call ? std::max(forward - strike, 0.0) : std::max(strike - forward, 0.0);
    if (!(stddev > 0)) return intrinsic;
    const double d1 = std::log(forward / strike) / stddev + 0.5 * stddev, d2 = d1 - stddev;
    return type == OptionType::Call ? forward * norm_cdf(d1) - strike * norm_cdf(d2)
                                    : strike * norm_cdf(-d2) - forward * norm_cdf(-d1);
}

double implied_vol(OptionType type, double forward, double strike, double t, double price) {
    const double intrinsic = type == OptionType::Call ? std::max(forward - strike, 0.0) : std::max(strike - forward, 0.0);
    const double upper = type == OptionType::Call ? forward : strike;
    if (!(t > 0) || !std::isfinite(price) || !(price > intrinsic) || !(price < upper)) return kNaN;
    // Bisection on the total standard deviation, which the price increases
    // in, then Newton's steps kept inside the bracket.
    double lo = 0.0, hi = 1.0;
    while (black_price(type, forward, strike, hi) < price) {
        hi *= 2;
        if (hi > 64) return kNaN;
    }
    double s = 0.5 * (lo + hi);
    for (int it = 0; it < 200; ++it) {
        const double p = black_price(type, forward, strike, s);
        const double diff = p - price;
        if (std::abs(diff) < 1e-15 * std::max(1.0, price)) break;
        if (diff > 0) hi = s;
        else lo = s;
        const double d1 = std::log(forward / strike) / s + 0.5 * s;
        const double vega = strike * std::exp(-0.5 * (d1 - s) * (d1 - s)) / std::sqrt(2.0 * M_PI);
        double next = vega > 0 ? s - diff / vega : kNaN;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::abs(next - s) < 1e-15) {
            s = next;
            break;
        }
        s = next;
    }
    return s / std::sqrt(t);
}

// --- quotes ----------------------------------------------------------------

void check_quotes(const std::vector<OptionQuote>& quotes, const Date& evaluation_date, std::string_view source) {
    const std::string src(source);
    if (quotes.empty()) throw ValueError(src + ": no quotes");
    std::map<std::tuple<int, int, double>, std::size_t> seen;
    for (std::size_t i = 0; i < quotes.size(); ++i) {
        const auto& q = quotes[i];
        const std::string row = src + ": row " + std::to_string(q.row ? q.row : i + 1);
        if (!(q.strike > 0) || !std::isfinite(q.strike))
            throw ValueError(row + ": the strike must be a positive number, got " + shortest(q.strike));
        if (!std::isfinite(q.price)) throw ValueError(row + ": the price is not a finite number");
        if (q.price < 0) throw ValueError(row + ": negative price " + shortest(q.price));
        if (q.expiry <= evaluation_date)
            throw ValueError(row + ": expiry " + utils::format_date(q.expiry) +
                             " is not after the evaluation date " + utils::format_date(evaluation_date));
        const auto key = std::make_tuple(q.expiry.serialNumber(), q.type == OptionType::Call ? 1 : 0, q.strike);
        const auto [it, fresh] = seen.emplace(key, q.row ? q.row : i + 1);
        if (!fresh)
            throw ValueError(row + ": " + utils::format_date(q.expiry) + " " + type_text(q.type) + " " +
                             shortest(q.strike) + " is quoted twice (row " + std::to_string(it->second) + " too)");
    }
}

std::vector<OptionQuote> parse_quotes(std::string_view text, const Date& evaluation_date, std::string_view source) {
    const std::string src(source);
    const char* names[] = {"expiry", "type", "strike", "price"};
    std::size_t column[4] = {0, 0, 0, 0};
    std::size_t needed = 0;  // fields a row must have
    bool header = false;
    std::vector<OptionQuote> out;
    std::size_t row = 0, pos = 0;
    while (pos <= text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++row;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (trim(line).empty()) {
            if (end == text.size()) break;
            continue;
        }
        auto fields = split_fields(line);
        if (!header) {
            for (auto& f : fields)
                std::transform(f.begin(), f.end(), f.begin(), [](unsigned char c) { return std::tolower(c); });
            for (int c = 0; c < 4; ++c) {
                const auto it = std::find(fields.begin(), fields.end(), names[c]);
                if (it == fields.end())
                    throw ValueError(src + ": row " + std::to_string(row) + ": missing column \"" + names[c] +
                                     "\" in the header (expiry,type,strike,price)");
                column[c] = static_cast<std::size_t>(it - fields.begin());
                needed = std::max(needed, column[c] + 1);
            }
            header = true;
            continue;
        }
        const std::string where = src + ": row " + std::to_string(row);
        if (fields.size() < needed) {
            for (int c = 0; c < 4; ++c)
                if (column[c] >= fields.size())
                    throw ValueError(where + ": missing column \"" + names[c] + "\"");
        }
        for (int c = 0; c < 4; ++c)
            if (fields[column[c]].empty()) throw ValueError(where + ": missing column \"" + names[c] + "\" (empty)");
        OptionQuote q;
        q.row = row;
        try {
            q.expiry = utils::parse_date(fields[column[0]]);
        } catch (const Error& e) {
            throw ValueError(where + ": expiry: " + e.message());
        }
        auto type = fields[column[1]];
        std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
        if (type == "call" || type == "c") q.type = OptionType::Call;
        else if (type == "put" || type == "p") q.type = OptionType::Put;
        else throw ValueError(where + ": type must be call or put, got \"" + fields[column[1]] + "\"");
        if (!parse_number(fields[column[2]], q.strike))
            throw ValueError(where + ": strike \"" + fields[column[2]] + "\" is not a number");
        if (!parse_number(fields[column[3]], q.price))
            throw ValueError(where + ": price \"" + fields[column[3]] + "\" is not a number");
        out.push_back(q);
    }
    if (!header) throw ValueError(src + ": empty (a header row expiry,type,strike,price is needed)");
    if (out.empty()) throw ValueError(src + ": no quotes after the header");
    check_quotes(out, evaluation_date, source);
    return out;
}

std::vector<OptionQuote> read_quotes(const std::string& path, const Date& evaluation_date) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ValueError(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    return parse_quotes(text.str(), evaluation_date, path);
}

ForwardSource parse_forward_source(std::string_view text) {
    if (text == "parity") return ForwardSource::Parity;
    if (text == "market") return ForwardSource::Market;
    throw ValueError("forwards must be \"parity\" or \"market\", got \"" + std::string(text) + "\"");
}

const char* to_string(ForwardSource s) { return s == ForwardSource::Parity ? "parity" : "market"; }

// --- calibration -------------------------------------------------------------

namespace {

std::string rows_text(const std::vector<const OptionQuote*>& qs) {
    std::size_t lo = SIZE_MAX, hi = 0;
    for (const auto* q : qs)
        if (q->row) lo = std::min(lo, q->row), hi = std::max(hi, q->row);
    if (hi == 0) return "";
    return lo == hi ? " (row " + std::to_string(lo) + ")"
                    : " (rows " + std::to_string(lo) + "-" + std::to_string(hi) + ")";
}

struct ParityLine {
    double forward = 0, discount = 0, rms = 0;
    std::size_t pairs = 0;
    struct LeftOut {
        const OptionQuote *call, *put;
        std::string why;
    };
    std::vector<LeftOut> left_out;
};

// C - P = D (F - K): least squares of y = C - P on K, slope -D and intercept
// D F; the pair furthest off the line is left out while its residual is above
// parity_outlier times the median absolute residual and above parity_floor.
ParityLine parity_forward(std::vector<std::tuple<double, double, const OptionQuote*, const OptionQuote*>> pairs,
                          const CalibrationSettings& settings, const std::string& where) {
    ParityLine line;
    std::vector<double> residuals;
    double slope = 0, intercept = 0;
    while (true) {
        const double n = static_cast<double>(pairs.size());
        double sk = 0, sy = 0;
        for (const auto& p : pairs) sk += std::get<0>(p), sy += std::get<1>(p);
        const double mk = sk / n, my = sy / n;
        double sxx = 0, sxy = 0;
        for (const auto& p : pairs) {
            const double dk = std::get<0>(p) - mk;
            sxx += dk * dk, sxy += dk * (std::get<1>(p) - my);
        }
        if (!(sxx > 0)) throw ValueError(where + ": the strikes quoted both ways are all the same");
        slope = sxy / sxx;
        intercept = my - slope * mk;
        residuals.clear();
        for (const auto& p : pairs) residuals.push_back(std::get<1>(p) - (intercept + slope * std::get<0>(p)));
        if (pairs.size() <= 3) break;
        std::vector<double> abs_res(residuals.size());
        std::transform(residuals.begin(), residuals.end(), abs_res.begin(), [](double x) { return std::abs(x); });
        const auto worst = static_cast<std::size_t>(std::max_element(abs_res.begin(), abs_res.end()) - abs_res.begin());
        std::vector<double> sorted = abs_res;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double median = sorted[sorted.size() / 2];
        const double r = abs_res[worst];
        if (r <= settings.parity_floor || r <= settings.parity_outlier * median) break;
        line.left_out.push_back({std::get<2>(pairs[worst]), std::get<3>(pairs[worst]),
                                 "put-call parity residual " + fixed(residuals[worst], 4) + ", " +
                                     fixed(r / std::max(median, 1e-300), 0) + " times the median"});
        pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(worst));
    }
    line.discount = -slope;
    if (!(line.discount > 0) || !std::isfinite(line.discount))
        throw ValueError(where + ": put-call parity gives a discount factor of " + shortest(line.discount) +
                         " (C - P rises with the strike); use forwards \"market\"");
    line.forward = intercept / line.discount;
    if (!(line.forward > 0) || !std::isfinite(line.forward))
        throw ValueError(where + ": put-call parity gives a forward of " + shortest(line.forward));
    line.pairs = pairs.size();
    double ss = 0;
    for (double r : residuals) ss += r * r;
    line.rms = std::sqrt(ss / static_cast<double>(residuals.size()));
    return line;
}

// The no-arbitrage shape of one side's prices in strike (increasing): a
// call's price falls with a slope in [-D, 0], a put's rises with a slope in
// [0, D], and both are convex. While the quotes break it by more than
// `tolerance` (in price), the quote whose removal leaves the least total
// breach goes (on a tie, the one further from the forward), with a line
// saying what it broke.
double shape_breach(const std::vector<const OptionQuote*>& q, OptionType type, double discount, double tolerance) {
    double total = 0;
    const auto add = [&](double breach) {
        if (breach > tolerance + 1e-12) total += breach;
    };
    const bool call = type == OptionType::Call;
    for (std::size_t i = 0; i + 1 < q.size(); ++i) {
        const double dk = q[i + 1]->strike - q[i]->strike, dp = q[i + 1]->price - q[i]->price;
        add(call ? dp : -dp);                             // monotone
        add(call ? -dp - discount * dk : dp - discount * dk);  // slope bound
    }
    for (std::size_t i = 1; i + 1 < q.size(); ++i) {
        const double u = (q[i]->strike - q[i - 1]->strike) / (q[i + 1]->strike - q[i - 1]->strike);
        add(q[i]->price - ((1 - u) * q[i - 1]->price + u * q[i + 1]->price));  // convex
    }
    return total;
}

std::vector<const OptionQuote*> screen_side(std::vector<const OptionQuote*> q, OptionType type, double discount,
                                            double tolerance, std::vector<DroppedQuote>& dropped) {
    const bool call = type == OptionType::Call;
    while (q.size() > 2 && shape_breach(q, type, discount, tolerance) > 0) {
        std::size_t best = 0;
        double best_breach = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < q.size(); ++i) {
            auto without = q;
            without.erase(without.begin() + static_cast<std::ptrdiff_t>(i));
            const double b = shape_breach(without, type, discount, tolerance);
            // Ties go to the quote further from the forward: the last call,
            // the first put.
            if (b < best_breach - 1e-15 || (std::abs(b - best_breach) <= 1e-15 && call)) best = i, best_breach = b;
        }
        // What it broke: monotonicity with a neighbour, else convexity.
        const auto* x = q[best];
        std::string why;
        for (std::size_t n : {best - 1, best + 1}) {
            if (n >= q.size()) continue;
            const auto* y = q[n];
            const bool falls = (y->strike > x->strike) == call;  // y should not be above x
            if (falls ? y->price > x->price + tolerance + 1e-12 : x->price > y->price + tolerance + 1e-12) {
                why = "breaks monotonicity in strike with " + shortest(y->price) + " at strike " + shortest(y->strike);
                break;
            }
        }
        if (why.empty()) {
            if (best > 0 && best + 1 < q.size()) {
                const auto *l = q[best - 1], *h = q[best + 1];
                const double u = (x->strike - l->strike) / (h->strike - l->strike);
                why = "breaks convexity in strike: the chord between strikes " + shortest(l->strike) + " and " +
                      shortest(h->strike) + " is at " + fixed((1 - u) * l->price + u * h->price, 5);
            } else if (q.size() >= 3) {
                const auto *y = q[best == 0 ? 1 : best - 1], *z = q[best == 0 ? 2 : best - 2];
                why = "breaks convexity in strike with the quotes at strikes " + shortest(y->strike) + " and " +
                      shortest(z->strike);
            } else {
                why = "breaks the price bounds in strike";
            }
        }
        dropped.push_back({*x, why});
        q.erase(q.begin() + static_cast<std::ptrdiff_t>(best));
    }
    return q;
}

struct SmilePoint {
    double k, vol;
};

// The SVI least-squares problem of one expiry: residuals in volatility at the
// quotes, then the penalties of the butterfly density below 0 and the total
// variance above the next expiry's on the check grid. The parameters are
// unconstrained: a, b = bmax(rho) / (1 + e^-u), rho = 0.999 tanh(v), m,
// sigma = e^s, with bmax(rho) = 2 / (1 + |rho|) (Lee's bound on the wings'
// slope).
class SviCost : public QuantLib::CostFunction {
  public:
    SviCost(const std::vector<SmilePoint>& points, double t, const std::vector<double>& grid,
            const std::vector<double>& upper_w, double atm_vol)
        : points_(points), t_(t), grid_(grid), upper_w_(upper_w), atm_vol_(atm_vol) {}

    SviParameters decode(const QuantLib::Array& x) const {
        SviParameters p;
        p.a = x[0];
        p.rho = 0.999 * std::tanh(x[2]);
        p.b = 2.0 / (1.0 + std::abs(p.rho)) / (1.0 + std::exp(-std::clamp(x[1], -50.0, 50.0)));
        p.m = x[3];
        p.sigma = sigma_min() + std::exp(std::clamp(x[4], -12.0, 3.0));
        return p;
    }
    QuantLib::Array encode(const SviParameters& p) const {
        QuantLib::Array x(5);
        const double rho = std::clamp(p.rho / 0.999, -0.999999, 0.999999);
        const double share = std::clamp(p.b * (1.0 + std::abs(p.rho)) / 2.0, 1e-12, 1 - 1e-12);
        x[0] = p.a;
        x[1] = std::log(share / (1 - share));
        x[2] = std::atanh(rho);
        x[3] = p.m;
        x[4] = std::log(std::max(p.sigma - sigma_min(), 1e-6));
        return x;
    }

    QuantLib::Array values(const QuantLib::Array& x) const override {
        const auto p = decode(x);
        QuantLib::Array r(points_.size() + 2 * grid_.size() + 1);
        std::size_t i = 0;
        for (const auto& pt : points_) {
            const double w = p.w(pt.k);
            // Below zero the volatility continues linearly in w, so the
            // optimiser still sees a slope.
            const double vol = w > 1e-12 ? std::sqrt(w / t_) : (w - 1e-12) / t_ * 1e6;
            // r sqrt(1 + (r / c)^2): least squares plus a fourth-power term
            // that leans on the largest errors (c = half a vol point), so
            // that two noisy neighbours share the error.
            const double e = vol - pt.vol;
            r[i++] = e * std::sqrt(1.0 + (e / kLargeError) * (e / kLargeError));
        }
        // The wings' steeper slope, b (1 + |rho|), at the price of
        // kWingWeight vol points per unit: nothing for the slopes listed
        // smiles have (a few hundredths), but it keeps a nearly flat smile
        // from being fitted by a steep wing far outside the quotes, which the
        // calendar condition would then force on every later expiry.
        r[i++] = kWingWeight * p.b * (1.0 + std::abs(p.rho));
        const double scale = 2.0 * atm_vol_ * t_;  // dw per unit of volatility
        for (std::size_t j = 0; j < grid_.size(); ++j) {
            const double k = grid_[j];
            const double w = p.w(k);
            const double g = w > 0 ? butterfly_g(k, w, p.dw(k), p.d2w(k)) : -1.0;
            r[i++] = kPenalty * std::max(0.0, kMinG - g);
            r[i++] = kPenalty * std::max(0.0, w - upper_w_[j]) / scale;
        }
        return r;
    }

    // sigma, the width of the smile's vertex, at least half the at-the-money
    // standard deviation: a narrower vertex is a kink the quotes cannot
    // resolve (it sits between strikes) and the local volatility would
    // swing across it.
    double sigma_min() const { return 0.5 * atm_vol_ * std::sqrt(t_); }

    static constexpr double kPenalty = 10.0;
    // The butterfly penalty aims a little above 0 so that what it leaves
    // still checks as g >= 0.
    static constexpr double kMinG = 1e-3;
    static constexpr double kWingWeight = 0.01;
    static constexpr double kLargeError = 0.005;

  private:
    const std::vector<SmilePoint>& points_;
    double t_;
    const std::vector<double>& grid_;
    const std::vector<double>& upper_w_;
    double atm_vol_;
};

double sum_squares(const QuantLib::Array& a) {
    double s = 0;
    for (double x : a) s += x * x;
    return s;
}

// Starting points: for each (rho, m, sigma) on a coarse grid, a and b by
// linear least squares of the total variances; the best few go to
// Levenberg-Marquardt and the best of those wins.
SviParameters fit_svi(const std::vector<SmilePoint>& points, double t, const std::vector<double>& grid,
                      const std::vector<double>& upper_w) {
    double atm_vol = points.front().vol, best_abs = std::abs(points.front().k);
    for (const auto& p : points)
        if (std::abs(p.k) < best_abs) best_abs = std::abs(p.k), atm_vol = p.vol;
    const SviCost cost(points, t, grid, upper_w, atm_vol);

    std::vector<std::pair<double, SviParameters>> starts;
    for (double rho : {-0.8, -0.5, -0.2, 0.0, 0.3})
        for (double m : {-0.1, -0.03, 0.0, 0.03, 0.1})
            for (double sigma : {0.02, 0.05, 0.1, 0.25}) {
                double s1 = 0, sp = 0, sw = 0, spp = 0, spw = 0;
                for (const auto& pt : points) {
                    const double x = pt.k - m, sg = std::max(sigma, 1.01 * cost.sigma_min());
                    const double phi = rho * x + std::sqrt(x * x + sg * sg);
                    const double w = pt.vol * pt.vol * t;
                    s1 += 1, sp += phi, sw += w, spp += phi * phi, spw += phi * w;
                }
                const double det = s1 * spp - sp * sp;
                if (!(std::abs(det) > 0)) continue;
                SviParameters p;
                p.rho = rho, p.m = m, p.sigma = std::max(sigma, 1.01 * cost.sigma_min());
                p.b = std::clamp((s1 * spw - sp * sw) / det, 1e-6, 2.0 / (1.0 + std::abs(rho)) * 0.99);
                p.a = (sw - p.b * sp) / s1;
                starts.emplace_back(sum_squares(cost.values(cost.encode(p))), p);
            }
    std::sort(starts.begin(), starts.end(), [](const auto& x, const auto& y) { return x.first < y.first; });

    SviParameters best = starts.front().second;
    double best_value = starts.front().first;
    QuantLib::NoConstraint none;
    const std::size_t tries = std::min<std::size_t>(4, starts.size());
    for (std::size_t s = 0; s < tries; ++s) {
        QuantLib::Problem problem(const_cast<SviCost&>(cost), none, cost.encode(starts[s].second));
        QuantLib::LevenbergMarquardt lm(1e-9, 1e-12, 1e-12);
        QuantLib::EndCriteria end(2000, 200, 1e-14, 1e-14, 1e-14);
        try {
            lm.minimize(problem, end);
        } catch (const QuantLib::Error&) {
            continue;  // this start failed; another may not
        }
        const auto x = problem.currentValue();
        const double v = sum_squares(cost.values(x));
        if (std::isfinite(v) && v < best_value) best_value = v, best = cost.decode(x);
    }
    return best;
}

}  // namespace

Calibration calibrate(const std::vector<OptionQuote>& quotes, const Market& market, const Date& evaluation_date,
                      const CalibrationSettings& settings) {
    check_quotes(quotes, evaluation_date);
    market.check(evaluation_date);
    if (!(settings.tolerance >= 0) || !(settings.local_vol_floor >= 0) ||
        !(settings.local_vol_cap > settings.local_vol_floor) || settings.check_points < 2 ||
        !(settings.check_margin >= 0) || !(settings.parity_outlier > 0))
        throw ValueError("calibration settings: tolerance, margin and floor must not be negative, the cap must be "
                         "above the floor and at least 2 check points are needed");

    Calibration c;
    c.evaluation_date = evaluation_date;
    c.spot = market.spot;
    c.settings = settings;

    std::map<Date, std::vector<const OptionQuote*>> by_expiry;
    for (const auto& q : quotes) by_expiry[q.expiry].push_back(&q);

    // Each expiry's forward and out-of-the-money implied volatilities.
    struct Slice {
        Date expiry;
        double t, forward;
        std::vector<SmilePoint> points;
        std::vector<FittedQuote> rows;
    };
    std::vector<Slice> slices;

    for (auto& [expiry, qs] : by_expiry) {
        std::sort(qs.begin(), qs.end(), [](const OptionQuote* a, const OptionQuote* b) {
            return std::tie(a->strike, a->type) < std::tie(b->strike, b->type);
        });
        const std::string where = "expiry " + utils::format_date(expiry) + rows_text(qs);
        ExpiryForward f;
        f.expiry = expiry;
        f.t = year_fraction(evaluation_date, expiry);
        f.discount = market.r.discount(evaluation_date, f.t);
        f.market_q = market.q.zero_rate(evaluation_date, f.t);
        const double r = market.r.zero_rate(evaluation_date, f.t);

        if (settings.forwards == ForwardSource::Parity) {
            std::map<double, std::pair<const OptionQuote*, const OptionQuote*>> both;
            for (const auto* q : qs) (q->type == OptionType::Call ? both[q->strike].first : both[q->strike].second) = q;
            std::vector<std::tuple<double, double, const OptionQuote*, const OptionQuote*>> pairs;
            for (const auto& [k, cp] : both)
                if (cp.first && cp.second) pairs.emplace_back(k, cp.first->price - cp.second->price, cp.first, cp.second);
            if (pairs.size() < 2)
                throw ValueError(where + ": fewer than two strikes quoted both as call and put, which the forward from "
                                         "put-call parity needs (or use forwards \"market\")");
            const auto line = parity_forward(std::move(pairs), settings, where);
            f.forward = line.forward;
            // A pair off the line: its in-the-money side (the less traded one)
            // is named; the out-of-the-money side still goes to the smile if
            // it passes the checks below.
            for (const auto& lo : line.left_out) {
                const bool call_itm = lo.call->strike < line.forward;
                const auto* itm = call_itm ? lo.call : lo.put;
                const auto* otm = call_itm ? lo.put : lo.call;
                c.dropped.push_back({*itm, "left out of the forward: " + lo.why + " (with the " +
                                               type_text(otm->type) + " at the same strike)"});
            }
            f.parity_discount = line.discount;
            f.pairs = line.pairs;
            f.parity_rms = line.rms;
        } else {
            f.forward = market.spot * market.q.discount(evaluation_date, f.t) / f.discount;
        }
        f.implied_q = r - std::log(f.forward / market.spot) / f.t;
        c.forwards.push_back(f);

        // Out-of-the-money quotes, outward from the forward on each side:
        // puts below it, calls at or above it.
        std::vector<const OptionQuote*> puts, calls;
        bool any_put_below = false, any_call_above = false;
        for (const auto* q : qs) {
            const bool otm = q->type == OptionType::Call ? q->strike >= f.forward : q->strike < f.forward;
            const double intrinsic = f.discount * std::max((q->type == OptionType::Call ? 1.0 : -1.0) *
                                                               (f.forward - q->strike),
                                                           0.0);
            if (!otm) {
                const bool listed = std::any_of(c.dropped.begin(), c.dropped.end(),
                                                [&](const DroppedQuote& d) { return d.quote.row == q->row && q->row; });
                if (!listed && q->price < intrinsic - settings.tolerance)
                    c.dropped.push_back({*q, "below its intrinsic value " + fixed(intrinsic, 4) + " (in the money)"});
                continue;
            }
            (q->type == OptionType::Call ? any_call_above : any_put_below) = true;
            if (!(q->price > intrinsic)) {
                c.dropped.push_back({*q, "not above its intrinsic value " + fixed(intrinsic, 4)});
                continue;
            }
            (q->type == OptionType::Call ? calls : puts).push_back(q);
        }
        if (!any_put_below || !any_call_above)
            throw ValueError(where + ": no " + (any_put_below ? "call" : "put") + " quoted " +
                             (any_put_below ? "above" : "below") + " the forward " + fixed(f.forward, 4) +
                             ", so one side of the smile is unknown");

        std::vector<const OptionQuote*> used = screen_side(puts, OptionType::Put, f.discount, settings.tolerance, c.dropped);
        const auto kept_calls = screen_side(calls, OptionType::Call, f.discount, settings.tolerance, c.dropped);
        used.insert(used.end(), kept_calls.begin(), kept_calls.end());

        std::vector<SmilePoint> points;
        std::vector<FittedQuote> rows;
        for (const auto* q : used) {
            const double vol = implied_vol(q->type, f.forward, q->strike, f.t, q->price / f.discount);
            if (std::isnan(vol)) {
                c.dropped.push_back({*q, "no implied volatility"});
                continue;
            }
            FittedQuote row;
            row.quote = *q;
            row.forward = f.forward;
            row.k = std::log(q->strike / f.forward);
            row.implied_vol = vol;
            rows.push_back(row);
            points.push_back({row.k, vol});
        }
        bool put_side = false, call_side = false;
        for (const auto& row : rows) (row.quote.type == OptionType::Call ? call_side : put_side) = true;
        if (!put_side || !call_side)
            throw ValueError(where + ": no usable " + (put_side ? "call" : "put") + " quote " +
                             (put_side ? "above" : "below") + " the forward " + fixed(f.forward, 4) +
                             " (every one there was dropped)");
        if (points.size() < 5)
            throw ValueError(where + ": " + std::to_string(points.size()) +
                             " usable out-of-the-money quotes; the smile's five parameters need at least five");

        slices.push_back({f.expiry, f.t, f.forward, std::move(points), std::move(rows)});
    }

    // One check grid for every expiry: from the lowest quoted k less the
    // margin to the highest plus the margin.
    double kmin = std::numeric_limits<double>::infinity(), kmax = -kmin;
    for (const auto& sl : slices) kmin = std::min(kmin, sl.points.front().k), kmax = std::max(kmax, sl.points.back().k);
    std::vector<double> grid(settings.check_points);
    for (std::size_t j = 0; j < grid.size(); ++j)
        grid[j] = kmin - settings.check_margin +
                  (kmax - kmin + 2 * settings.check_margin) * static_cast<double>(j) /
                      static_cast<double>(grid.size() - 1);

    // The expiries are fitted from the last to the first, each kept below
    // the next one's total variance: a long expiry's smile is the better
    // determined, and a short one's steep wings, extrapolated, would
    // otherwise force themselves on every later expiry.
    std::vector<SviParameters> smiles(slices.size());
    std::vector<double> upper_w(grid.size(), std::numeric_limits<double>::infinity());
    for (std::size_t n = slices.size(); n-- > 0;) {
        auto svi = fit_svi(slices[n].points, slices[n].t, grid, upper_w);
        // The penalty leaves at most a hair's breadth above the next
        // expiry's total variance: a level shift closes it exactly.
        double excess = 0;
        for (std::size_t j = 0; j < grid.size(); ++j) excess = std::max(excess, svi.w(grid[j]) - upper_w[j]);
        if (excess > 0) svi.a -= excess;
        smiles[n] = svi;
        for (std::size_t j = 0; j < grid.size(); ++j) upper_w[j] = svi.w(grid[j]);
    }

    std::vector<double> times, forwards;
    for (std::size_t n = 0; n < slices.size(); ++n) {
        auto& sl = slices[n];
        const auto& svi = smiles[n];
        ExpiryFit fit;
        fit.expiry = sl.expiry;
        fit.t = sl.t;
        fit.svi = svi;
        fit.quotes = sl.points.size();
        fit.min_g = std::numeric_limits<double>::infinity();
        fit.min_calendar = std::numeric_limits<double>::infinity();
        for (const double k : grid) {
            const double w = svi.w(k);
            fit.min_g = std::min(fit.min_g, w > 0 ? butterfly_g(k, w, svi.dw(k), svi.d2w(k)) : -1.0);
            fit.min_calendar = std::min(fit.min_calendar, w - (n ? smiles[n - 1].w(k) : 0.0));
        }
        double ss = 0;
        for (auto& row : sl.rows) {
            row.model_vol = std::sqrt(std::max(svi.w(row.k), 0.0) / sl.t);
            row.error = (row.model_vol - row.implied_vol) * 100.0;
            ss += row.error * row.error;
            fit.max_error = std::max(fit.max_error, std::abs(row.error));
        }
        fit.rms_error = std::sqrt(ss / static_cast<double>(sl.rows.size()));
        c.fits.push_back(fit);
        c.table.insert(c.table.end(), sl.rows.begin(), sl.rows.end());
        times.push_back(sl.t);
        forwards.push_back(sl.forward);
    }

    double ss = 0;
    for (const auto& row : c.table) {
        ss += row.error * row.error;
        c.max_error = std::max(c.max_error, std::abs(row.error));
    }
    c.rms_error = std::sqrt(ss / static_cast<double>(c.table.size()));
    c.butterfly_free = std::all_of(c.fits.begin(), c.fits.end(), [](const ExpiryFit& f) { return f.min_g >= 0; });
    c.calendar_free =
        std::all_of(c.fits.begin(), c.fits.end(), [](const ExpiryFit& f) { return f.min_calendar >= 0; });
    std::stable_sort(c.dropped.begin(), c.dropped.end(), [](const DroppedQuote& a, const DroppedQuote& b) {
        return std::tie(a.quote.expiry, a.quote.row) < std::tie(b.quote.expiry, b.quote.row);
    });
    c.surface = VolSurface(market.spot, times, forwards, smiles, settings.local_vol_floor, settings.local_vol_cap);
    return c;
}

// --- the printed report ------------------------------------------------------

std::string format_calibration(const Calibration& c) {
    std::ostringstream out;
    const bool parity = c.settings.forwards == ForwardSource::Parity;
    out << "forwards (" << (parity ? "put-call parity" : "the market's r and q") << "; spot " << shortest(c.spot)
        << ", " << utils::format_date(c.evaluation_date) << ")\n";
    out << "  expiry        days   forward   F/spot" << (parity ? "  pairs  parity rms  parity r %" : "")
        << "  implied q %  market q %\n";
    for (const auto& f : c.forwards) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "  %s  %5d  %8.5f  %7.5f", utils::format_date(f.expiry).c_str(),
                      static_cast<int>(std::lround(f.t * 365)), f.forward, f.forward / c.spot);
        out << buf;
        if (parity) {
            std::snprintf(buf, sizeof buf, "  %5zu  %10.6f  %10.3f", f.pairs, f.parity_rms,
                          -std::log(f.parity_discount) / f.t * 100);
            out << buf;
        }
        std::snprintf(buf, sizeof buf, "  %11.3f  %10.3f\n", f.implied_q * 100, f.market_q * 100);
        out << buf;
    }
    out << "dropped quotes: " << c.dropped.size() << "\n";
    for (const auto& d : c.dropped)
        out << "  " << quote_text(d.quote) << " at " << shortest(d.quote.price) << ": " << d.reason << "\n";

    std::size_t row = 0;
    for (const auto& fit : c.fits) {
        const auto& s = fit.svi;
        char buf[320];
        std::snprintf(buf, sizeof buf,
                      "expiry %s (t %.4f): SVI a %.6f b %.6f rho %.4f m %.5f sigma %.5f; least g %.4f, "
                      "least w - previous w %.3g\n",
                      utils::format_date(fit.expiry).c_str(), fit.t, s.a, s.b, s.rho, s.m, s.sigma, fit.min_g,
                      fit.min_calendar);
        out << buf << "  strike   type   k         quote    implied vol  model vol  error (vol pts)\n";
        for (; row < c.table.size() && c.table[row].quote.expiry == fit.expiry; ++row) {
            const auto& r = c.table[row];
            std::snprintf(buf, sizeof buf, "  %-7s  %-4s  %8.5f  %7.4f  %10.4f %%  %7.4f %%  %+7.3f\n",
                          shortest(r.quote.strike).c_str(), type_text(r.quote.type), r.k, r.quote.price,
                          r.implied_vol * 100, r.model_vol * 100, r.error);
            out << buf;
        }
        std::snprintf(buf, sizeof buf, "  rms %.3f, max %.3f vol points over %zu quotes\n", fit.rms_error,
                      fit.max_error, fit.quotes);
        out << buf;
    }
    char buf[256];
    std::snprintf(buf, sizeof buf, "error over %zu quotes: rms %.3f, max %.3f vol points\n", c.table.size(),
                  c.rms_error, c.max_error);
    out << buf;
    out << "butterfly (g >= 0 on each smile's check grid): " << (c.butterfly_free ? "holds" : "BROKEN") << "\n";
    out << "calendar (total variance non-decreasing in expiry at each k): " << (c.calendar_free ? "holds" : "BROKEN")
        << "\n";
    std::snprintf(buf, sizeof buf, "local volatility: Dupire on the SVI surface, clamped to [%g, %g]\n",
                  c.settings.local_vol_floor, c.settings.local_vol_cap);
    out << buf;
    return out.str();
}

// --- market files ------------------------------------------------------------

nlohmann::json market_entry(const std::vector<OptionQuote>& quotes, const CalibrationSettings& s) {
    nlohmann::json rows = nlohmann::json::array();
    for (const auto& q : quotes)
        rows.push_back({{"expiry", utils::format_date(q.expiry)},
                        {"type", type_text(q.type)},
                        {"strike", q.strike},
                        {"price", q.price}});
    nlohmann::json calibration = {{"model", "svi-raw"},
                                  {"tolerance", s.tolerance},
                                  {"parity_outlier", s.parity_outlier},
                                  {"parity_floor", s.parity_floor},
                                  {"check_margin", s.check_margin},
                                  {"check_points", s.check_points},
                                  {"local_vol_floor", s.local_vol_floor},
                                  {"local_vol_cap", s.local_vol_cap}};
    return {{"local", {{"quotes", rows}, {"forwards", to_string(s.forwards)}, {"calibration", calibration}}}};
}

namespace {

double json_number(const nlohmann::json& j, const std::string& where) {
    if (!j.is_number()) throw TypeError(where + " must be a number");
    const double x = j.get<double>();
    if (!std::isfinite(x)) throw ValueError(where + " must be finite");
    return x;
}

}  // namespace

MarketEntry read_market_entry(const nlohmann::json& entry, const Date& evaluation_date, const std::string& base_dir) {
    if (!entry.is_object() || !entry.contains("local"))
        throw KeyError("volatility entry: expected {\"local\": {\"quotes\": ..., \"forwards\": ...}}");
    const auto& local = entry["local"];
    if (!local.is_object()) throw TypeError("volatility entry: \"local\" must be an object");
    if (!local.contains("quotes")) throw KeyError("volatility entry: \"local\" has no \"quotes\"");
    MarketEntry out;
    const auto& quotes = local["quotes"];
    if (quotes.is_string()) {
        std::filesystem::path p(quotes.get<std::string>());
        if (p.is_relative()) p = std::filesystem::path(base_dir) / p;
        out.quotes = read_quotes(p.string(), evaluation_date);
    } else if (quotes.is_array()) {
        for (std::size_t i = 0; i < quotes.size(); ++i) {
            const auto& q = quotes[i];
            const std::string where = "volatility entry: quote " + std::to_string(i + 1);
            if (!q.is_object()) throw TypeError(where + " must be an object {expiry, type, strike, price}");
            for (const char* key : {"expiry", "type", "strike", "price"})
                if (!q.contains(key)) throw KeyError(where + ": missing \"" + key + "\"");
            if (!q["expiry"].is_string() || !q["type"].is_string())
                throw TypeError(where + ": expiry and type must be text");
            OptionQuote row;
            row.row = i + 1;
            row.expiry = utils::parse_date(q["expiry"].get<std::string>());
            const auto type = q["type"].get<std::string>();
            if (type == "call") row.type = OptionType::Call;
            else if (type == "put") row.type = OptionType::Put;
            else throw ValueError(where + ": type must be call or put, got \"" + type + "\"");
            row.strike = json_number(q["strike"], where + ": strike");
            row.price = json_number(q["price"], where + ": price");
            out.quotes.push_back(row);
        }
        check_quotes(out.quotes, evaluation_date, "volatility entry: quotes");
    } else {
        throw TypeError("volatility entry: \"quotes\" must be a file name or a list of rows");
    }
    if (local.contains("forwards")) {
        if (!local["forwards"].is_string()) throw TypeError("volatility entry: \"forwards\" must be text");
        out.settings.forwards = parse_forward_source(local["forwards"].get<std::string>());
    }
    if (local.contains("calibration")) {
        const auto& cal = local["calibration"];
        if (!cal.is_object()) throw TypeError("volatility entry: \"calibration\" must be an object");
        auto& s = out.settings;
        const auto number = [&](const char* key, double& into) {
            if (cal.contains(key)) into = json_number(cal[key], std::string("volatility entry: calibration.") + key);
        };
        if (cal.contains("model") && cal["model"] != "svi-raw")
            throw ValueError("volatility entry: calibration.model must be \"svi-raw\"");
        number("tolerance", s.tolerance);
        number("parity_outlier", s.parity_outlier);
        number("parity_floor", s.parity_floor);
        number("check_margin", s.check_margin);
        number("local_vol_floor", s.local_vol_floor);
        number("local_vol_cap", s.local_vol_cap);
        if (cal.contains("check_points")) {
            if (!cal["check_points"].is_number_unsigned())
                throw TypeError("volatility entry: calibration.check_points must be a whole number");
            s.check_points = cal["check_points"].get<std::size_t>();
        }
    }
    return out;
}

Market read_market_file(const std::string& path, const std::string& underlying) {
    std::ifstream in(path);
    if (!in) throw ValueError(path + ": cannot be read");
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(in);
    } catch (const nlohmann::json::parse_error& e) {
        throw ValueError(path + ": not JSON: " + e.what());
    }
    if (!j.is_object()) throw TypeError(path + ": a market file is a JSON object");
    Market m;
    if (!j.contains("r")) throw KeyError(path + ": missing \"r\"");
    const auto& r = j["r"];
    if (r.is_number()) {
        m.r = RateCurve(json_number(r, path + ": \"r\""));
    } else if (r.is_object() && r.contains("curve")) {
        std::vector<CurvePoint> points;
        const auto& curve = r["curve"];
        const auto add = [&](const std::string& pillar, const nlohmann::json& value, std::size_t i) {
            points.push_back({Pillar::parse(pillar),
                              json_number(value, path + ": \"r\" curve entry " + std::to_string(i + 1))});
        };
        if (curve.is_object()) {
            std::size_t i = 0;
            for (auto it = curve.begin(); it != curve.end(); ++it, ++i) add(it.key(), it.value(), i);
        } else if (curve.is_array()) {
            for (std::size_t i = 0; i < curve.size(); ++i) {
                const auto& e = curve[i];
                if (!e.is_array() || e.size() != 2 || !e[0].is_string())
                    throw TypeError(path + ": \"r\" curve entry " + std::to_string(i + 1) +
                                    " must be [pillar, rate]");
                add(e[0].get<std::string>(), e[1], i);
            }
        } else {
            throw TypeError(path + ": \"r\" curve must be an object or a list of [pillar, rate]");
        }
        m.r = RateCurve(std::move(points));
    } else {
        throw TypeError(path + ": \"r\" must be a number or {\"curve\": ...}");
    }
    if (!j.contains("underlyings") || !j["underlyings"].is_object())
        throw KeyError(path + ": missing \"underlyings\"");
    const auto& us = j["underlyings"];
    if (!us.contains(underlying)) throw KeyError(path + ": no underlying \"" + underlying + "\"");
    const auto& u = us[underlying];
    const std::string where = path + ": " + underlying;
    if (!u.is_object()) throw TypeError(where + " must be an object");
    if (!u.contains("spot") || u["spot"].is_null())
        throw KeyError(where + ": missing \"spot\" (calibration needs the spot of the quotes' day)");
    m.spot = json_number(u["spot"], where + ": \"spot\"");
    if (!(m.spot > 0)) throw ValueError(where + ": \"spot\" must be positive");
    if (u.contains("q") && !u["q"].is_null()) m.q = RateCurve(json_number(u["q"], where + ": \"q\""));
    return m;
}

}  // namespace kestrel::vol
