// kestrel data import | info | holidays import: building and inspecting an
// SQLite price store.
#include "common.hpp"

#include <heron/memory_store.hpp>
#include <heron/sqlite_store.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/utils.hpp>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

namespace kestrel::cli {
namespace {

struct ImportOptions {
    std::string csv, db, instrument, adjust;
};

std::string join(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

void run_import(const ImportOptions& o) {
    heron::SqliteStore store(o.db);
    const auto r = store.import_csv(o.csv, o.instrument, o.adjust);
    std::ostringstream out;
    out << "imported " << o.csv << " into " << o.db << ": " << r.instrument << " (" << join(r.adjusts, ", ")
        << "), " << r.rows << " rows: " << r.inserted << " new, " << r.replaced << " replaced, " << r.unchanged
        << " unchanged\n";
    write_stdout(out.str());
}

// The store --db names or, without it, the bundled one (headed by where it is).
void run_info(const std::string& db) {
    std::vector<heron::SeriesSummary> series;
    std::string name = db, heading;
    if (!db.empty()) {
        series = heron::SqliteStore(db, heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly}).summary();
    } else {
        const BundledStore bundled = open_bundled_store();
        name = bundled.where;
        heading = "bundled store: " + name + "\n";
        if (auto* sqlite = dynamic_cast<heron::SqliteStore*>(bundled.store.get()))
            series = sqlite->summary();
        else
            series = dynamic_cast<const heron::MemoryStore&>(*bundled.store).summary();
    }
    if (series.empty()) {
        write_stdout(heading + name + ": empty store\n");
        return;
    }
    std::vector<std::vector<std::string>> rows{{"instrument", "adjust", "first", "last", "rows"}};
    std::size_t total = 0;
    for (const auto& s : series) {
        rows.push_back({s.instrument, s.adjust, utils::format_date(s.first), utils::format_date(s.last),
                        std::to_string(s.rows)});
        total += s.rows;
    }
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    std::ostringstream out;
    out << heading;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string pad(width[c] - row[c].size(), ' ');
            if (c + 1 == row.size()) out << pad << row[c];  // numbers right-aligned
            else out << row[c] << pad << "  ";
        }
        out << '\n';
    }
    out << series.size() << " series, " << total << " rows\n";
    write_stdout(out.str());
}

struct HolidaysOptions {
    std::string file, db;
};

// Everything is checked before the store is opened for writing, so a refused
// file leaves the store exactly as it was (byte for byte).
void run_holidays_import(const HolidaysOptions& o) {
    const auto list = calendar::read_closures_file(o.file);
    std::error_code ec;
    if (std::filesystem::exists(o.db, ec)) {
        heron::SqliteStore reader(o.db, heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly});
        reader.check_closures(list);
    }
    heron::SqliteStore store(o.db);
    const std::size_t replaced = store.import_closures(list);
    std::string years;
    for (int y : list.years) years += (years.empty() ? "" : ", ") + std::to_string(y);
    std::ostringstream out;
    out << "imported " << o.file << " into " << o.db << ": " << list.closures.size() << " official closures for "
        << years << " (in place of " << (replaced ? std::to_string(replaced) + " stored before" : "the projection")
        << ")\n";
    write_stdout(out.str());
}

}  // namespace

void add_data_command(CLI::App& app, Action& action) {
    auto* data = app.add_subcommand("data", "Build or inspect an SQLite price store");
    data->require_subcommand(1);

    auto import_options = std::make_shared<ImportOptions>();
    auto* import = data->add_subcommand(
        "import", "Import a price file (date,open,high,low,close[,volume]) in one transaction: a bad row "
                  "rejects the whole file and leaves the store as it was");
    import->add_option("FILE", import_options->csv, "price file (CSV)")->required()->check(CLI::ExistingFile);
    import->add_option("--db", import_options->db, "SQLite price store (created when missing)")->required();
    import->add_option("--instrument", import_options->instrument, "instrument id, e.g. 000300.XSHG")->required();
    import->add_option("--adjust", import_options->adjust, "adjust type the prices are stored under")
        ->required()
        ->check(CLI::IsMember({"pre", "none", "both"}));
    import->callback([&action, import_options] { action = [import_options] { run_import(*import_options); }; });

    auto db = std::make_shared<std::string>();
    auto* info = data->add_subcommand("info", "Instruments, adjust types, date ranges and row counts of a store (default: the bundled one)");
    info->add_option("--db", *db, "SQLite price store (default: the bundled store)")->check(CLI::ExistingFile);
    info->callback([&action, db] { action = [db] { run_info(*db); }; });

    auto* holidays = data->add_subcommand("holidays", "Official exchange closures kept in a store");
    holidays->require_subcommand(1);
    auto holidays_options = std::make_shared<HolidaysOptions>();
    auto* holidays_import = holidays->add_subcommand(
        "import", "Store a year's (or several years') official closures (date,holiday; weekdays only), in place of "
                  "the projection for those years. A bad file is refused and the store left as it was");
    holidays_import->add_option("FILE", holidays_options->file, "closure file (CSV)")->required()->check(CLI::ExistingFile);
    holidays_import->add_option("--db", holidays_options->db, "SQLite price store (created when missing)")->required();
    holidays_import->callback(
        [&action, holidays_options] { action = [holidays_options] { run_holidays_import(*holidays_options); }; });
}

}  // namespace kestrel::cli
