// Calibration of option quotes to an SVI surface and its local volatility.
#include <kestrel/errors.hpp>
#include <kestrel/market/vol_calibration.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>

namespace kestrel::vol {
namespace {

using QuantLib::Date;

const Date kDate = utils::parse_date("2023-12-04");
const std::string k510050 = std::string(KESTREL_DATA_DIR) + "/options/510050.XSHG-2023-12-04.csv";

// Quotes priced by Black at one volatility on a forward F(T) = S exp((r - q) T),
// discounted at r, rounded to `tick` (0: not rounded).
std::vector<OptionQuote> flat_quotes(double spot, double r, double q, double vol, double tick = 0) {
    std::vector<OptionQuote> out;
    for (const char* e : {"2024-01-24", "2024-03-27", "2024-06-26", "2024-12-25"}) {
        const Date expiry = utils::parse_date(e);
        const double t = static_cast<double>(expiry - kDate) / 365.0;
        const double f = spot * std::exp((r - q) * t), d = std::exp(-r * t);
        for (int i = -6; i <= 6; ++i) {
            const double k = spot * (1 + 0.025 * i);
            for (auto type : {OptionType::Call, OptionType::Put}) {
                double p = d * black_price(type, f, k, vol * std::sqrt(t));
                if (tick > 0) p = std::round(p / tick) * tick;
                out.push_back({expiry, type, k, p, out.size() + 1});
            }
        }
    }
    return out;
}

std::string csv(const std::vector<OptionQuote>& qs) {
    std::ostringstream s;
    s.precision(17);
    s << "expiry,type,strike,price\n";
    for (const auto& q : qs)
        s << utils::format_date(q.expiry) << "," << (q.type == OptionType::Call ? "call" : "put") << "," << q.strike
          << "," << q.price << "\n";
    return s.str();
}

TEST(VolBlack, ImpliedVolInvertsThePriceAndRefusesOutsideTheBounds) {
    for (double k : {1.5, 2.0, 2.4, 3.5})
        for (auto type : {OptionType::Call, OptionType::Put}) {
            const double p = black_price(type, 2.4, k, 0.2 * std::sqrt(0.5));
            EXPECT_NEAR(implied_vol(type, 2.4, k, 0.5, p), 0.2, 1e-9) << k;
        }
    EXPECT_TRUE(std::isnan(implied_vol(OptionType::Call, 2.4, 2.0, 0.5, 0.39)));  // below intrinsic 0.4
    EXPECT_TRUE(std::isnan(implied_vol(OptionType::Put, 2.4, 2.0, 0.5, 2.0)));    // at the upper bound
    EXPECT_TRUE(std::isnan(implied_vol(OptionType::Call, 2.4, 2.6, 0.5, 0.0)));
}

TEST(VolQuotes, BadFilesAreRefusedNamingTheRow) {
    const auto refused = [](const std::string& text, const std::string& expected) {
        try {
            parse_quotes(text, kDate, "q.csv");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    };
    refused("expiry,type,strike\n2024-01-24,call,2.4\n", "row 1: missing column \"price\"");
    refused("expiry,type,strike,price\n2024-01-24,call,2.4,0.05\n2024-01-24,put,2.4\n",
            "row 3: missing column \"price\"");
    refused("expiry,type,strike,price\n2024-01-24,call,2.4,0.05\n2024-01-24,put,2.4,-0.01\n",
            "row 3: negative price");
    refused("expiry,type,strike,price\n2024-01-24,call,2.4,0.05\n2023-12-04,put,2.4,0.01\n",
            "row 3: expiry 2023-12-04 is not after the evaluation date");
    refused("expiry,type,strike,price\n2023-11-30,put,2.4,0.01\n", "row 2: expiry 2023-11-30");
    refused("expiry,type,strike,price\n2024-01-24,straddle,2.4,0.05\n", "row 2: type must be call or put");
    refused("expiry,type,strike,price\n2024-01-24,call,abc,0.05\n", "row 2: strike \"abc\" is not a number");
    refused("expiry,type,strike,price\n2024-01-24,call,2.4,0.05\n2024-01-24,call,2.4,0.06\n",
            "row 3: 2024-01-24 call 2.4 is quoted twice (row 2 too)");

    // No quote on one side of the forward: the calibration names the expiry
    // and its rows.
    auto qs = flat_quotes(2.4, 0.02, 0.0, 0.2);
    std::vector<OptionQuote> no_low_puts;
    for (const auto& q : qs)
        if (!(q.type == OptionType::Put && q.strike < 2.45)) no_low_puts.push_back(q);
    const auto rows = parse_quotes(csv(no_low_puts), kDate, "q.csv");
    try {
        calibrate(rows, Market(2.4, 0.02, 0.0, 0.0), kDate);
        ADD_FAILURE() << "accepted quotes with no put below the forward";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("expiry 2024-01-24 (rows 2-"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("no put quoted below the forward"), std::string::npos) << e.what();
    }
}

TEST(VolScreening, DropsTheQuoteThatBreaksTheShapeAndKeepsTheRest) {
    const double spot = 2.4;
    auto qs = flat_quotes(spot, 0.02, 0.0, 0.2);
    // On 2024-03-27: a call lifted above the chord of its neighbours
    // (convexity), a put sunk below its outer neighbour (monotonicity), and
    // half a tick of noise the tolerance forgives. The first two also break
    // parity: their pairs' in-the-money sides are named instead of being
    // used for the forward.
    const Date march = utils::parse_date("2024-03-27");
    std::size_t lifted = 0, sunk = 0, ticked = 0;
    for (auto& q : qs) {
        if (q.expiry != march) continue;
        if (q.type == OptionType::Call && std::abs(q.strike - spot * 1.1) < 1e-9) q.price += 0.004, lifted = q.row;
        if (q.type == OptionType::Put && std::abs(q.strike - spot * 0.9) < 1e-9) q.price *= 0.2, sunk = q.row;
        if (q.type == OptionType::Call && std::abs(q.strike - spot * 1.15) < 1e-9) q.price += 0.00005, ticked = q.row;
    }
    const auto reasons = [](const Calibration& c) {
        std::map<std::size_t, std::string> out;
        for (const auto& d : c.dropped) out[d.quote.row] = d.reason;
        return out;
    };
    const Market m(spot, 0.02, 0.0, 0.0);
    const auto strict = reasons(calibrate(qs, m, kDate));
    EXPECT_NE(strict.at(lifted).find("convexity"), std::string::npos) << strict.at(lifted);
    EXPECT_NE(strict.at(sunk).find("monotonicity"), std::string::npos) << strict.at(sunk);
    CalibrationSettings loose;
    loose.tolerance = 1e-4;
    const auto c = calibrate(qs, m, kDate, loose);
    const auto forgiving = reasons(c);
    EXPECT_TRUE(forgiving.count(lifted));
    EXPECT_TRUE(forgiving.count(sunk));
    EXPECT_FALSE(forgiving.count(ticked));
    ASSERT_EQ(forgiving.size(), 4u);
    EXPECT_NE(forgiving.at(lifted + 1).find("left out of the forward"), std::string::npos);  // the put at 110 %
    EXPECT_NE(forgiving.at(sunk - 1).find("left out of the forward"), std::string::npos);    // the call at 90 %
    // The rest still give the flat volatility.
    EXPECT_LT(c.max_error, 0.05);
}

TEST(VolForwards, ParityRecoversAKnownForward) {
    // Carry 3.5 % against r 2 % (a forward below spot); the line's slope is
    // the discount factor.
    const double spot = 2.367, r = 0.02, q = 0.035;
    const auto qs = flat_quotes(spot, r, q, 0.18);
    const auto c = calibrate(qs, Market(spot, r, 0.0, 0.0), kDate);
    ASSERT_EQ(c.forwards.size(), 4u);
    for (const auto& f : c.forwards) {
        EXPECT_NEAR(f.forward, spot * std::exp((r - q) * f.t), 1e-10) << utils::format_date(f.expiry);
        EXPECT_NEAR(f.parity_discount, std::exp(-r * f.t), 1e-10);
        EXPECT_NEAR(f.implied_q, q, 1e-9);
        EXPECT_EQ(f.market_q, 0.0);
    }
    // An off-line pair is left out, its in-the-money side named.
    auto stale = qs;
    for (auto& x : stale)
        if (x.expiry == utils::parse_date("2024-06-26") && x.type == OptionType::Put && x.strike > 2.7) x.price -= 0.02;
    const auto c2 = calibrate(stale, Market(spot, r, 0.0, 0.0), kDate);
    EXPECT_NEAR(c2.forwards[2].forward, c.forwards[2].forward, 1e-10);
    bool named = false;
    for (const auto& d : c2.dropped)
        named |= d.quote.type == OptionType::Put && d.reason.find("left out of the forward") != std::string::npos;
    EXPECT_TRUE(named);
    // "market": the forward from r and q.
    CalibrationSettings m;
    m.forwards = ForwardSource::Market;
    const auto c3 = calibrate(qs, Market(spot, r, 0.0, q), kDate, m);
    EXPECT_NEAR(c3.forwards[1].forward, c.forwards[1].forward, 1e-12);
}

TEST(VolSurfaceFit, FlatQuotesGiveTheFlatVolAndAFlatLocalVol) {
    const double spot = 2.4, vol = 0.22;
    const auto c = calibrate(flat_quotes(spot, 0.02, 0.01, vol), Market(spot, 0.02, 0.0, 0.0), kDate);
    EXPECT_TRUE(c.dropped.empty());
    EXPECT_LT(c.max_error, 1e-3);  // vol points
    EXPECT_TRUE(c.butterfly_free);
    EXPECT_TRUE(c.calendar_free);
    for (double t : {0.05, 0.3, 0.8, 1.5})
        for (double s : {1.2, 2.0, 2.4, 3.0, 4.5}) {
            EXPECT_NEAR(c.surface.implied_vol(s, t), vol, 1e-4) << t << " " << s;
            EXPECT_NEAR(c.surface.local_vol(t, s), vol, 1e-3) << t << " " << s;
        }
    const auto grid = c.surface.local_vol_grid({0.0, 0.25, 0.5}, {std::log(1.5), std::log(2.4), std::log(3.5)});
    for (double v : grid.vols) EXPECT_NEAR(v, vol, 1e-3);
    EXPECT_NEAR(grid(0.4, std::log(2.0)), vol, 1e-3);
    EXPECT_THROW(c.surface.local_vol_grid({0.5, 0.25}, {0.0}), ValueError);
    EXPECT_THROW(c.surface.local_vol_grid({0.5}, {1.0, 0.5}), ValueError);
}

TEST(VolSurfaceFit, LocalVolReproducesATermStructure) {
    // Flat in strike, 18 % to the first expiry then 26 % forward volatility:
    // Dupire gives each interval's forward volatility.
    const double spot = 2.4;
    auto qs = flat_quotes(spot, 0.02, 0.0, 0.18);
    const double t1 = static_cast<double>(utils::parse_date("2024-01-24") - kDate) / 365.0;
    for (auto& q : qs) {
        const double t = static_cast<double>(q.expiry - kDate) / 365.0;
        if (t <= t1) continue;
        const double v = std::sqrt((0.18 * 0.18 * t1 + 0.26 * 0.26 * (t - t1)) / t);
        const double f = spot * std::exp(0.02 * t), d = std::exp(-0.02 * t);
        q.price = d * black_price(q.type, f, q.strike, v * std::sqrt(t));
    }
    const auto c = calibrate(qs, Market(spot, 0.02, 0.0, 0.0), kDate);
    EXPECT_TRUE(c.calendar_free);
    EXPECT_NEAR(c.surface.local_vol(0.5 * t1, spot), 0.18, 2e-3);
    EXPECT_NEAR(c.surface.local_vol(0.6, spot * 1.1), 0.26, 2e-3);
}

TEST(Vol510050, RepricesTheOutOfTheMoneyQuotes) {
    const auto qs = read_quotes(k510050, kDate);
    ASSERT_EQ(qs.size(), 160u);
    const auto c = calibrate(qs, Market(2.367, 0.02, 0.0, 0.0), kDate);
    EXPECT_LE(c.rms_error, 0.2);
    EXPECT_LE(c.max_error, 0.5);
    EXPECT_GE(c.table.size(), 60u);
    EXPECT_TRUE(c.butterfly_free);
    EXPECT_TRUE(c.calendar_free);
    // The stale June put and the one-tick break at 2.6 / 2.608 are dropped.
    bool stale = false, tick = false;
    for (const auto& d : c.dropped) {
        stale |= d.quote.row == 161;
        tick |= d.quote.row == 18 || d.quote.row == 19;
    }
    EXPECT_TRUE(stale);
    EXPECT_TRUE(tick);
    // Forwards about +0.25 %, +0.49 %, +1.1 % and +2.0 % over spot.
    const double over[] = {0.0025, 0.0049, 0.011, 0.020};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(c.forwards[i].forward / 2.367 - 1, over[i], 0.0006) << i;
    // The local volatility is finite and inside floor and cap across the
    // barrier region.
    for (double t : {0.03, 0.1, 0.3, 0.55})
        for (double m : {0.6, 0.7, 0.85, 1.0, 1.2}) {
            const double lv = c.surface.local_vol(t, 2.367 * m);
            EXPECT_TRUE(lv > 0.05 && lv < 1.0) << t << " " << m << " " << lv;
        }
}

TEST(Vol510050, DupireAgreesWithItsPriceForm) {
    // sigma^2 = (c_T + mu (K c_K - c)) / (K^2 c_KK / 2) on undiscounted prices
    // c(K, T) = Black(F(T), K, sqrt(w)), mu = d ln F / dT, by finite
    // differences of the fitted surface's prices, against the total-variance
    // form (inside expiry intervals, where w is smooth in T).
    const auto c = calibrate(read_quotes(k510050, kDate), Market(2.367, 0.02, 0.0, 0.0), kDate);
    const auto& s = c.surface;
    // Out-of-the-money prices (the same formula holds for puts by parity).
    OptionType type = OptionType::Call;
    const auto call = [&](double k, double t) {
        return black_price(type, s.forward(t), k, s.implied_vol(k, t) * std::sqrt(t));
    };
    for (double t : {0.03, 0.1, 0.2, 0.45, 0.8})
        for (double k : {1.9, 2.2, 2.367, 2.5, 2.7}) {
            const double ht = 1e-4, hk = 2e-3;
            type = k < 2.367 ? OptionType::Put : OptionType::Call;
            const double mu = (std::log(s.forward(t + ht)) - std::log(s.forward(t - ht))) / (2 * ht);
            const double c0 = call(k, t);
            const double ct = (call(k, t + ht) - call(k, t - ht)) / (2 * ht);
            const double ck = (call(k + hk, t) - call(k - hk, t)) / (2 * hk);
            const double ckk = (call(k + hk, t) - 2 * c0 + call(k - hk, t)) / (hk * hk);
            const double lv = std::sqrt((ct + mu * (k * ck - c0)) / (0.5 * k * k * ckk));
            EXPECT_NEAR(s.raw_local_vol(t, k), lv, 2e-3 * lv) << t << " " << k;
        }
}

TEST(VolMarketEntry, RoundTripsAndReadsTheMarketFile) {
    const auto qs = read_quotes(k510050, kDate);
    CalibrationSettings s;
    s.tolerance = 1e-4;
    s.forwards = ForwardSource::Market;
    const auto j = market_entry(qs, s);
    EXPECT_EQ(j["local"]["forwards"], "market");
    const auto back = read_market_entry(j, kDate);
    ASSERT_EQ(back.quotes.size(), qs.size());
    EXPECT_EQ(back.quotes[17].price, qs[17].price);
    EXPECT_EQ(back.quotes[17].expiry, qs[17].expiry);
    EXPECT_EQ(back.settings.tolerance, 1e-4);
    EXPECT_EQ(back.settings.forwards, ForwardSource::Market);
    auto bad = j;
    bad["local"]["quotes"][3]["price"] = -1.0;
    EXPECT_THROW(read_market_entry(bad, kDate), ValueError);
    bad = j;
    bad["local"]["quotes"][3].erase("strike");
    EXPECT_THROW(read_market_entry(bad, kDate), KeyError);

    const auto m = read_market_file(std::string(KESTREL_DATA_DIR) + "/options/market-2023-12-04.json", "510050.XSHG");
    EXPECT_EQ(m.spot, 2.367);
    EXPECT_EQ(m.r.number(), 0.02);
    EXPECT_THROW(read_market_file(std::string(KESTREL_DATA_DIR) + "/options/market-2023-12-04.json", "000300.XSHG"),
                 KeyError);
}

}  // namespace
}  // namespace kestrel::vol

TEST(VolSurfaceFit, ALocalVolRowIsThePointwiseLocalVol) {
    using namespace kestrel::vol;
    const auto c = calibrate(read_quotes(k510050, kDate), kestrel::Market(2.367, 0.02, 0.0, 0.0), kDate);
    std::vector<double> ys;
    for (double s = 0.8; s < 6.0; s *= 1.013) ys.push_back(std::log(s));  // beyond both caps' reach
    std::vector<double> row(ys.size());
    for (double t : {0.0, 0.01, 0.063, 0.2, 0.5, 0.8}) {
        c.surface.local_vol_row(t, ys.data(), ys.size(), row.data());
        for (std::size_t j = 0; j < ys.size(); ++j)
            EXPECT_NEAR(row[j], c.surface.local_vol(t, std::exp(ys[j])), 1e-12 * row[j]) << t << " " << ys[j];
    }
}
