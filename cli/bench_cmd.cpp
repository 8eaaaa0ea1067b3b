// kestrel bench snowball|phoenix: times npv and greeks of the benchmark notes
// (one and two years, daily knock-in, monthly knock-out) and prints paths,
// grid days, threads, seconds and path-steps per second, then the process's
// peak memory; the first line names the instruction set the kernels dispatch
// to (see --simd). With --engine pde the finite-difference engine's times (one
// thread; it has no paths) follow the Monte Carlo's for each note.
#include "common.hpp"

#include <kestrel/notes/bench_notes.hpp>
#include <heron/memory_store.hpp>
#include <kestrel/kestrel.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

namespace kestrel::cli {
namespace {

struct BenchOptions {
    std::string product;
    std::vector<int> years{1, 2};
    std::size_t paths = random_sample::kDefaultPaths;
    std::vector<std::size_t> threads;
    int repeat = 3;
    std::string engine = "mc";
    std::string draws;
    std::string simd;
};

std::string row(const char* fmt, auto... values) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, values...);
    return buf;
}

void run_bench(const BenchOptions& o) {
    // The notes are valued on their effect date: only the calendar is needed.
    heron::install(std::make_shared<heron::MemoryStore>());
    random_sample::set_paths(o.paths);
    apply_draws(o.draws);
    apply_simd(o.simd);
    write_stdout("instruction set: " + std::string(random_sample::simd_name(random_sample::dispatched_simd())) +
                 " (this machine: " + machine_simd() + ")\n");
    std::vector<std::size_t> threads = o.threads;
    if (threads.empty()) {
        threads.push_back(1);
        if (random_sample::hardware_threads() > 1) threads.push_back(random_sample::hardware_threads());
    }
    write_stdout(row("%-9s %-6s %-7s %5s %8s %9s %7s %9s %14s\n", "product", "engine", "value", "years", "paths",
                     "grid_days", "threads", "seconds", "path_steps/s"));
    const EvalDate date = utils::DateInput(bench::kEvaluationDate);
    std::vector<std::string> engines{"mc"};
    if (o.engine != "mc") engines.push_back(o.engine);
    for (int years : o.years) {
        for (bool greeks : {false, true}) {
            for (const std::string& engine : engines) {
                const Terms terms = with_note_engine(bench::note_terms(o.product, years), engine);
                const auto note = make_option(terms);
                const bool simulated = engine != "pde";  // pde: no paths, one thread
                const double steps =
                    static_cast<double>(o.paths) * static_cast<double>(bench::simulated_days(terms, greeks));
                for (std::size_t n : simulated ? threads : std::vector<std::size_t>{1}) {
                    random_sample::set_threads(n);
                    double best = std::numeric_limits<double>::infinity();
                    for (int k = 0; k < o.repeat; ++k) {
                        const auto t0 = std::chrono::steady_clock::now();
                        if (greeks)
                            note->greeks(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date);
                        else
                            note->npv(bench::kSpot, bench::kRate, bench::kVol, bench::kDividend, date);
                        best = std::min(best,
                                        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
                    }
                    if (simulated)
                        write_stdout(row("%-9s %-6s %-7s %5d %8zu %9zu %7zu %9.4f %14.4g\n", o.product.c_str(), engine.c_str(),
                                         greeks ? "greeks" : "npv", years, o.paths, bench::grid_days(terms), n, best,
                                         steps / best));
                    else
                        write_stdout(row("%-9s %-6s %-7s %5d %8s %9zu %7d %9.4f %14s\n", o.product.c_str(),
                                         engine.c_str(), greeks ? "greeks" : "npv", years, "-", bench::grid_days(terms),
                                         1, best, "-"));
                }
            }
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    write_stdout(row("peak memory: %.1f MB (best of %d runs each)\n", static_cast<double>(usage.ru_maxrss) / 1024.0,
                     o.repeat));
}

}  // namespace

void add_bench_command(CLI::App& app, Action& action) {
    auto o = std::make_shared<BenchOptions>();
    auto* cmd = app.add_subcommand("bench", "Time the notes' engines: npv and greeks of a one- and a two-year "
                                            "note (daily knock-in, monthly knock-out)");
    cmd->add_option("PRODUCT", o->product, "snowball or phoenix")
        ->required()
        ->check(CLI::IsMember({"snowball", "phoenix"}));
    cmd->add_option("--years", o->years, "note lengths to time (default: 1 2)")->transform(whole_number(1, 2));
    cmd->add_option("--paths", o->paths, "Monte Carlo paths (default: 100000)")->transform(whole_number(1));
    cmd->add_option("--threads", o->threads, "thread counts to time (default: 1 and all cores)")
        ->transform(whole_number(1, kMaxThreads));
    cmd->add_option("--engine", o->engine, "also time this engine of the notes beside the Monte Carlo: qmc or pde")
        ->check(CLI::IsMember(note_engines()));
    add_draws_option(*cmd, o->draws);
    add_simd_option(*cmd, o->simd);
    cmd->add_option("--repeat", o->repeat, "runs of each valuation; the fastest is reported (default: 3)")
        ->transform(whole_number(1, 1000));
    cmd->callback([&action, o] { action = [o] { run_bench(*o); }; });
}

}  // namespace kestrel::cli
