#include <kestrel/engines/mc/notes.hpp>
#include <kestrel/engines/pde/notes.hpp>
#include <kestrel/notes/engine.hpp>

namespace kestrel::detail {

std::optional<OptionGreeks> NotePricingEngine::greeks(const NoteData&, const NoteContext&, const NoteCheck&) const {
    return std::nullopt;
}

const NotePricingEngine& note_pricing_engine(NoteEngine engine) {
    static const MonteCarloNoteEngine mc(mc::Shocks::pseudo), qmc(mc::Shocks::sobol);
    static const PdeNoteEngine pde;
    switch (engine) {
        case NoteEngine::mc: return mc;
        case NoteEngine::qmc: return qmc;
        case NoteEngine::pde: return pde;
    }
    throw ValueError("unknown note engine");
}

}  // namespace kestrel::detail
