// Fuzzes the CSV price import: the bytes are parsed as a price file and
// imported under both adjust types into a memory store and an in-memory SQLite
// store, each already holding a few days of the same instrument. A
// kestrel::Error is an expected outcome and must leave both stores as they
// were; a crash, a sanitizer report, any other exception, or a store that does
// not then hold exactly the old rows overlaid with the parsed ones is a bug.
//
// The checks live in fuzz/csv_import_check.hpp so the unit tests replay saved
// inputs through the same code.
#include "csv_import_check.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrel::fuzz::check_csv_import(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
