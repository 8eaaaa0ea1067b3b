// kestrel built inside this project: a vanilla call valued through its own
// class (the evaluation date reaches QuantLib: a zero here means it did not),
// and one of kestrel's errors, thrown inside its library, caught by type.
#include <heron/memory_store.hpp>
#include <kestrel/vanilla.hpp>

#include <cmath>
#include <iostream>
#include <memory>

int main() {
    // Trading days from the exchange calendar; no price history is needed.
    heron::install(std::make_shared<heron::MemoryStore>());
    const kestrel::Terms terms{{"type", "vanilla"},        {"underlying", "000300.XSHG"},
                               {"effect_date", "2025-01-02"}, {"maturity_date", "2025-12-31"},
                               {"s0", 3820.3952},          {"notional", 1.0},
                               {"call_put", "call"},       {"strike", 3900.0},
                               {"exercise_type", "european"}, {"payoff_type", "plain_vanilla"}};
    kestrel::VanillaOption option(terms);
    const double npv = option.npv(3936.0791, 0.018, 0.2, 0.015, "2025-06-30");
    std::cout << "npv " << npv << "\n";
    if (!std::isfinite(npv) || npv <= 0) {
        std::cerr << "a call six months from expiry near the money is worth more than " << npv << "\n";
        return 1;
    }
    try {
        kestrel::Terms{}.at("strike");
        std::cerr << "no error for a missing term\n";
        return 1;
    } catch (const kestrel::KeyError& e) {
        std::cout << "KeyError " << e.what() << "\n";
    }
    return 0;
}
