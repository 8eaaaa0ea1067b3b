// kestrel: the command line. Each verb is in its own file (see common.hpp).
#include "common.hpp"

int main(int argc, char** argv) {
    CLI::App app{"kestrel values equity options and autocallable notes on China A-share underlyings."};
    app.name("kestrel");
    app.set_version_flag("--version", KESTREL_VERSION);
    app.require_subcommand(1);

    kestrel::cli::Action action;
    kestrel::cli::add_data_command(app, action);
    kestrel::cli::add_calendar_command(app, action);
    kestrel::cli::add_price_command(app, action);
    kestrel::cli::add_bench_command(app, action);
    kestrel::cli::add_book_command(app, action);
    kestrel::cli::add_runs_command(app, action);
    kestrel::cli::add_cashflows_command(app, action);
    kestrel::cli::add_vol_command(app, action);
    kestrel::cli::add_explain_command(app, action);
    kestrel::cli::add_backtest_command(app, action);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return kestrel::cli::report_usage_error(app, e);
    }
    try {
        if (action) action();
        return 0;
    } catch (const kestrel::cli::InputError& e) {
        kestrel::cli::report_error(e.error);
        return kestrel::cli::kExitUsage;
    } catch (...) {
        return kestrel::cli::report_error(std::current_exception());
    }
}
