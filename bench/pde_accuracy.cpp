// Accuracy of the finite-difference engine on the benchmark notes (one and
// two years, snowball and phoenix, valued on their effect date):
//  1. grid refinement: the default settings, then space nodes and time steps
//     doubled together, four times; the differences between levels give the
//     convergence order, the last level stands for the limit;
//  2. against the Monte Carlo: value and delta of four seeds' simulations
//     (--paths=N each, default 400,000), their standard error from the seeds'
//     spread, and the distance in standard errors;
//  3. delta and gamma over spot from 80 % to 110 % of s0 for the example
//     book's snowball (examples/book.json, on its effect date, with the
//     example market's inputs), pde beside mc (first seed).
// --paths=N changes the paths; --quick runs section 1 only, on the one-year
// notes (the smoke test).
#include <kestrel/notes/bench_notes.hpp>

#include <heron/memory_store.hpp>
#include <kestrel/engines/pde/notes.hpp>
#include <kestrel/kestrel.hpp>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace kestrel;
namespace pde = kestrel::detail::pde;

namespace {

struct Inputs {
    const char* date = bench::kEvaluationDate;
    double r = bench::kRate, vol = bench::kVol, q = bench::kDividend;
};

detail::ValueDeltaGamma mc_value(const BaseOption& note, double spot, const Inputs& m = {}) {
    const EvalDate e = utils::DateInput(m.date);
    if (const auto* s = dynamic_cast<const SnowBallOption*>(&note)) return s->_npv(spot, m.r, m.vol, m.q, e, false, true);
    return dynamic_cast<const PhoenixOption&>(note)._npv(spot, m.r, m.vol, m.q, e, false, true);
}

pde::Note describe(const BaseOption& note, const Terms& terms, const Inputs& m = {}) {
    const auto* s = dynamic_cast<const SnowBallOption*>(&note);
    const auto t = detail::read_note_terms(terms, note.maturity_date(),
                                           s ? detail::NoteKind::snowball : detail::NoteKind::phoenix);
    const detail::NoteLegs& legs = s ? s->legs() : dynamic_cast<const PhoenixOption&>(note).legs();
    return detail::pde_note(t, s ? pde::Rule::snowball : pde::Rule::phoenix, legs, utils::parse_date(m.date),
                            note.maturity_date(), m.r, m.q, m.vol, false);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t paths = 400000;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--paths=", 8) == 0) paths = std::strtoull(argv[i] + 8, nullptr, 10);
        if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    }
    heron::install(std::make_shared<heron::MemoryStore>());
    random_sample::set_paths(paths);
    for (const std::string type : {"snowball", "phoenix"})
        for (int years : {1, 2}) {
            if (quick && years == 2) continue;
            const Terms terms = bench::note_terms(type, years);
            const auto note = make_option(terms);
            const pde::Note n = describe(*note, terms);
            std::printf("%s, %d year(s)\n  refinement  nodes  steps/yr        npv       delta       gamma   change\n",
                        type.c_str(), years);
            pde::Settings s;
            std::vector<double> values;
            for (int level = 0; level < 5; ++level) {
                const pde::Solution v = pde::solve(n, bench::kSpot, true, s);
                values.push_back(v.npv);
                const double change = level == 0 ? 0.0 : v.npv - values[values.size() - 2];
                std::printf("  %10d %6zu %9.0f %10.6f %11.6f %11.6f %8.5f", level, s.space_nodes, s.steps_per_year,
                            v.npv, v.delta, v.gamma, change);
                if (level >= 2) {
                    const double a = values[values.size() - 3] - values[values.size() - 2];
                    const double b = values[values.size() - 2] - values.back();
                    if (a != 0 && b != 0) std::printf("  order %.2f", std::log2(std::fabs(a / b)));
                }
                std::printf("\n");
                s.space_nodes = 2 * s.space_nodes - 1;
                s.steps_per_year *= 2;
            }
            std::printf("  default minus finest: %.5f (%.2e x s0)\n", values.front() - values.back(),
                        (values.front() - values.back()) / 100.0);
            if (quick) continue;
            double sum = 0, sum2 = 0, dsum = 0, dsum2 = 0;
            for (int seed = 1; seed <= 4; ++seed) {
                random_sample::set_seed(static_cast<std::uint64_t>(seed));
                const auto v = mc_value(*note, bench::kSpot);
                sum += v.npv;
                sum2 += v.npv * v.npv;
                dsum += v.delta;
                dsum2 += v.delta * v.delta;
            }
            const double mean = sum / 4, dmean = dsum / 4;
            const double se = std::sqrt(std::max(0.0, sum2 / 4 - mean * mean) / 3);
            const double dse = std::sqrt(std::max(0.0, dsum2 / 4 - dmean * dmean) / 3);
            const pde::Solution v = pde::solve(n, bench::kSpot, true);
            std::printf("  mc (4 x %zu paths): npv %.5f se %.5f, delta %.5f se %.5f\n", paths, mean, se, dmean, dse);
            std::printf("  pde - mc: npv %.5f (%.2f se), delta %.5f (%.2f se)\n", v.npv - mean, (v.npv - mean) / se,
                        v.delta - dmean, (v.delta - dmean) / dse);
        }
    if (quick) return 0;
    std::ifstream in(KESTREL_EXAMPLES_DIR "/book.json");
    Terms terms;
    for (const auto& c : nlohmann::ordered_json::parse(in))
        if (c.at("id") == "snowball-csi500-2308") terms = Terms::from_json(c);
    const auto note = make_option(terms);
    const double s0 = terms.number("s0");
    const Inputs m{"2023-08-01", 0.016, 0.24, 0.015};  // examples/market.json for 000905.XSHG
    std::printf("example snowball on %s (s0 %.4f), delta and gamma over spot\n"
                "  spot/s0   pde delta    mc delta     pde gamma      mc gamma\n",
                m.date, s0);
    random_sample::set_seed(1);
    for (double k = 0.80; k <= 1.1001; k += 0.025) {
        const pde::Solution v = pde::solve(describe(*note, terms, m), k * s0, true);
        const auto w = mc_value(*note, k * s0, m);
        std::printf("  %7.3f %11.6f %11.6f %13.4e %13.4e\n", k, v.delta, w.delta, v.gamma, w.gamma);
    }
    return 0;
}
