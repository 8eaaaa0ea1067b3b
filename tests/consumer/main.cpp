// Values a vanilla option against the installed bundled price store, and
// checks that kestrel's error types can be caught by type from outside.
#include <heron/sqlite_store.hpp>
#include <kestrel/book.hpp>
#include <kestrel/kestrel.hpp>

#include <iostream>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: consumer PRICES.db\n";
        return 2;
    }
    try {
        heron::install(std::make_shared<heron::SqliteStore>(
            argv[1], heron::SqliteStore::Options{heron::SqliteStore::Mode::ReadOnly}));
        const auto history = heron::get_price("000300.XSHG", "2025-06-30", "2025-06-30");
        if (!history || history->column("close").at(0) != 3936.0791) {
            std::cerr << "unexpected history for 000300.XSHG on 2025-06-30\n";
            return 1;
        }
        const kestrel::Terms terms{{"type", "vanilla"},        {"underlying", "000300.XSHG"},
                                   {"effect_date", "2025-01-02"}, {"maturity_date", "2025-12-31"},
                                   {"s0", 3820.3952},          {"notional", 1.0},
                                   {"call_put", "call"},       {"strike", 3900.0},
                                   {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}};
        const double npv = kestrel::make_option(terms)->npv(3936.0791, 0.018, 0.2, 0.015, "2025-06-30");
        std::cout << "npv " << npv << "\n";
        if (!(npv > 0)) return 1;
        // The same vanilla as a one-contract book gives the same value.
        nlohmann::ordered_json contract = terms.to_json();
        contract["id"] = "v1";
        const auto market = kestrel::book::BookMarket::from_json(nlohmann::ordered_json::parse(
            R"({"r": 0.018, "underlyings": {"000300.XSHG": {"vol": 0.2, "q": 0.015, "spot": 3936.0791}}})"));
        kestrel::book::BookOptions options;
        options.evaluation_date = kestrel::utils::parse_date("2025-06-30");
        const auto book = kestrel::book::value_book(nlohmann::ordered_json::array({contract}), market, options);
        if (book.rows.size() != 1 || !book.rows[0].ok() || book.rows[0].value.npv != npv) {
            std::cerr << "the one-contract book does not value like the vanilla\n";
            return 1;
        }
        try {
            kestrel::make_option(kestrel::Terms{});
            std::cerr << "no error for terms without a type\n";
            return 1;
        } catch (const kestrel::KeyError& e) {
            std::cout << "KeyError " << e.what() << "\n";
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << "\n";
        return 1;
    }
}
