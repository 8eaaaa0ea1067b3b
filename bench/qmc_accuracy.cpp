// qmc_accuracy: the error of the snowball's npv and delta against the time
// they take, "mc" against "qmc". The reference is "qmc" on 10,000,000 points
// (another seed than the runs; its standard error is printed, and "mc" on as
// many paths beside it as a check); each row is the root-mean-square error
// over 32 runs of different seeds, and the mean seconds of one run, on one
// thread.
//   qmc_accuracy [reference paths] [runs]
// Prints a Markdown table, and for each path count the variance ratio at
// equal time: (rmse_mc^2 x seconds_mc) / (rmse_qmc^2 x seconds_qmc).
#include <kestrel/notes/bench_notes.hpp>

#include <heron/memory_store.hpp>
#include <kestrel/random_sample.hpp>
#include <kestrel/snowball.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kestrel;

namespace {

SnowBallOption note(const std::string& engine) {
    Terms terms = bench::note_terms("snowball", 1);
    terms.set("engine", engine);
    return SnowBallOption(terms);
}

detail::ValueDeltaGamma value(const std::string& engine) {
    return note(engine)._npv(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend,
                             utils::DateInput(bench::kEvaluationDate), false, true);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t ref_paths = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 32;
    heron::install(std::make_shared<heron::MemoryStore>());
    random_sample::set_threads(random_sample::hardware_threads());
    random_sample::set_paths(ref_paths);
    random_sample::set_seed(7);
    const auto ref = value("qmc");
    const double ref_se = note("qmc").statistics(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend,
                                                 utils::DateInput(bench::kEvaluationDate)).standard_error;
    const auto check = value("mc");
    const double check_se = note("mc").statistics(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend,
                                                  utils::DateInput(bench::kEvaluationDate)).standard_error;
    std::printf("reference: qmc, %zu points: npv %.6f (standard error %.6f) delta %.6f\n", ref_paths, ref.npv,
                ref_se, ref.delta);
    std::printf("check: mc, %zu paths: npv %.6f (standard error %.6f) delta %.6f\n\n", ref_paths, check.npv,
                check_se, check.delta);
    random_sample::set_threads(1);
    std::printf("| engine | paths | seconds | npv RMSE | delta RMSE |\n|---|---:|---:|---:|---:|\n");
    for (std::size_t paths : {32768u, 131072u, 524288u}) {
        random_sample::set_paths(paths);
        double v[2], d[2], t[2];
        const char* engines[2] = {"mc", "qmc"};
        for (int e = 0; e < 2; ++e) {
            double se_v = 0, se_d = 0, sec = 0;
            for (int k = 0; k < runs; ++k) {
                random_sample::set_seed(1000 + static_cast<std::uint64_t>(k));
                const auto t0 = std::chrono::steady_clock::now();
                const auto x = value(engines[e]);
                sec += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                se_v += (x.npv - ref.npv) * (x.npv - ref.npv);
                se_d += (x.delta - ref.delta) * (x.delta - ref.delta);
            }
            v[e] = std::sqrt(se_v / runs);
            d[e] = std::sqrt(se_d / runs);
            t[e] = sec / runs;
            std::printf("| %s | %zu | %.4f | %.5f | %.6f |\n", engines[e], paths, t[e], v[e], d[e]);
        }
        std::printf("| variance at equal time, mc / qmc | %zu | | %.2f | %.2f |\n", paths,
                    v[0] * v[0] * t[0] / (v[1] * v[1] * t[1]), d[0] * d[0] * t[0] / (d[1] * d[1] * t[1]));
        std::fflush(stdout);
    }
}
