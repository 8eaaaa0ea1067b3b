#include <kestrel/calendar.hpp>
#include <kestrel/market.hpp>
#include <kestrel/utils.hpp>

#include <ql/termstructures/volatility/equityfx/blackconstantvol.hpp>
#include <ql/termstructures/volatility/equityfx/blackvariancecurve.hpp>
#include <ql/termstructures/yield/flatforward.hpp>
#include <ql/termstructures/yield/zeroyieldstructure.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace kestrel {

using QuantLib::Date;

// ---------------------------------------------------------------- Pillar

Pillar Pillar::parse(std::string_view text) {
    const std::string t(text);
    if (t.size() >= 2 && std::isdigit(static_cast<unsigned char>(t.front())) &&
        std::all_of(t.begin(), t.end() - 1, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(t.back())));
        QuantLib::TimeUnit u;
        switch (unit) {
            case 'D': u = QuantLib::Days; break;
            case 'W': u = QuantLib::Weeks; break;
            case 'M': u = QuantLib::Months; break;
            case 'Y': u = QuantLib::Years; break;
            default: throw ValueError("pillar \"" + t + "\": a tenor ends in D, W, M or Y");
        }
        if (t.size() > 7) throw ValueError("pillar \"" + t + "\": tenor too long");
        const int n = std::stoi(t.substr(0, t.size() - 1));
        if (n <= 0) throw ValueError("pillar \"" + t + "\": a tenor must be positive");
        return Pillar(QuantLib::Period(n, u));
    }
    try {
        return Pillar(utils::parse_date(t));
    } catch (const Error&) {
        throw ValueError("pillar \"" + t + "\" is neither a date (YYYY-MM-DD) nor a tenor (1M, 3M, 1Y, ...)");
    }
}

Date Pillar::date(const Date& evaluation_date) const {
    if (const auto* d = std::get_if<Date>(&at_)) return *d;
    return evaluation_date + std::get<QuantLib::Period>(at_);
}

std::string Pillar::to_string() const {
    if (const auto* d = std::get_if<Date>(&at_)) return utils::format_date(*d);
    const auto& p = std::get<QuantLib::Period>(at_);
    const char* unit = "D";
    switch (p.units()) {
        case QuantLib::Weeks: unit = "W"; break;
        case QuantLib::Months: unit = "M"; break;
        case QuantLib::Years: unit = "Y"; break;
        default: break;
    }
    return std::to_string(p.length()) + unit;
}

// ---------------------------------------------------------------- curves

namespace {

double year_fraction(const Date& from, const Date& to) { return static_cast<double>(to - from) / 365.0; }

std::string entry_name(std::size_t i, const CurvePoint& p) {
    return "entry " + std::to_string(i + 1) + " (" + p.pillar.to_string() + ")";
}

std::string number_text(double x) {
    std::ostringstream os;
    os.precision(17);
    os << x;
    return os.str();
}

void check_points(const std::vector<CurvePoint>& points, const char* what, bool non_negative) {
    if (points.empty()) throw ValueError(std::string(what) + " curve has no points");
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double v = points[i].value;
        if (!std::isfinite(v))
            throw ValueError(entry_name(i, points[i]) + ": " + what + " must be a finite number, got " + number_text(v));
        if (non_negative && v < 0)
            throw ValueError(entry_name(i, points[i]) + ": " + what + " must not be negative, got " + number_text(v));
    }
}

// The points' dates on evaluation_date, each after the one before.
std::vector<Date> pillar_dates(const std::vector<CurvePoint>& points, const Date& evaluation_date) {
    std::vector<Date> dates;
    dates.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Date d = points[i].pillar.date(evaluation_date);
        if (!dates.empty() && d <= dates.back())
            throw ValueError(entry_name(i, points[i]) + " falls on " + utils::format_date(d) +
                             ", not after the entry before it (" + utils::format_date(dates.back()) +
                             "): pillars must be in order, each once");
        dates.push_back(d);
    }
    return dates;
}

// Linear between the points, flat beyond the ends.
double interpolate(const ResolvedCurve& c, double t) {
    const auto& x = c.times;
    const auto& y = c.values;
    if (t <= x.front()) return y.front();
    if (t >= x.back()) return y.back();
    const auto hi = static_cast<std::size_t>(std::upper_bound(x.begin(), x.end(), t) - x.begin());
    const std::size_t lo = hi - 1;
    const double w = (t - x[lo]) / (x[hi] - x[lo]);
    return y[lo] + w * (y[hi] - y[lo]);
}

// Zero rates on fixed times from a reference date, linear between them and
// flat beyond the ends.
class PillarZeroCurve : public QuantLib::ZeroYieldStructure {
  public:
    PillarZeroCurve(const Date& reference, ResolvedCurve curve)
        : QuantLib::ZeroYieldStructure(reference, calendar::get_a_share_calendar(), QuantLib::Actual365Fixed()),
          curve_(std::move(curve)) {}
    Date maxDate() const override { return Date::maxDate(); }

  protected:
    QuantLib::Rate zeroYieldImpl(QuantLib::Time t) const override { return interpolate(curve_, t); }

  private:
    ResolvedCurve curve_;
};

}  // namespace

RateCurve::RateCurve(std::vector<CurvePoint> points) : points_(std::move(points)) {
    check_points(points_, "rate", false);
}

double RateCurve::number() const {
    if (!is_number()) throw ValueError("the rate is a curve, not a number");
    return flat_;
}

RateCurve RateCurve::shifted(double dz) const {
    RateCurve c = *this;
    if (c.is_number()) c.flat_ = flat_ + dz;
    for (auto& p : c.points_) p.value += dz;
    return c;
}

ResolvedCurve RateCurve::resolve(const Date& evaluation_date) const {
    ResolvedCurve c;
    if (is_number()) {
        c.times = {0.0};
        c.values = {flat_};
        return c;
    }
    const auto dates = pillar_dates(points_, evaluation_date);
    for (std::size_t i = 0; i < points_.size(); ++i) {
        c.times.push_back(year_fraction(evaluation_date, dates[i]));
        c.values.push_back(points_[i].value);
    }
    return c;
}

double RateCurve::zero_rate(const Date& evaluation_date, double t) const {
    if (is_number()) return flat_;
    return interpolate(resolve(evaluation_date), t);
}

double RateCurve::discount(const Date& evaluation_date, double t) const {
    if (t == 0.0) return 1.0;
    return std::exp(-zero_rate(evaluation_date, t) * t);
}

QuantLib::Handle<QuantLib::YieldTermStructure> RateCurve::handle(const Date& evaluation_date) const {
    using namespace QuantLib;
    if (is_number())
        return Handle<YieldTermStructure>(
            ext::make_shared<FlatForward>(0, calendar::get_a_share_calendar(), flat_, Actual365Fixed()));
    return Handle<YieldTermStructure>(ext::make_shared<PillarZeroCurve>(evaluation_date, resolve(evaluation_date)));
}

VolCurve::VolCurve(std::vector<CurvePoint> points) : points_(std::move(points)) {
    check_points(points_, "vol", true);
}

VolCurve::VolCurve(std::shared_ptr<const SmileSurface> surface) : surface_(std::move(surface)) {
    if (!surface_) throw ValueError("vol: no calibrated surface");
}

double VolCurve::number() const {
    if (!is_number())
        throw ValueError(surface_ ? "the volatility is a calibrated surface, not a number"
                                  : "the volatility is a curve, not a number");
    return flat_;
}

double VolCurve::surface_offset(const Date& evaluation_date) const {
    if (!surface_) return 0.0;
    return std::max(0.0, year_fraction(surface_->reference_date(), evaluation_date));
}

VolCurve VolCurve::shifted(std::size_t expiry, double dv) const {
    if (!surface_) throw ValueError("only a calibrated surface has quotes by expiry to shift");
    return VolCurve(surface_->shifted(expiry, dv));
}

VolCurve VolCurve::shifted(double dv) const {
    if (surface_) return VolCurve(surface_->shifted(dv));
    VolCurve c = *this;
    if (c.is_number()) c.flat_ = flat_ + dv;
    for (auto& p : c.points_) p.value += dv;
    return c;
}

ResolvedCurve VolCurve::resolve(const Date& evaluation_date) const {
    ResolvedCurve c;
    if (is_number()) {
        c.times = {0.0};
        c.values = {flat_};
        return c;
    }
    if (surface_) {
        const double d = surface_offset(evaluation_date);
        const double w0 = surface_->atm_variance(d);
        for (double T : surface_->expiry_times()) {
            const double t = T - d;
            if (!(t > 0)) continue;
            c.times.push_back(t);
            c.values.push_back(std::sqrt(std::max(surface_->atm_variance(T) - w0, 0.0) / t));
        }
        if (c.times.empty()) {
            const double T = surface_->expiry_times().back();
            c.times = {0.0};
            c.values = {std::sqrt(surface_->atm_variance(T) / T)};
        }
        return c;
    }
    const auto dates = pillar_dates(points_, evaluation_date);
    double last_variance = 0.0;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (dates[i] <= evaluation_date) continue;
        const double t = year_fraction(evaluation_date, dates[i]);
        const double variance = points_[i].value * points_[i].value * t;
        if (variance < last_variance)
            throw ValueError(entry_name(i, points_[i]) + ": total variance " + number_text(variance) +
                             " is below the entry before it (" + number_text(last_variance) +
                             "): volatility falls too fast between them");
        last_variance = variance;
        c.times.push_back(t);
        c.values.push_back(points_[i].value);
    }
    if (c.times.empty()) {
        c.times = {0.0};
        c.values = {points_.back().value};
    }
    return c;
}

double VolCurve::variance(const Date& evaluation_date, double t) const {
    if (t <= 0.0) return 0.0;
    if (is_number()) return flat_ * flat_ * t;
    if (surface_) {
        const double d = surface_offset(evaluation_date);
        return std::max(surface_->atm_variance(d + t) - surface_->atm_variance(d), 0.0);
    }
    const ResolvedCurve c = resolve(evaluation_date);
    if (c.times.front() == 0.0) return c.values.front() * c.values.front() * t;  // every pillar past
    // Linear in total variance from (0, 0) through the points, flat vol beyond.
    double t0 = 0.0, v0 = 0.0;
    for (std::size_t i = 0; i < c.times.size(); ++i) {
        const double t1 = c.times[i], v1 = c.values[i] * c.values[i] * t1;
        if (t <= t1) return v0 + (v1 - v0) * (t - t0) / (t1 - t0);
        t0 = t1;
        v0 = v1;
    }
    return v0 * t / t0;
}

QuantLib::Handle<QuantLib::BlackVolTermStructure> VolCurve::handle(const Date& evaluation_date) const {
    using namespace QuantLib;
    if (is_number())
        return Handle<BlackVolTermStructure>(
            ext::make_shared<BlackConstantVol>(0, calendar::get_a_share_calendar(), flat_, Actual365Fixed()));
    const ResolvedCurve c = resolve(evaluation_date);
    if (c.times.front() == 0.0)
        return Handle<BlackVolTermStructure>(ext::make_shared<BlackConstantVol>(
            evaluation_date, calendar::get_a_share_calendar(), c.values.front(), Actual365Fixed()));
    std::vector<Date> dates;
    for (double t : c.times) dates.push_back(evaluation_date + static_cast<Date::serial_type>(std::lround(t * 365.0)));
    auto curve = ext::make_shared<BlackVarianceCurve>(evaluation_date, dates, c.values, Actual365Fixed(), true);
    curve->enableExtrapolation();
    return Handle<BlackVolTermStructure>(curve);
}

// ---------------------------------------------------------------- Market

Market Market::with_spot(double s) const {
    Market m = *this;
    m.spot = s;
    return m;
}

Market Market::with_vol_shift(double dv) const {
    Market m = *this;
    m.vol = vol.shifted(dv);
    return m;
}

Market Market::with_vol_shift(std::size_t expiry, double dv) const {
    Market m = *this;
    m.vol = vol.shifted(expiry, dv);
    return m;
}

Market Market::with_r_shift(double dz) const {
    Market m = *this;
    m.r = r.shifted(dz);
    return m;
}

Market Market::with_q_shift(double dz) const {
    Market m = *this;
    m.q = q.shifted(dz);
    return m;
}

void Market::check(const Date& evaluation_date) const {
    if (!std::isfinite(spot)) throw ValueError("spot must be a finite number, got " + number_text(spot));
    if (spot <= 0) throw ValueError("spot must be positive, got " + number_text(spot));
    auto rate = [&](const RateCurve& c, const char* name) {
        if (c.is_number()) {
            if (!std::isfinite(c.number()))
                throw ValueError(std::string(name) + " must be a finite number, got " + number_text(c.number()));
            return;
        }
        try {
            (void)c.resolve(evaluation_date);
        } catch (const ValueError& e) {
            throw ValueError(std::string(name) + ": " + e.what());
        }
    };
    rate(r, "r");
    rate(q, "q");
    if (vol.is_number()) {
        if (!std::isfinite(vol.number()))
            throw ValueError("vol must be a finite number, got " + number_text(vol.number()));
    } else {
        try {
            (void)vol.resolve(evaluation_date);
        } catch (const ValueError& e) {
            throw ValueError(std::string("vol: ") + e.what());
        }
    }
}

RateCurve implied_carry(const std::vector<std::pair<Date, double>>& forwards, const RateCurve& r, double spot,
                        const Date& evaluation_date) {
    if (forwards.empty()) throw ValueError("forwards: no prices");
    if (!(spot > 0) || !std::isfinite(spot)) throw ValueError("forwards: spot must be positive, got " + number_text(spot));
    std::vector<CurvePoint> points;
    for (std::size_t i = 0; i < forwards.size(); ++i) {
        const auto& [date, price] = forwards[i];
        const std::string entry = "entry " + std::to_string(i + 1) + " (" + utils::format_date(date) + ")";
        if (!std::isfinite(price) || price <= 0)
            throw ValueError(entry + ": a forward price must be positive and finite, got " + number_text(price));
        if (date <= evaluation_date)
            throw ValueError(entry + ": a forward must be after the evaluation date " +
                             utils::format_date(evaluation_date));
        const double t = year_fraction(evaluation_date, date);
        points.push_back({Pillar(date), r.zero_rate(evaluation_date, t) - std::log(price / spot) / t});
    }
    RateCurve q(std::move(points));
    (void)q.resolve(evaluation_date);  // dates in order, each once
    return q;
}

}  // namespace kestrel
