#pragma once
// Daily price files and directories of them.
//
// A price file is CSV text with a header line naming the columns: date, open,
// high, low, close and optionally volume (any order), then one row per trading
// day: `2024-01-02,3431.1,3445.2,3390.7,3386.35,1.2e10`. Dates are YYYY-MM-DD.
// Blank lines are skipped; a UTF-8 byte-order mark and CRLF line ends are
// accepted; an empty volume field means "no volume that day".
//
// In a price directory the file name says what a file holds:
//   <instrument>.<adjust>.csv   adjust "pre" (adjusted) or "none" (as traded)
//   <instrument>.csv            prices that serve both adjust types (an index)
// Instrument ids contain dots ("000300.XSHG"), so only a last name part of
// exactly "pre" or "none" is read as the adjust type.
#include <kestrel/export.hpp>
#include <heron/heron.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace heron {

class MemoryStore;

// The rows of one price file, each with the line it came from.
struct HERON_EXPORT CsvRows {
    std::string source;              // the name errors quote
    std::vector<Bar> bars;           // in file order
    std::vector<std::size_t> lines;  // 1-based line of each bar
};

// Parses price-file text. Every problem (a bad header, a row with the wrong
// number of fields, an unparseable number or date, then everything
// validate_bars checks) is a ValueError "<source>:<line>: <reason>".
HERON_EXPORT CsvRows parse_csv(std::string_view text, const std::string& source);

// Reads and parses a file; the source in errors is the path as given. A file
// that cannot be read is a ValueError naming it.
HERON_EXPORT CsvRows read_csv(const std::string& path);

// "pre" and "none" for "both"; the type itself for "pre" or "none"; anything
// else is a ValueError naming it.
HERON_EXPORT std::vector<std::string> expand_adjust(const std::string& adjust);

// What a file name says; absent for a name that is not "*.csv" or has an
// empty instrument part.
struct HERON_EXPORT PriceFileName {
    std::string instrument;
    std::vector<std::string> adjusts;  // {"pre"}, {"none"} or {"pre", "none"}
};
HERON_EXPORT std::optional<PriceFileName> parse_price_file_name(std::string_view file_name);

struct HERON_EXPORT PriceFile {
    std::string path;
    std::string instrument;
    std::vector<std::string> adjusts;
};

// The price files of a directory, ordered by file name; other files are
// ignored. ValueError when the directory cannot be read, holds no price file,
// or two files claim the same instrument and adjust type.
HERON_EXPORT std::vector<PriceFile> list_price_files(const std::string& dir);

// Loads every price file of a directory into a memory store. All files are
// read and checked first: a bad one leaves the store as it was. Returns the
// number of rows stored (a both-types file counts once per type).
HERON_EXPORT std::size_t load_directory(MemoryStore& store, const std::string& dir);

}  // namespace heron
