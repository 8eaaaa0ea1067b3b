// Every product against bad input: market inputs that are not finite or a spot
// that is not positive, malformed, impossible, early and late evaluation
// dates, each term missing in turn and each term of the wrong kind. Every
// cell must end in a typed error whose message names the input, or in a
// finite value; never a crash, never NaN or infinity passed off as a value.
// The table of outcomes is printed at the end.
#include <kestrel/kestrel.hpp>

#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <ql/errors.hpp>

#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

constexpr double kSpot = 3500.0, kR = 0.02, kVol = 0.2, kQ = 0.01;
constexpr const char* kEval = "2024-03-01";

Terms base(const char* type) {
    return Terms{{"type", type},
                 {"effect_date", "2024-01-02"},
                 {"maturity_date", "2024-06-28"},
                 {"underlying", "000300.XSHG"},
                 {"s0", 3500.0},
                 {"notional", 1000000}};
}

Terms with(Terms t, std::initializer_list<Terms::Entry> more) {
    for (const auto& [k, v] : more) t.set(k, v);
    return t;
}

std::vector<std::pair<std::string, Terms>> products() {
    return {
        {"vanilla", with(base("vanilla"), {{"call_put", "call"},
                                           {"strike", 3500.0},
                                           {"exercise_type", "american"},
                                           {"payoff_type", "plain_vanilla"}})},
        {"barrier", with(base("barrier"), {{"call_put", "call"},
                                           {"barrier_type", "up_and_out"},
                                           {"rebate", 10.0},
                                           {"strike", 3500.0},
                                           {"exercise_type", "european"},
                                           {"payoff_type", "plain_vanilla"},
                                           {"barrier", 4500.0}})},
        {"corridor", with(base("corridor"), {{"barrier_hi", 4500.0},
                                             {"barrier_lo", 2700.0},
                                             {"barrier_type", "knock_out"},
                                             {"call_put", "call"},
                                             {"strike", 3500.0},
                                             {"exercise_type", "european"},
                                             {"payoff_type", "plain_vanilla"}})},
        {"tandem", with(base("tandem"), {{"touch_type", "double_no_touch"},
                                         {"touch_price_lo", 2700.0},
                                         {"touch_price_hi", 4500.0},
                                         {"digital_payoff", 100.0},
                                         {"pay_at", "expiry"}})},
        {"asian", with(base("asian"), {{"maturity_date", "2024-03-29"},
                                       {"call_put", "call"},
                                       {"strike", 3400.0},
                                       {"average_type", "geometric"}})},
        {"snowball", with(base("snowball"), {{"strike", 3500.0},
                                             {"ki_barrier", 2800.0},
                                             {"ko_barrier", 3605.0},
                                             {"coupon_rate", 0.15},
                                             {"ki_obs_freq", "daily"},
                                             {"ko_obs_freq", "monthly"},
                                             {"obs_start_date", "2024-01-02"},
                                             {"obs_end_date", "2024-06-28"}})},
        {"phoenix", with(base("phoenix"), {{"strike", 3500.0},
                                           {"ki_barrier", 2800.0},
                                           {"ko_barrier", 3605.0},
                                           {"coupon_rate", 0.12},
                                           {"ki_obs_freq", "daily"},
                                           {"ko_obs_freq", "monthly"},
                                           {"obs_start_date", "2024-01-02"},
                                           {"obs_end_date", "2024-06-28"}})},
    };
}

// What one cell ended in.
struct Outcome {
    std::string kind;     // "value", an error kind, "QuantLib" or "crash-like"
    std::string message;  // error message, or the value
    bool finite = true;
};

template <class F>
Outcome run(F&& f) {
    try {
        const std::vector<double> values = f();
        Outcome o{"value", "", true};
        std::ostringstream os;
        os << std::setprecision(6);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!std::isfinite(values[i])) o.finite = false;
            os << (i ? " " : "") << values[i];
        }
        o.message = os.str();
        return o;
    } catch (const Error& e) {
        return {e.kind(), e.what(), true};
    } catch (const QuantLib::Error& e) {
        return {"QuantLib", e.what(), true};
    } catch (const std::exception& e) {
        return {"std::exception", e.what(), true};
    }
}

std::vector<double> npv_and_greeks(BaseOption& o, double spot, double r, double vol, double q, const EvalDate& e) {
    std::vector<double> out{o.npv(spot, r, vol, q, e)};
    const OptionGreeks g = o.greeks(spot, r, vol, q, e);
    for (std::size_t i = 0; i < g.size(); ++i) out.push_back(g[i]);
    return out;
}

bool mentions(const std::string& message, const std::string& what) {
    return message.find(what) != std::string::npos;
}

class BadInput : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { random_sample::set_paths(400); }
    static void TearDownTestSuite() {
        random_sample::reset();
        // The table of outcomes, one line per cell.
        std::map<std::string, int> by_kind;
        std::cout << "\n" << std::left << std::setw(10) << "product" << std::setw(34) << "cell" << "outcome\n";
        for (const auto& row : table()) {
            std::cout << std::setw(10) << row.product << std::setw(34) << row.cell << row.outcome.kind << ": "
                      << row.outcome.message.substr(0, 90) << "\n";
            ++by_kind[row.outcome.kind];
        }
        std::cout << "summary:";
        for (const auto& [k, n] : by_kind) std::cout << " " << k << "=" << n;
        std::cout << " (" << table().size() << " cells)\n";
    }

    struct Row {
        std::string product, cell;
        Outcome outcome;
    };
    static std::vector<Row>& table() {
        static std::vector<Row> t;
        return t;
    }
    static void record(const std::string& product, const std::string& cell, const Outcome& o) {
        table().push_back({product, cell, o});
    }

    test::ScopedClient scoped{test::bundled_store()};
};

}  // namespace

TEST_F(BadInput, EveryProductValuesItsBaseTerms) {
    for (const auto& product : products()) {
        const std::string& name = product.first;
        const Terms& terms = product.second;
        const Outcome o = run([&] {
            auto opt = make_option(terms);
            return npv_and_greeks(*opt, kSpot, kR, kVol, kQ, kEval);
        });
        record(name, "base terms", o);
        EXPECT_EQ(o.kind, "value") << name << ": " << o.message;
        EXPECT_TRUE(o.finite) << name << ": " << o.message;
    }
}

TEST_F(BadInput, NonFiniteMarketInputsAndBadSpotsAreNamedErrors) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Cell {
        const char* input;
        const char* label;
        double value;
    };
    std::vector<Cell> cells;
    for (const char* input : {"spot", "r", "vol", "q"})
        for (auto [label, value] : {std::pair{"nan", nan}, {"+inf", inf}, {"-inf", -inf}})
            cells.push_back({input, label, value});
    cells.push_back({"spot", "0", 0.0});
    cells.push_back({"spot", "-1", -1.0});

    for (const auto& product : products()) {
        const std::string& name = product.first;
        const Terms& terms = product.second;
        auto opt = make_option(terms);
        for (const auto& c : cells) {
            double m[4] = {kSpot, kR, kVol, kQ};
            const std::string in = c.input;
            const int i = in == "spot" ? 0 : in == "r" ? 1 : in == "vol" ? 2 : 3;
            m[i] = c.value;
            for (const bool greeks : {false, true}) {
                const Outcome o = run([&] {
                    if (greeks) {
                        const OptionGreeks g = opt->greeks(m[0], m[1], m[2], m[3], kEval);
                        return std::vector<double>{g.npv, g.delta, g.gamma, g.vega, g.theta, g.rho};
                    }
                    return std::vector<double>{opt->npv(m[0], m[1], m[2], m[3], kEval)};
                });
                const std::string cell = std::string(greeks ? "greeks " : "npv ") + c.input + " = " + c.label;
                record(name, cell, o);
                EXPECT_NE(o.kind, "value") << name << " " << cell << " gave " << o.message;
                EXPECT_TRUE(o.kind == "ValueError" || o.kind == "ZeroDivisionError") << name << " " << cell;
                EXPECT_TRUE(mentions(o.message, c.input)) << name << " " << cell << ": " << o.message;
            }
        }
    }
}

TEST_F(BadInput, EvaluationDatesMalformedImpossibleEarlyAndLate) {
    struct Cell {
        const char* label;
        const char* date;
        bool bad_text;
    };
    const std::vector<Cell> cells = {{"malformed date", "01/03/2024", true},
                                     {"impossible date", "2024-02-30", true},
                                     {"empty date", "", true},
                                     {"before effect date", "2023-06-01", false},
                                     {"on maturity", "2024-06-28", false},
                                     {"after maturity", "2024-09-02", false}};
    for (const auto& product : products()) {
        const std::string& name = product.first;
        const Terms& terms = product.second;
        auto opt = make_option(terms);
        for (const auto& c : cells) {
            const Outcome o = run([&] {
                const EvalDate e = utils::DateInput(c.date);
                return npv_and_greeks(*opt, kSpot, kR, kVol, kQ, e);
            });
            record(name, c.label, o);
            EXPECT_TRUE(o.finite) << name << " " << c.label << ": " << o.message;
            if (c.bad_text) {
                EXPECT_EQ(o.kind, "ValueError") << name << " " << c.label;
                std::string quoted = "'";
                quoted.append(c.date).push_back('\'');
                EXPECT_TRUE(mentions(o.message, quoted)) << o.message;
            } else {
                EXPECT_NE(o.kind, "std::exception") << name << " " << c.label << ": " << o.message;
            }
        }
    }
}

TEST_F(BadInput, EachTermMissingInTurn) {
    for (const auto& product : products()) {
        const std::string& name = product.first;
        const Terms& terms = product.second;
        for (const auto& entry : terms) {
            const std::string& key = entry.first;
            Terms t = terms;
            t.erase(key);
            const Outcome o = run([&] {
                auto opt = make_option(t);
                return std::vector<double>{opt->npv(kSpot, kR, kVol, kQ, kEval)};
            });
            record(name, "missing " + key, o);
            EXPECT_TRUE(o.finite) << name << " missing " << key << ": " << o.message;
            if (o.kind != "value") {
                // A missing required term is a KeyError naming it.
                EXPECT_EQ(o.kind, "KeyError") << name << " missing " << key << ": " << o.message;
                EXPECT_EQ(o.message, key) << name;
            }
        }
    }
}

TEST_F(BadInput, EachTermOfTheWrongKind) {
    for (const auto& product : products()) {
        const std::string& name = product.first;
        const Terms& terms = product.second;
        for (const auto& entry : terms) {
            const std::string& key = entry.first;
            const Value& value = entry.second;
            // Text becomes a number; anything else becomes text that is
            // neither a number nor a date.
            const Value wrong = value.is_text() ? Value(12345) : Value("not-a-number");
            Terms t = terms;
            t.set(key, wrong);
            const Outcome o = run([&] {
                auto opt = make_option(t);
                return std::vector<double>{opt->npv(kSpot, kR, kVol, kQ, kEval)};
            });
            record(name, "wrong kind " + key, o);
            EXPECT_TRUE(o.finite) << name << " " << key << ": " << o.message;
            if (o.kind != "value") {
                EXPECT_TRUE(o.kind == "TypeError" || o.kind == "ValueError" || o.kind == "KeyError")
                    << name << " " << key << " -> " << o.kind << ": " << o.message;
                EXPECT_TRUE(mentions(o.message, key) || mentions(o.message, wrong.to_string()))
                    << name << " " << key << ": " << o.message;
            }
        }
    }
}
