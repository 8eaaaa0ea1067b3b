#pragma once
// Risk ladders of a valued book: per underlying, every contract on it valued
// at spot x (1 + s) for a list of spot shifts, with value, delta and gamma
// summed at each point, and a spot x vol matrix of the change of value from
// the base.
#include <kestrel/export.hpp>
#include <kestrel/book.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::book {

struct KESTREL_BOOK_EXPORT LadderOptions {
    // Relative spot shifts (-0.1: spot x 0.9), each above -1.
    std::vector<double> spot_shifts{-0.30, -0.20, -0.10, -0.05, 0.0, 0.05, 0.10, 0.20, 0.30};
    // Absolute vol shifts (0.05: five vol points).
    std::vector<double> vol_shifts{-0.05, 0.0, 0.05};
};

struct KESTREL_BOOK_EXPORT LadderPoint {
    double shift = 0, spot = 0;
    double npv = 0, delta = 0, gamma = 0;  // sums over the contracts valued at this point
    std::size_t failed = 0;                // contracts that failed at this point (left out of the sums)
};

struct KESTREL_BOOK_EXPORT UnderlyingLadder {
    std::string underlying;
    double base_spot = 0, base_vol = 0;
    double base_value = 0;             // sum of the base rows' npv
    std::size_t contracts = 0;         // the base rows valued without error
    std::vector<LadderPoint> points;   // one per spot shift, at the base vol
    std::vector<double> vol_shifts;
    // matrix[v][s]: value at vol shift v and spot shift s minus base_value;
    // NaN where a contract failed at that point.
    std::vector<std::vector<double>> matrix;
};

struct KESTREL_BOOK_EXPORT BookLadders {
    std::vector<double> spot_shifts;
    std::vector<UnderlyingLadder> underlyings;  // in order of first use; only those with a valued contract
};

// Ladders of `base` (value_book of `book` with `market` and `options`). A
// contract whose base row failed keeps its error there and is left out of
// the ladders; the others' ladders still come out. Bad shifts are a
// ValueError.
KESTREL_BOOK_EXPORT BookLadders ladder_book(const nlohmann::ordered_json& book, const BookResult& base, const BookMarket& market,
                        const BookOptions& options, const LadderOptions& ladder = {});

// A barrier contract (barrier, corridor, tandem) at a spot beyond its
// barrier, valued as its history check values it once a close has crossed
// there: a knock-out its rebate, a knock-in its inner vanilla at that spot, a
// double-touch option nothing. None for other contracts and for a spot that
// crosses nothing. The ladders value their shifted spots (and the bumps
// around them) through it; a contract's own npv at such a spot still fails.
KESTREL_BOOK_EXPORT std::optional<double> value_if_crossed(BaseOption& option, const Market& market, const EvalDate& date);

// "-30,-20,5" (percent, or vol points) into fractions; ValueError naming
// `what` on anything that is not a comma-separated list of numbers.
KESTREL_BOOK_EXPORT std::vector<double> parse_shift_list(const std::string& text, const std::string& what);

KESTREL_BOOK_EXPORT nlohmann::ordered_json ladders_to_json(const BookLadders& ladders);
KESTREL_BOOK_EXPORT void write_ladders_table(std::ostream& out, const BookLadders& ladders);
KESTREL_BOOK_EXPORT void write_ladders_csv(std::ostream& out, const BookLadders& ladders);

}  // namespace kestrel::book
