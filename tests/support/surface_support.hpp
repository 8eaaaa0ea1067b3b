#pragma once
// Calibrated markets for tests: a surface of one implied volatility
// everywhere, and the surface calibrated to the SSE 50 ETF options of
// 2023-12-04 (data/options/).
#include <kestrel/market.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/market/vol_calibration.hpp>
#include <kestrel/utils.hpp>

#include <memory>
#include <string>
#include <vector>

namespace kestrel::test {

inline const std::string k510050 = std::string(KESTREL_DATA_DIR) + "/options/510050.XSHG-2023-12-04.csv";

// SVI smiles of one total variance per expiry: the implied (and local)
// volatility is vol everywhere.
inline std::shared_ptr<const SmileSurface> flat_surface(double spot, double vol, const QuantLib::Date& date) {
    const std::vector<double> times{0.25, 0.5, 1.0, 2.0};
    std::vector<double> forwards;
    std::vector<vol::SviParameters> smiles;
    for (double t : times) {
        forwards.push_back(spot);
        smiles.push_back(vol::SviParameters{vol * vol * t, 0.0, 0.0, 0.0, 0.1});
    }
    return std::make_shared<vol::CalibratedSurface>(vol::VolSurface(spot, times, forwards, smiles, 0.01, 1.5), date);
}

// The ETF's market on 2023-12-04 (spot 2.367, r 2 %) with the surface
// calibrated to its options and the carry their forwards imply.
inline Market etf_surface_market() {
    const QuantLib::Date d = utils::parse_date("2023-12-04");
    const Market market(2.367, 0.02, 0.0, 0.0);
    const auto surface = vol::CalibratedSurface::calibrate(vol::read_quotes(k510050, d), market, d);
    return Market(2.367, RateCurve(0.02), VolCurve(surface), surface->implied_carry());
}

}  // namespace kestrel::test
