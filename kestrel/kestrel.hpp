#pragma once
// Everything of kestrel in one include, and products by name.
#include <kestrel/export.hpp>
#include <kestrel/asian.hpp>
#include <kestrel/barrier.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/corridor.hpp>
#include <kestrel/keel.hpp>
#include <kestrel/phoenix.hpp>
#include <kestrel/random_sample.hpp>
#include <kestrel/snowball.hpp>
#include <kestrel/tandem.hpp>
#include <kestrel/utils.hpp>
#include <kestrel/vanilla.hpp>

#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Builds the product named by the term "type" ("vanilla", ...). A missing
// "type" is a KeyError; an unknown one a ValueError listing the known types.
KESTREL_KESTREL_EXPORT std::unique_ptr<BaseOption> make_option(const Terms& terms);

// The product type names make_option knows, in a stable order.
KESTREL_KESTREL_EXPORT std::vector<std::string> known_types();

// The engines a note's "engine" term names ("mc", "qmc", "pde"), in a stable order.
KESTREL_KESTREL_EXPORT std::vector<std::string> note_engines();

// The terms with "engine" set to `engine` when they are a note's (type
// "snowball" or "phoenix") and name none themselves; anything else unchanged.
// An empty `engine` changes nothing; an unknown one is a ValueError naming it.
KESTREL_KESTREL_EXPORT Terms with_note_engine(Terms terms, const std::string& engine);

}  // namespace kestrel
