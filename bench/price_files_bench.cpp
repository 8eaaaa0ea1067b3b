// Reading the bundled price files (data/prices: five files, 19,500 rows) into
// a memory store, as `kestrel price --prices DIR` does before it values
// anything; and parsing the largest file alone.
#include <heron/csv.hpp>
#include <heron/memory_store.hpp>

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string kPrices = KESTREL_DATA_DIR "/prices";

void load_directory(benchmark::State& state) {
    std::size_t rows = 0;
    for (auto _ : state) {
        heron::MemoryStore store;
        rows = heron::load_directory(store, kPrices);
        benchmark::DoNotOptimize(rows);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}

void parse_one_file(benchmark::State& state) {
    std::ifstream in(kPrices + "/000300.XSHG.csv", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string csv = text.str();
    std::size_t rows = 0;
    for (auto _ : state) {
        const auto parsed = heron::parse_csv(csv, "000300.XSHG.csv");
        rows = parsed.bars.size();
        benchmark::DoNotOptimize(rows);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}

}  // namespace

BENCHMARK(load_directory)->Unit(benchmark::kMillisecond);
BENCHMARK(parse_one_file)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
