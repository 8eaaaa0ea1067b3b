#pragma once
// Included first in every source file of kestrel's libraries (-include, set by
// kestrel_add_module). The libraries are built with hidden visibility, which
// also hides the template code they instantiate from QuantLib's headers; for
// QuantLib's singletons that would give each library its own hidden instance
// (its own Settings, evaluation date included) instead of the one
// libQuantLib and every other library use. The singleton template and the
// singletons kestrel reaches keep QuantLib's default visibility.
#pragma GCC visibility push(default)
#include <ql/indexes/indexmanager.hpp>
#include <ql/math/randomnumbers/seedgenerator.hpp>
#include <ql/patterns/observable.hpp>
#include <ql/patterns/singleton.hpp>
#include <ql/settings.hpp>
#pragma GCC visibility pop
