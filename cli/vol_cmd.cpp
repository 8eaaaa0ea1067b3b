// kestrel vol calibrate QUOTES.csv --market MARKET.json --underlying ID --date D
// [--out SURFACE.json]: option quotes to a calibrated surface; prints the
// forwards, the dropped quotes and the fit, and writes the market-file
// volatility entry.
#include "common.hpp"

#include <kestrel/errors.hpp>
#include <kestrel/market/vol_calibration.hpp>
#include <kestrel/utils.hpp>

#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>

namespace kestrel::cli {
namespace {

struct VolOptions {
    std::string quotes, market, underlying, date, out;
    std::string forwards = "parity";
    double tolerance = 0.0;
};

void run_calibrate(const VolOptions& o) {
    const auto date = utils::parse_date(o.date);
    vol::CalibrationSettings settings;
    settings.forwards = vol::parse_forward_source(o.forwards);
    settings.tolerance = o.tolerance;
    const auto market = vol::read_market_file(o.market, o.underlying);
    const auto quotes = vol::read_quotes(o.quotes, date);
    const auto c = vol::calibrate(quotes, market, date, settings);
    if (!o.out.empty()) {
        const std::string tmp = o.out + ".tmp";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            if (!f) throw ValueError(o.out + ": cannot be written");
            f << vol::market_entry(quotes, settings).dump(2) << "\n";
            f.flush();
            if (!f) throw ValueError(o.out + ": cannot be written");
        }
        if (std::rename(tmp.c_str(), o.out.c_str()) != 0) throw ValueError(o.out + ": cannot be written");
    }
    write_stdout(vol::format_calibration(c));
}

}  // namespace

void add_vol_command(CLI::App& app, Action& action) {
    auto* vol = app.add_subcommand("vol", "Volatility surfaces from listed option quotes");
    vol->require_subcommand(1);
    auto o = std::make_shared<VolOptions>();
    auto* cmd = vol->add_subcommand(
        "calibrate", "Calibrate an SVI surface (and its Dupire local volatility) to European option quotes");
    cmd->add_option("QUOTES", o->quotes, "CSV of expiry,type,strike,price (type call or put)")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--market", o->market, "market file: its \"r\" and the underlying's \"spot\" and \"q\"")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--underlying", o->underlying, "the underlying's id in the market file")->required();
    cmd->add_option("--date", o->date, "the quotes' day (YYYY-MM-DD)")->required()->check(date_text());
    cmd->add_option("--out", o->out, "write the market-file volatility entry here (JSON)");
    cmd->add_option("--forwards", o->forwards, "each expiry's forward: from put-call parity or the market's r and q")
        ->check(CLI::IsMember({"parity", "market"}));
    cmd->add_option("--tolerance", o->tolerance,
                    "price tolerance of the monotonicity and convexity checks (0: strict)")
        ->check(CLI::NonNegativeNumber);
    cmd->callback([&action, o] { action = [o] { run_calibrate(*o); }; });
}

}  // namespace kestrel::cli
