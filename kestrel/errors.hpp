#pragma once
// The error kinds kestrel raises. Every one derives from kestrel::Error, so a
// caller can catch them all at once or tell them apart by type.
#include <kestrel/export.hpp>

#include <stdexcept>
#include <string>

namespace kestrel {

// Exported whole (type information included) from the calendar library, so
// that code in any library or program catches them by type.
class KESTREL_CALENDAR_EXPORT Error : public std::exception {
  public:
    explicit Error(std::string message = {});
    ~Error() override;
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    // Name of the kind as users see it: "KeyError", "ValueError", ...
    virtual const char* kind() const noexcept { return "Error"; }

  private:
    std::string message_;
};

#define KESTREL_DECLARE_ERROR(Name)                                   \
    class KESTREL_CALENDAR_EXPORT Name : public Error {               \
      public:                                                         \
        using Error::Error;                                           \
        ~Name() override;                                             \
        const char* kind() const noexcept override { return #Name; } \
    }

// A required term is missing, or a type name is not in a product's table.
KESTREL_DECLARE_ERROR(KeyError);
// An input has the right kind but an unusable value.
KESTREL_DECLARE_ERROR(ValueError);
// A recognised but unsupported choice.
KESTREL_DECLARE_ERROR(NotImplementedError);
// A choice outside the recognised set.
KESTREL_DECLARE_ERROR(AssertionError);
// A value of the wrong kind (text where a number is needed, ...).
KESTREL_DECLARE_ERROR(TypeError);
// A position outside a sequence.
KESTREL_DECLARE_ERROR(IndexError);
// A division by a zero that a bump or a spot produced.
KESTREL_DECLARE_ERROR(ZeroDivisionError);

#undef KESTREL_DECLARE_ERROR

}  // namespace kestrel
