#pragma once
// What the CSV fuzz target checks on every input, shared with the unit test
// that replays the saved inputs (tests/store_faults_test.cpp).
//
// The text is parsed as a price file; a parsed file is imported under both
// adjust types into a MemoryStore and an in-memory SqliteStore that already
// hold a few days of the same instrument. Afterwards each store must hold
// exactly the old rows overlaid with the parsed ones, the import report must
// count them, and the two stores must agree. A kestrel::Error from parsing or
// importing is an expected outcome, provided the store it came from is left
// as it was.
#include <heron/csv.hpp>
#include <heron/memory_store.hpp>
#include <heron/sqlite_store.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::fuzz {

namespace csv_check {

inline const char* const kInstrument = "FUZZ.XSHG";
inline const char* const kAdjusts[] = {"pre", "none"};

using Rows = std::map<heron::Date, heron::Bar>;

// What the stores hold before the import: the first trading days of 2024,
// the dates the seed files use, so an import replaces some and adds others.
inline std::vector<heron::Bar> base_bars() {
    std::vector<heron::Bar> out;
    double level = 10.0;
    for (const char* day : {"2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"}) {
        out.push_back({kestrel::utils::parse_date(day), level, level + 1, level - 1, level + 0.5,
                       day[9] == '4' ? std::nullopt : std::optional<double>(1000 * level)});
        level += 1;
    }
    return out;
}

// Every row of the instrument under one adjust type, read back through get_price.
inline Rows stored(heron::Client& store, const char* adjust) {
    Rows out;
    const auto table = store.get_price(kInstrument, heron::Date::minDate(), heron::Date::maxDate(),
                                       heron::known_fields(), adjust, true);
    if (!table) return out;
    const auto& dates = table->dates();
    const auto &open = table->column("open"), &high = table->column("high"), &low = table->column("low"),
               &close = table->column("close"), &volume = table->column("volume");
    for (std::size_t i = 0; i < dates.size(); ++i)
        out[dates[i]] = heron::Bar{dates[i], open[i], high[i], low[i], close[i],
                                   std::isnan(volume[i]) ? std::nullopt : std::optional<double>(volume[i])};
    return out;
}

inline Rows as_rows(const std::vector<heron::Bar>& bars) {
    Rows out;
    for (const auto& b : bars) out[b.date] = b;
    return out;
}

// "" when both adjust types hold exactly `expected`.
inline std::string compare(heron::Client& store, const Rows& expected, const char* which) {
    for (const char* adjust : kAdjusts) {
        const Rows got = stored(store, adjust);
        if (got == expected) continue;
        std::string why = std::string(which) + " (" + adjust + ") holds " + std::to_string(got.size()) +
                          " rows, expected " + std::to_string(expected.size());
        for (const auto& [d, bar] : expected) {
            const auto it = got.find(d);
            if (it == got.end() || !(it->second == bar)) {
                why += "; first difference on " + kestrel::utils::format_date(d);
                break;
            }
        }
        return why;
    }
    return "";
}

}  // namespace csv_check

// "" when the input behaved; otherwise what went wrong.
inline std::string csv_import_problem(std::string_view text) {
    using namespace csv_check;
    heron::CsvRows rows;
    try {
        rows = heron::parse_csv(text, "fuzz.csv");
    } catch (const kestrel::Error&) {
        return "";  // a bad file, rejected with a typed error
    } catch (const std::exception& e) {
        return std::string("parse_csv threw an untyped exception: ") + e.what();
    }
    if (rows.lines.size() != rows.bars.size()) return "parse_csv returned " + std::to_string(rows.lines.size()) + " line numbers for " +
               std::to_string(rows.bars.size()) + " bars";

    const auto base = base_bars();
    const Rows before = as_rows(base);
    Rows expected = before;
    std::size_t fresh = 0, same = 0;
    for (const auto& b : rows.bars) {
        const auto it = before.find(b.date);
        if (it == before.end()) ++fresh;
        else if (it->second == b) ++same;
        expected[b.date] = b;
    }

    try {
        heron::MemoryStore memory;
        heron::SqliteStore sqlite(":memory:");
        for (const char* adjust : kAdjusts) memory.add(kInstrument, adjust, base);
        sqlite.import(kInstrument, {"pre", "none"}, heron::CsvRows{"base", base, {}});

        bool memory_took = true, sqlite_took = true;
        try {
            for (const char* adjust : kAdjusts) memory.add(kInstrument, adjust, rows.bars);
        } catch (const kestrel::Error&) {
            memory_took = false;
        }
        heron::SqliteStore::ImportReport report;
        try {
            report = sqlite.import(kInstrument, {"pre", "none"}, rows);
        } catch (const kestrel::Error&) {
            sqlite_took = false;
        }
        // The parser already checked every bar as an import does, so a parsed
        // file must import into either store.
        if (!memory_took || !sqlite_took)
            return std::string("a parsed file was refused by the ") + (memory_took ? "SQLite" : "memory") + " store";

        std::string why = compare(memory, expected, "memory store");
        if (why.empty()) why = compare(sqlite, expected, "SQLite store");
        if (!why.empty()) return why;
        const std::size_t n = rows.bars.size();
        if (report.rows != 2 * n || report.inserted != 2 * fresh || report.unchanged != 2 * same ||
            report.replaced != 2 * (n - fresh - same))
            return "import report counts " + std::to_string(report.rows) + " rows: " + std::to_string(report.inserted) +
                   " new, " + std::to_string(report.replaced) + " replaced, " + std::to_string(report.unchanged) +
                   " unchanged; expected " + std::to_string(2 * n) + ": " + std::to_string(2 * fresh) + ", " +
                   std::to_string(2 * (n - fresh - same)) + ", " + std::to_string(2 * same);
        if (sqlite.summary() != memory.summary()) return "the stores' summaries differ";
    } catch (const kestrel::Error& e) {
        return std::string("setting up or reading the stores failed: ") + e.kind() + ": " + e.what();
    } catch (const std::exception& e) {
        return std::string("untyped exception: ") + e.what();
    }
    return "";
}

// The fuzz target's check: aborts (a finding) on a problem.
inline void check_csv_import(std::string_view text) {
    const std::string why = csv_import_problem(text);
    if (why.empty()) return;
    std::fprintf(stderr, "csv import check failed: %s\n", why.c_str());
    std::abort();
}

}  // namespace kestrel::fuzz
