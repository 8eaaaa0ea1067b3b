#include <kestrel/notes/autocallable.hpp>
#include <kestrel/kestrel.hpp>

#include <functional>
#include <utility>

namespace kestrel {
namespace {

using Factory = std::function<std::unique_ptr<BaseOption>(const Terms&)>;

template <class Product>
Factory factory() {
    return [](const Terms& t) -> std::unique_ptr<BaseOption> { return std::make_unique<Product>(t); };
}

const std::vector<std::pair<std::string, Factory>>& registry() {
    static const std::vector<std::pair<std::string, Factory>> r = {
        {"vanilla", factory<VanillaOption>()},
        {"asian", factory<AsianOption>()},
        {"barrier", factory<BarrierOption>()},
        {"corridor", factory<DoubleBarrierOption>()},
        {"tandem", factory<DoubleTouchOption>()},
        {"snowball", factory<SnowBallOption>()},
        {"phoenix", factory<PhoenixOption>()},
    };
    return r;
}

}  // namespace

std::unique_ptr<BaseOption> make_option(const Terms& terms) {
    const std::string& type = terms.text("type");
    for (const auto& [name, make] : registry())
        if (name == type) return make(terms);
    std::string known;
    for (const auto& [name, make] : registry()) known += (known.empty() ? "" : ", ") + name;
    throw ValueError("unknown product type: '" + type + "' (known: " + known + ")");
}

std::vector<std::string> known_types() {
    std::vector<std::string> out;
    for (const auto& [name, make] : registry()) out.push_back(name);
    return out;
}

std::vector<std::string> note_engines() {
    std::vector<std::string> out;
    for (const auto& [name, engine] : detail::NOTE_ENGINE_MAP) out.push_back(name);
    return out;
}

Terms with_note_engine(Terms terms, const std::string& engine) {
    if (engine.empty()) return terms;
    detail::note_engine(engine);  // the name must be known, note or not
    const Value* type = terms.find("type");
    if (type && type->is_text() && (type->as_text("type") == "snowball" || type->as_text("type") == "phoenix") &&
        !terms.contains("engine"))
        terms.set("engine", engine);
    return terms;
}

}  // namespace kestrel
