// The error kinds' out-of-line members. They live in the lowest module,
// kestrel_calendar, which every other module links.
#include <kestrel/errors.hpp>

namespace kestrel {

Error::Error(std::string message) : message_(std::move(message)) {}
Error::~Error() = default;
KeyError::~KeyError() = default;
ValueError::~ValueError() = default;
NotImplementedError::~NotImplementedError() = default;
AssertionError::~AssertionError() = default;
TypeError::~TypeError() = default;
IndexError::~IndexError() = default;
ZeroDivisionError::~ZeroDivisionError() = default;

}  // namespace kestrel
