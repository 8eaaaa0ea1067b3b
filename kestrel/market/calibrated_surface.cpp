#include <kestrel/errors.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/utils.hpp>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

namespace kestrel::vol {
namespace {

std::string number_text(double x) {
    std::ostringstream os;
    os.precision(17);
    os << x;
    return os.str();
}

}  // namespace

std::shared_ptr<const CalibratedSurface> CalibratedSurface::calibrate(std::vector<OptionQuote> quotes,
                                                                      const Market& market, const QuantLib::Date& date,
                                                                      const CalibrationSettings& settings) {
    Calibration c = vol::calibrate(quotes, market, date, settings);
    auto out = std::make_shared<CalibratedSurface>(c.surface, date);
    out->calibration_ = std::move(c);
    out->quotes_ = std::move(quotes);
    out->market_ = Market(market.spot, market.r, VolCurve(0.0), market.q);
    return out;
}

CalibratedSurface::CalibratedSurface(VolSurface surface, const QuantLib::Date& reference_date)
    : surface_(std::move(surface)), reference_date_(reference_date) {
    if (surface_.times().empty()) throw ValueError("calibrated surface: the surface has no expiry");
}

RateCurve CalibratedSurface::implied_carry() const {
    if (!calibration_) throw ValueError("calibrated surface: a given surface has no calibrated forwards");
    std::vector<std::pair<QuantLib::Date, double>> forwards;
    for (const auto& f : calibration_->forwards) forwards.emplace_back(f.expiry, f.forward);
    return kestrel::implied_carry(forwards, market_.r, market_.spot, reference_date_);
}

double CalibratedSurface::atm_variance(double t) const {
    if (!(t > 0)) return 0.0;
    return std::max(surface_.variance(0.0, t).w, 0.0);
}

void CalibratedSurface::local_vol_row(double t, const double* log_spots, std::size_t n, double* out) const {
    surface_.local_vol_row(t, log_spots, n, out);
}

std::shared_ptr<const SmileSurface> CalibratedSurface::shifted(double dv) const { return shift(-1, dv); }

std::shared_ptr<const SmileSurface> CalibratedSurface::shifted(std::size_t expiry, double dv) const {
    if (expiry >= surface_.times().size())
        throw IndexError("calibrated surface: no expiry " + std::to_string(expiry + 1) + " (it has " +
                         std::to_string(surface_.times().size()) + ")");
    return shift(static_cast<long>(expiry), dv);
}

std::shared_ptr<const SmileSurface> CalibratedSurface::shift(long expiry, double dv) const {
    if (!calibration_) throw ValueError("calibrated surface: a given surface has no quotes to shift");
    if (!std::isfinite(dv)) throw ValueError("calibrated surface: the volatility shift must be finite");
    if (dv == 0) return shared_from_this();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = std::make_pair(expiry, dv);
    if (const auto it = shifts_.find(key); it != shifts_.end()) return it->second;
    std::vector<OptionQuote> moved = quotes_;
    const auto& forwards = calibration_->forwards;
    for (OptionQuote& q : moved) {
        const auto f = std::find_if(forwards.begin(), forwards.end(),
                                    [&](const ExpiryForward& x) { return x.expiry == q.expiry; });
        if (f == forwards.end()) continue;
        if (expiry >= 0 && f - forwards.begin() != expiry) continue;
        const double iv = implied_vol(q.type, f->forward, q.strike, f->t, q.price / f->discount);
        if (!std::isfinite(iv) || !(iv + dv > 0)) continue;
        q.price = f->discount * black_price(q.type, f->forward, q.strike, (iv + dv) * std::sqrt(f->t));
    }
    auto out = calibrate(std::move(moved), market_, reference_date_, calibration_->settings);
    shifts_.emplace(key, out);
    return out;
}

std::vector<OptionQuote> grid_quotes(const std::vector<QuantLib::Date>& expiries, const std::vector<double>& strikes,
                                     const std::vector<std::vector<double>>& vols, const Market& market,
                                     const QuantLib::Date& date) {
    if (expiries.empty() || strikes.empty()) throw ValueError("surface: no expiries or no strikes");
    if (vols.size() != expiries.size())
        throw ValueError("surface: \"vols\" has " + std::to_string(vols.size()) + " rows for " +
                         std::to_string(expiries.size()) + " expiries");
    std::vector<OptionQuote> out;
    std::size_t row = 0;
    for (std::size_t i = 0; i < expiries.size(); ++i) {
        const std::string at = "surface: expiry " + utils::format_date(expiries[i]);
        if (expiries[i] <= date) throw ValueError(at + " is not after " + utils::format_date(date));
        if (vols[i].size() != strikes.size())
            throw ValueError(at + ": row " + std::to_string(i + 1) + " of \"vols\" has " +
                             std::to_string(vols[i].size()) + " volatilities for " + std::to_string(strikes.size()) +
                             " strikes");
        const double t = static_cast<double>(expiries[i] - date) / 365.0;
        const double forward = market.spot * market.q.discount(date, t) / market.r.discount(date, t);
        const double discount = market.r.discount(date, t);
        for (std::size_t j = 0; j < strikes.size(); ++j) {
            const double k = strikes[j], v = vols[i][j];
            if (!(k > 0) || !std::isfinite(k))
                throw ValueError("surface: strike " + std::to_string(j + 1) + " must be positive and finite");
            if (!(v > 0) || !std::isfinite(v))
                throw ValueError(at + ", strike " + number_text(k) + ": the volatility must be positive and finite");
            for (OptionType type : {OptionType::Call, OptionType::Put})
                out.push_back({expiries[i], type, k, discount * black_price(type, forward, k, v * std::sqrt(t)), ++row});
        }
    }
    return out;
}

}  // namespace kestrel::vol
