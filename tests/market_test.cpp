// Market inputs as term structures: pillars, the r and q zero-rate curves,
// the Black vol curve, the carry implied by forwards, and the QuantLib
// products valued on them against QuantLib's own engines on hand-built curves.
#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ql/exercise.hpp>
#include <ql/experimental/barrieroption/analyticdoublebarrierengine.hpp>
#include <ql/experimental/barrieroption/doublebarrieroption.hpp>
#include <ql/instruments/asianoption.hpp>
#include <ql/instruments/barrieroption.hpp>
#include <ql/instruments/payoffs.hpp>
#include <ql/instruments/vanillaoption.hpp>
#include <ql/methods/lattices/binomialtree.hpp>
#include <ql/pricingengines/asian/analytic_discr_geom_av_price.hpp>
#include <ql/pricingengines/barrier/analyticbarrierengine.hpp>
#include <ql/pricingengines/vanilla/analyticeuropeanengine.hpp>
#include <ql/pricingengines/vanilla/binomialengine.hpp>
#include <ql/processes/blackscholesprocess.hpp>
#include <ql/quotes/simplequote.hpp>
#include <ql/settings.hpp>
#include <ql/termstructures/volatility/equityfx/blackvariancecurve.hpp>
#include <ql/termstructures/yield/zerocurve.hpp>
#include <ql/time/daycounters/actual365fixed.hpp>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace kestrel;
using QuantLib::Date;

namespace {

const Date kEval(1, QuantLib::March, 2024);  // a trading Friday

std::vector<CurvePoint> points(std::initializer_list<std::pair<const char*, double>> list) {
    std::vector<CurvePoint> out;
    for (const auto& [pillar, value] : list) out.push_back({Pillar::parse(pillar), value});
    return out;
}

template <class Fn>
std::string value_error(Fn&& fn) {
    try {
        fn();
    } catch (const ValueError& e) {
        return e.what();
    }
    return "<no ValueError>";
}

// ---------------------------------------------------------------- pillars and curves

TEST(Pillar, ParsesDatesAndTenorsAndNamesWhatItCannotRead) {
    const Pillar d = Pillar::parse("2025-06-30");
    EXPECT_FALSE(d.is_tenor());
    EXPECT_EQ(d.date(kEval), Date(30, QuantLib::June, 2025));
    EXPECT_EQ(d.to_string(), "2025-06-30");
    for (const auto& [text, months] : std::vector<std::pair<std::string, int>>{{"1M", 1}, {"3M", 3}, {"1Y", 12}, {"2y", 24}}) {
        const Pillar t = Pillar::parse(text);
        EXPECT_TRUE(t.is_tenor()) << text;
        EXPECT_EQ(t.date(kEval), kEval + QuantLib::Period(months, QuantLib::Months)) << text;
    }
    EXPECT_EQ(Pillar::parse("2W").date(kEval), kEval + 14);
    EXPECT_EQ(Pillar::parse("10D").date(kEval), kEval + 10);
    for (const char* bad : {"0M", "3X", "M", "abc", "2025-13-01", "", "-1M"})
        EXPECT_NE(value_error([&] { (void)Pillar::parse(bad); }).find(std::string("\"") + bad + "\""), std::string::npos)
            << bad;
}

TEST(RateCurve, LinearInZeroRateFlatBeyondTheEnds) {
    const RateCurve r(points({{"2024-04-01", 0.02}, {"2024-09-01", 0.03}, {"2025-03-01", 0.025}}));
    const double t1 = (Date(1, QuantLib::April, 2024) - kEval) / 365.0;
    const double t2 = (Date(1, QuantLib::September, 2024) - kEval) / 365.0;
    const double t3 = (Date(1, QuantLib::March, 2025) - kEval) / 365.0;
    EXPECT_DOUBLE_EQ(r.zero_rate(kEval, t1 / 2), 0.02);
    EXPECT_DOUBLE_EQ(r.zero_rate(kEval, t1), 0.02);
    EXPECT_NEAR(r.zero_rate(kEval, (t1 + t2) / 2), 0.025, 1e-15);
    EXPECT_NEAR(r.zero_rate(kEval, t2 + 0.25 * (t3 - t2)), 0.03 - 0.25 * 0.005, 1e-15);
    EXPECT_DOUBLE_EQ(r.zero_rate(kEval, 5.0), 0.025);
    EXPECT_NEAR(r.discount(kEval, 5.0), std::exp(-0.025 * 5.0), 1e-15);
    // The QuantLib form reads the same rates.
    const auto h = r.handle(kEval);
    for (double t : {0.01, t1, 0.3, t2, 0.8, t3, 3.0})
        EXPECT_NEAR(h->zeroRate(t, QuantLib::Continuous).rate(), r.zero_rate(kEval, t), 1e-14) << t;
    // A number stays a number; a shift moves every point.
    EXPECT_TRUE(RateCurve(0.02).shifted(0.005).is_number());
    EXPECT_DOUBLE_EQ(RateCurve(0.02).shifted(0.005).number(), 0.025);
    EXPECT_NEAR(r.shifted(-0.005).zero_rate(kEval, 0.3), r.zero_rate(kEval, 0.3) - 0.005, 1e-15);
}

TEST(RateCurve, TenorPillarsMoveWithTheEvaluationDateAndDatePillarsStay) {
    const RateCurve tenors(points({{"1M", 0.01}, {"1Y", 0.03}}));
    const RateCurve dates(points({{"2024-04-01", 0.01}, {"2025-03-01", 0.03}}));
    const Date later = kEval + 30;
    // On the evaluation date both put their pillars on the same days.
    EXPECT_EQ(tenors.resolve(kEval).times, dates.resolve(kEval).times);
    // A month later the tenor curve has moved by a month, the date curve not.
    const auto moved = tenors.resolve(later), fixed = dates.resolve(later);
    EXPECT_DOUBLE_EQ(moved.times[0], ((later + QuantLib::Period(1, QuantLib::Months)) - later) / 365.0);
    EXPECT_DOUBLE_EQ(fixed.times[0], (Date(1, QuantLib::April, 2024) - later) / 365.0);
    EXPECT_DOUBLE_EQ(fixed.times[1], (Date(1, QuantLib::March, 2025) - later) / 365.0);
    EXPECT_NE(tenors.zero_rate(later, 0.5), dates.zero_rate(later, 0.5));
}

TEST(VolCurve, LinearInTotalVarianceFlatVolBeyondTheEnds) {
    const VolCurve v(points({{"3M", 0.30}, {"6M", 0.25}, {"1Y", 0.22}}));
    const auto c = v.resolve(kEval);
    const double w1 = 0.30 * 0.30 * c.times[0], w2 = 0.25 * 0.25 * c.times[1];
    EXPECT_NEAR(v.variance(kEval, c.times[0] / 3), 0.30 * 0.30 * c.times[0] / 3, 1e-15);  // flat vol before
    const double mid = (c.times[0] + c.times[1]) / 2;
    EXPECT_NEAR(v.variance(kEval, mid), (w1 + w2) / 2, 1e-15);
    EXPECT_NEAR(v.variance(kEval, 3.0), 0.22 * 0.22 * 3.0, 1e-15);  // flat vol beyond
    // QuantLib's form agrees, and so does its vol at both ends.
    const auto h = v.handle(kEval);
    for (double t : {0.1, c.times[0], mid, c.times[1], 0.7, c.times[2], 2.0})
        EXPECT_NEAR(h->blackVariance(t, 100.0), v.variance(kEval, t), 1e-14) << t;
    EXPECT_NEAR(h->blackVol(3.0, 100.0), 0.22, 1e-14);
    // Pillars on or before the evaluation date drop out; with none left the
    // last vol holds.
    const VolCurve past(points({{"2024-01-02", 0.4}, {"2024-02-01", 0.35}}));
    EXPECT_NEAR(past.variance(kEval, 0.5), 0.35 * 0.35 * 0.5, 1e-15);
}

TEST(Curves, ErrorsNameTheEntry) {
    EXPECT_NE(value_error([] { RateCurve r(std::vector<CurvePoint>{}); }).find("no points"), std::string::npos);
    EXPECT_NE(value_error([] { VolCurve v(std::vector<CurvePoint>{}); }).find("no points"), std::string::npos);
    EXPECT_NE(value_error([] { RateCurve r(points({{"1M", 0.01}, {"3M", NAN}})); }).find("entry 2 (3M)"),
              std::string::npos);
    EXPECT_NE(value_error([] { VolCurve v(points({{"1M", 0.2}, {"3M", -0.1}})); }).find("entry 2 (3M)"),
              std::string::npos);
    EXPECT_NE(value_error([] { VolCurve v(points({{"1M", INFINITY}})); }).find("entry 1 (1M)"), std::string::npos);
    // Order and duplicates show once resolved on a date (a tenor and a date
    // may name the same day).
    const RateCurve twice(points({{"1M", 0.01}, {"2024-04-01", 0.02}}));
    EXPECT_NE(value_error([&] { (void)twice.resolve(kEval); }).find("entry 2 (2024-04-01)"), std::string::npos);
    const RateCurve backwards(points({{"6M", 0.01}, {"3M", 0.02}}));
    EXPECT_NE(value_error([&] { (void)backwards.resolve(kEval); }).find("entry 2 (3M)"), std::string::npos);
    const VolCurve falling(points({{"3M", 0.40}, {"6M", 0.20}}));
    const std::string msg = value_error([&] { (void)falling.resolve(kEval); });
    EXPECT_NE(msg.find("entry 2 (6M)"), std::string::npos) << msg;
    EXPECT_NE(msg.find("variance"), std::string::npos) << msg;
    // A market names the field.
    const Market m(100.0, RateCurve(0.02), falling, RateCurve(0.0));
    EXPECT_EQ(value_error([&] { m.check(kEval); }).rfind("vol: ", 0), 0u);
}

TEST(ImpliedCarry, ReproducesTheForwardsAndRefusesBadPrices) {
    const RateCurve r(points({{"1M", 0.017}, {"1Y", 0.022}}));
    const double spot = 5600.0;
    const std::vector<std::pair<Date, double>> fwd{{Date(15, QuantLib::March, 2024), 5560.0},
                                                   {Date(19, QuantLib::April, 2024), 5500.0},
                                                   {Date(21, QuantLib::June, 2024), 5390.0}};
    const RateCurve q = implied_carry(fwd, r, spot, kEval);
    ASSERT_EQ(q.points().size(), 3u);
    for (const auto& [date, price] : fwd) {
        const double t = (date - kEval) / 365.0;
        EXPECT_NEAR(spot * std::exp((r.zero_rate(kEval, t) - q.zero_rate(kEval, t)) * t), price, 1e-9);
    }
    EXPECT_GT(q.zero_rate(kEval, 0.05), 0.1);  // a steep futures discount is a large positive q
    const auto bad = [&](std::vector<std::pair<Date, double>> f) { return value_error([&] { implied_carry(f, r, spot, kEval); }); };
    EXPECT_NE(bad({{Date(15, QuantLib::March, 2024), 0.0}}).find("entry 1 (2024-03-15)"), std::string::npos);
    EXPECT_NE(bad({{Date(15, QuantLib::March, 2024), 5500.0}, {Date(19, QuantLib::April, 2024), -1.0}}).find("entry 2"),
              std::string::npos);
    EXPECT_NE(bad({{kEval, 5500.0}}).find("after the evaluation date"), std::string::npos);
    EXPECT_NE(bad({{Date(19, QuantLib::April, 2024), 5500.0}, {Date(15, QuantLib::March, 2024), 5550.0}}).find("entry 2"),
              std::string::npos);
    EXPECT_NE(bad({}).find("no prices"), std::string::npos);
}

// ---------------------------------------------------------------- the products on curves

Terms base_terms(const char* type, const char* effect = "2024-01-02") {
    return Terms{{"type", type},          {"effect_date", effect}, {"maturity_date", "2024-12-31"},
                 {"underlying", "000852.XSHG"}, {"s0", 5600.0},         {"notional", 1.0}};
}

Terms with(Terms t, std::initializer_list<Terms::Entry> extra) {
    for (const auto& [k, v] : extra) t.set(k, v);
    return t;
}

// The curves of a CSI 1000 style market on kEval: an r curve by tenor and
// date, q from futures, a falling vol curve.
struct CurveMarket {
    double spot = 5600.0;
    std::vector<CurvePoint> r_points = points({{"1M", 0.0175}, {"3M", 0.019}, {"2024-09-30", 0.021}, {"2Y", 0.024}});
    std::vector<std::pair<Date, double>> forwards{{Date(15, QuantLib::March, 2024), 5530.0},
                                                  {Date(19, QuantLib::April, 2024), 5480.0},
                                                  {Date(21, QuantLib::June, 2024), 5380.0},
                                                  {Date(20, QuantLib::September, 2024), 5290.0}};
    std::vector<CurvePoint> vol_points = points({{"1M", 0.30}, {"3M", 0.27}, {"6M", 0.25}, {"1Y", 0.24}});

    Market market() const {
        const RateCurve r(r_points);
        return Market(spot, r, VolCurve(vol_points), implied_carry(forwards, r, spot, kEval));
    }
};

// The same curves built by hand on QuantLib's own objects: zero curves
// (linear in the zero rate, a node on the evaluation date and one far out
// holding the end rates flat) and BlackVarianceCurve.
class QuantLibCurves {
  public:
    explicit QuantLibCurves(const CurveMarket& cm) {
        using namespace QuantLib;
        const Actual365Fixed dc;
        std::vector<Date> dates{kEval};
        std::vector<Rate> rates;
        for (const auto& p : cm.r_points) dates.push_back(p.pillar.date(kEval)), rates.push_back(p.value);
        rates.insert(rates.begin(), rates.front());
        dates.push_back(kEval + Period(50, Years));
        rates.push_back(rates.back());
        r_ = Handle<YieldTermStructure>(ext::make_shared<ZeroCurve>(dates, rates, dc));

        std::vector<Date> qd{kEval};
        std::vector<Rate> qr;
        for (const auto& [d, f] : cm.forwards) {
            const double t = dc.yearFraction(kEval, d);
            qd.push_back(d);
            qr.push_back(r_->zeroRate(d, dc, Continuous).rate() - std::log(f / cm.spot) / t);
        }
        qr.insert(qr.begin(), qr.front());
        qd.push_back(kEval + Period(50, Years));
        qr.push_back(qr.back());
        q_ = Handle<YieldTermStructure>(ext::make_shared<ZeroCurve>(qd, qr, dc));

        std::vector<Date> vd;
        std::vector<Volatility> vv;
        for (const auto& p : cm.vol_points) vd.push_back(p.pillar.date(kEval)), vv.push_back(p.value);
        auto vol = ext::make_shared<BlackVarianceCurve>(kEval, vd, vv, dc, true);
        vol->enableExtrapolation();
        vol_ = Handle<BlackVolTermStructure>(vol);
        process_ = ext::make_shared<BlackScholesMertonProcess>(
            Handle<Quote>(ext::make_shared<SimpleQuote>(cm.spot)), q_, r_, vol_);
    }
    const QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess>& process() const { return process_; }

  private:
    QuantLib::Handle<QuantLib::YieldTermStructure> r_, q_;
    QuantLib::Handle<QuantLib::BlackVolTermStructure> vol_;
    QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess> process_;
};

class MarketProductsTest : public ::testing::Test {
  protected:
    std::shared_ptr<test::CountingClient> client = std::make_shared<test::CountingClient>();
    test::ScopedClient scoped{client};
    CurveMarket cm;

    // QuantLib's own value of an instrument on the hand-built curves.
    double quantlib(QuantLib::Instrument& instrument,
                    const std::function<QuantLib::ext::shared_ptr<QuantLib::PricingEngine>(
                        const QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess>&)>& engine) {
        const ValuationLock lock;
        QuantLib::Settings::instance().evaluationDate() = kEval;
        const QuantLibCurves curves(cm);
        instrument.setPricingEngine(engine(curves.process()));
        return instrument.NPV();
    }
};

const Date kMaturity(31, QuantLib::December, 2024);

TEST_F(MarketProductsTest, CurvesAgainstQuantLibOnHandBuiltCurves) {
    using namespace QuantLib;
    const kestrel::Market m = cm.market();
    const auto close = [](double ours, double theirs, const char* what) {
        EXPECT_NEAR(ours, theirs, 1e-10 * std::max(1.0, std::fabs(theirs))) << what;
    };

    {  // European vanilla call
        kestrel::VanillaOption o(with(base_terms("vanilla"), {{"call_put", "call"}, {"strike", 5500.0},
                                                     {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}}));
        QuantLib::VanillaOption ql(ext::make_shared<PlainVanillaPayoff>(Option::Call, 5500.0),
                                   ext::make_shared<EuropeanExercise>(kMaturity));
        close(o.npv(m, kEval), quantlib(ql, [](const auto& p) { return ext::make_shared<AnalyticEuropeanEngine>(p); }),
              "european call");
    }
    {  // American put
        kestrel::VanillaOption o(with(base_terms("vanilla"), {{"call_put", "put"}, {"strike", 5700.0},
                                                     {"exercise_type", "american"}, {"payoff_type", "plain_vanilla"}}));
        QuantLib::VanillaOption ql(
            ext::make_shared<PlainVanillaPayoff>(Option::Put, 5700.0),
            ext::make_shared<AmericanExercise>(Date(2, January, 2024), kMaturity, false));
        close(o.npv(m, kEval), quantlib(ql, [](const auto& p) {
                  return ext::make_shared<BinomialVanillaEngine<JarrowRudd>>(p, 801);
              }),
              "american put");
    }
    {  // European down-and-out call
        kestrel::BarrierOption o(with(base_terms("barrier"),
                             {{"call_put", "call"}, {"barrier_type", "down_and_out"}, {"strike", 5600.0},
                              {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}, {"barrier", 4800.0}}));
        QuantLib::BarrierOption ql(Barrier::DownOut, 4800.0, 0.0, ext::make_shared<PlainVanillaPayoff>(Option::Call, 5600.0),
                                   ext::make_shared<EuropeanExercise>(kMaturity));
        close(o.npv(m, kEval), quantlib(ql, [](const auto& p) { return ext::make_shared<AnalyticBarrierEngine>(p); }),
              "barrier");
    }
    {  // European double knock-out put
        kestrel::DoubleBarrierOption o(with(base_terms("corridor"),
                                   {{"barrier_hi", 6400.0}, {"barrier_lo", 4600.0}, {"barrier_type", "knock_out"},
                                    {"call_put", "put"}, {"strike", 5600.0}, {"exercise_type", "european"},
                                    {"payoff_type", "plain_vanilla"}}));
        QuantLib::DoubleBarrierOption ql(DoubleBarrier::KnockOut, 4600.0, 6400.0, 0.0,
                                         ext::make_shared<PlainVanillaPayoff>(Option::Put, 5600.0),
                                         ext::make_shared<EuropeanExercise>(kMaturity));
        close(o.npv(m, kEval),
              quantlib(ql, [](const auto& p) { return ext::make_shared<AnalyticDoubleBarrierEngine>(p); }),
              "double barrier");
    }
    {  // Geometric Asian call, fixing every trading day from 2024-03-04 (no
       // past fixings: the working scale is 1)
        kestrel::AsianOption o(with(base_terms("asian", "2024-03-04"),
                           {{"call_put", "call"}, {"strike", 5400.0}, {"average_type", "geometric"}}));
        QuantLib::DiscreteAveragingAsianOption ql(Average::Geometric, 1.0, 0, o.fixing_dates(),
                                                  ext::make_shared<PlainVanillaPayoff>(Option::Call, 5400.0),
                                                  ext::make_shared<EuropeanExercise>(kMaturity));
        close(o.npv(m, kEval), quantlib(ql, [](const auto& p) {
                  return ext::make_shared<AnalyticDiscreteGeometricAveragePriceAsianEngine>(p);
              }),
              "asian");
    }
}

// Each product once, by its terms, for the checks below.
std::vector<std::pair<std::string, Terms>> every_product() {
    return {
        {"vanilla", with(base_terms("vanilla"), {{"call_put", "call"}, {"strike", 5500.0},
                                                 {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}})},
        {"american", with(base_terms("vanilla"), {{"call_put", "put"}, {"strike", 5700.0},
                                                  {"exercise_type", "american"}, {"payoff_type", "plain_vanilla"}})},
        {"barrier", with(base_terms("barrier"),
                         {{"call_put", "call"}, {"barrier_type", "up_and_out"}, {"strike", 5600.0},
                          {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}, {"barrier", 7000.0}})},
        {"corridor", with(base_terms("corridor"),
                          {{"barrier_hi", 6400.0}, {"barrier_lo", 4600.0}, {"barrier_type", "knock_out"},
                           {"call_put", "put"}, {"strike", 5600.0}, {"exercise_type", "european"},
                                    {"payoff_type", "plain_vanilla"}})},
        {"tandem", with(base_terms("tandem"), {{"touch_type", "double_no_touch"}, {"touch_price_lo", 4600.0},
                                               {"touch_price_hi", 6600.0}, {"pay_at", "expiry"}})},
        {"asian", with(base_terms("asian", "2024-03-04"),
                       {{"call_put", "call"}, {"strike", 5400.0}, {"average_type", "geometric"}})},
    };
}

TEST_F(MarketProductsTest, ACurveOfOneLevelIsThePlainNumbers) {
    // A Thursday: theta's next day is a trading day too. (On a Friday the
    // plain numbers' flat curves, which start on the next trading day after
    // QuantLib's evaluation date, reach over the weekend; a curve starts on
    // the evaluation date itself.)
    const Date thursday(29, QuantLib::February, 2024);
    const double spot = 5600.0, r = 0.021, vol = 0.26, q = 0.08;
    const Market flat_curves(spot, RateCurve(points({{"1M", r}, {"2024-09-30", r}, {"2Y", r}})),
                             VolCurve(points({{"3M", vol}, {"1Y", vol}})), RateCurve(points({{"6M", q}})));
    for (const auto& [name, terms] : every_product()) {
        const auto o = make_option(terms);
        const double plain = o->npv(spot, r, vol, q, thursday);
        // The plain numbers are the Market of those numbers, bit for bit.
        EXPECT_EQ(o->npv(Market(spot, r, vol, q), thursday), plain) << name;
        EXPECT_NEAR(o->npv(flat_curves, thursday), plain, 1e-12 * std::fabs(plain)) << name;
        // vega shifts the whole vol curve, rho the r curve, carry_rho the q
        // curve, theta moves the date: on a flat curve each is the plain one.
        const OptionGreeks g = o->greeks(spot, r, vol, q, thursday), gc = o->greeks(flat_curves, thursday);
        for (std::size_t i = 0; i < OptionGreeks::size(); ++i)
            EXPECT_NEAR(gc[i], g[i], 1e-7 * std::max(1.0, std::fabs(g[i]))) << name << " " << OptionGreeks::field_names[i];
        EXPECT_NEAR(o->carry_rho(flat_curves, thursday), o->carry_rho(spot, r, vol, q, thursday), 1e-8 * std::fabs(plain))
            << name;
    }
}

TEST_F(MarketProductsTest, CarryRhoIsTheForwardsSensitivity) {
    // A European call's value under curves is e^{-r_T T} (F N(d1) - K N(d2))
    // with F = S e^{(r_T - q_T) T}: shifting the q curve by dq moves it by
    // -T S e^{-q_T T} N(d1) dq, so carry_rho is about 0.01 T S e^{-q_T T} N(d1).
    const Market m = cm.market();
    VanillaOption call(with(base_terms("vanilla"), {{"call_put", "call"}, {"strike", 5500.0},
                                                    {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}}));
    VanillaOption put(with(base_terms("vanilla"), {{"call_put", "put"}, {"strike", 5500.0},
                                                   {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}}));
    const double T = (kMaturity - kEval) / 365.0;
    const double qT = m.q.zero_rate(kEval, T), rT = m.r.zero_rate(kEval, T), w = m.vol.variance(kEval, T);
    const double F = m.spot * std::exp((rT - qT) * T);
    const double d1 = (std::log(F / 5500.0) + w / 2) / std::sqrt(w);
    const double asset = m.spot * std::exp(-qT * T) * 0.5 * std::erfc(-d1 / std::sqrt(2.0));
    const double c = call.carry_rho(m, kEval), p = put.carry_rho(m, kEval);
    EXPECT_NEAR(c, 0.01 * T * asset, 1e-3 * 0.01 * T * asset);
    // Put-call parity: call - put = S e^{-qT} - K e^{-rT}, whose carry_rho is
    // 2 sinh(0.005 T) S e^{-qT}.
    EXPECT_NEAR(c - p, 2 * std::sinh(0.005 * T) * m.spot * std::exp(-qT * T), 1e-6 * m.spot);
    // rho likewise moves only the r curve: parity's -K e^{-rT} part.
    EXPECT_NEAR(call.rho(m, kEval) - put.rho(m, kEval), -2 * std::sinh(0.005 * T) * 5500.0 * std::exp(-rT * T),
                1e-6 * m.spot);
    // vega: the whole vol curve by one point.
    const double up = call.npv(m.with_vol_shift(0.01), kEval), down = call.npv(m.with_vol_shift(-0.01), kEval);
    EXPECT_DOUBLE_EQ(call.vega(m, kEval), (up - down) / 2);
    EXPECT_GT(call.vega(m, kEval), 0.0);
}

TEST_F(MarketProductsTest, ThetaMovesTenorPillarsAndKeepsDatePillars) {
    // The same sloped r curve by tenors and by dates: one value on the
    // evaluation date, different thetas (a day later the tenor curve has
    // moved, the date curve has not).
    VanillaOption o(with(base_terms("vanilla"), {{"call_put", "call"}, {"strike", 5500.0},
                                                 {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}}));
    const Market by_tenor(5600.0, RateCurve(points({{"1M", 0.0}, {"1Y", 0.06}})), VolCurve(0.25), RateCurve(0.0));
    const Market by_date(5600.0, RateCurve(points({{"2024-04-01", 0.0}, {"2025-03-01", 0.06}})), VolCurve(0.25),
                         RateCurve(0.0));
    EXPECT_NEAR(o.npv(by_tenor, kEval), o.npv(by_date, kEval), 1e-12 * o.npv(by_date, kEval));
    const double tt = o.theta(by_tenor, kEval), td = o.theta(by_date, kEval);
    EXPECT_EQ(tt, o.npv(by_tenor, Date(kEval + 1)) - o.npv(by_tenor, kEval));
    // Maturity 2024-12-31 lies between the pillars where the curve rises
    // 6 % a year: one day later the tenor curve reads a lower rate there (its
    // pillars moved out), the date curve the same rate over a shorter time.
    EXPECT_GT(std::fabs(tt - td), 1e-3);
}

TEST_F(MarketProductsTest, CurveErrorsAreValueErrorsBeforeValuing) {
    VanillaOption o(with(base_terms("vanilla"), {{"call_put", "call"}, {"strike", 5500.0},
                                                 {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}}));
    const Market bad_r(5600.0, RateCurve(points({{"6M", 0.02}, {"3M", 0.02}})), VolCurve(0.25), RateCurve(0.0));
    const std::string msg = value_error([&] { (void)o.npv(bad_r, kEval); });
    EXPECT_EQ(msg.rfind("r: entry 2 (3M)", 0), 0u) << msg;
    const Market bad_spot(0.0, RateCurve(0.02), VolCurve(0.25), RateCurve(0.0));
    EXPECT_NE(value_error([&] { (void)o.npv(bad_spot, kEval); }).find("spot"), std::string::npos);
}

}  // namespace
