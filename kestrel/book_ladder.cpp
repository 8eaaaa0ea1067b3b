#include <kestrel/book_ladder.hpp>

#include <heron/heron.hpp>
#include <kestrel/barrier.hpp>
#include <kestrel/calendar.hpp>
#include <kestrel/corridor.hpp>
#include <kestrel/tandem.hpp>

#include <kestrel/notes/extras.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/utils.hpp>

#include <charconv>
#include <exception>
#include <cmath>
#include <iomanip>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <system_error>
#include <thread>

namespace kestrel::book {
namespace {

using Json = nlohmann::ordered_json;

// The outputs' number and text forms.
constexpr auto exact = utils::format_exact_or_blank;

Json number_or_null(double x) { return std::isfinite(x) ? Json(x) : Json(nullptr); }

void check_shifts(const LadderOptions& ladder) {
    if (ladder.spot_shifts.empty()) throw ValueError("ladder: the list of spot shifts is empty");
    if (ladder.vol_shifts.empty()) throw ValueError("ladder: the list of vol shifts is empty");
    for (double s : ladder.spot_shifts)
        if (!std::isfinite(s) || s <= -1) throw ValueError("ladder: a spot shift must be above -100 %, not " + exact(s * 100) + " %");
    for (double v : ladder.vol_shifts)
        if (!std::isfinite(v)) throw ValueError("ladder: a vol shift is not finite");
}

// The value at spot, crossed or not.
double value_at(BaseOption& option, const Market& market, const EvalDate& date) {
    if (const auto crossed = value_if_crossed(option, market, date)) return *crossed;
    return option.npv(market, date);
}

// One contract at one point of a column: its npv, delta and gamma (gamma as
// spot x d2V/dS2, as on the book's rows), or failed.
struct Cell {
    bool ok = false;
    double npv = 0, delta = 0, gamma = 0;
};

// The contracts `indices` of underlying u, each at spot base_spot x (1 + s)
// for every s of `shifts` and at vol + dvol: cells[c][k] is contract
// indices[c] at shift k; with greeks, delta and gamma too. A snowball or
// phoenix is valued on one simulation for the whole column (spot_ladder: the
// same numbers as separate valuations); every other contract point by point.
std::vector<std::vector<Cell>> value_column(const std::vector<std::size_t>& indices, const Json& book,
                                            const BookMarket& market, const std::string& u, double base_spot,
                                            const std::vector<double>& shifts, double dvol, bool greeks,
                                            const BookOptions& options) {
    // The market of the base spot, its vol curve shifted by dvol; a market of
    // plain numbers goes through the plain-number entry points.
    const Market mk = market.market_of(u, base_spot, options.evaluation_date).with_vol_shift(dvol);
    const bool flat = mk.is_flat();
    const double r = flat ? mk.r.number() : 0, vol = flat ? mk.vol.number() : 0, q = flat ? mk.q.number() : 0;
    const EvalDate date = utils::DateInput(options.evaluation_date);
    std::vector<double> spots;
    for (double s : shifts) spots.push_back(base_spot * (1 + s));
    std::vector<std::vector<Cell>> cells(indices.size(), std::vector<Cell>(shifts.size()));
    for (std::size_t c = 0; c < indices.size(); ++c) {
        std::unique_ptr<BaseOption> option;
        std::optional<std::vector<detail::ValueDeltaGamma>> column;
        try {
            option = make_option(contract_terms(book[indices[c]], market, options));
            column = flat ? detail::note_spot_ladder(*option, spots, r, vol, q, date, greeks)
                          : detail::note_spot_ladder(*option, spots, mk, date, greeks);
        } catch (...) {
            continue;  // failed at every point of the column
        }
        for (std::size_t k = 0; k < spots.size(); ++k) {
            Cell& cell = cells[c][k];
            if (column) {
                // The notes' own gamma is d2V/dS2; the book shows spot x d2V/dS2.
                const auto& v = (*column)[k];
                cell = Cell{true, v.npv, v.delta, spot_gamma(v.gamma, spots[k])};
            } else {
                try {
                    const double s = spots[k], h = s * kSpotBump;
                    const bool crossing =
                        shifts[k] != 0 && (value_if_crossed(*option, mk.with_spot(s), date) ||
                                           (greeks && (value_if_crossed(*option, mk.with_spot(s + h), date) ||
                                                       value_if_crossed(*option, mk.with_spot(s - h), date))));
                    if (crossing && greeks) {
                        // spot_greeks' differences, each point valued crossed or not.
                        const double centre = value_at(*option, mk.with_spot(s), date);
                        const double up = value_at(*option, mk.with_spot(s + h), date);
                        const double down = value_at(*option, mk.with_spot(s - h), date);
                        cell = Cell{true, centre, (up - down) / (h * 2), s * (up + down - 2 * centre) / (h * h)};
                    } else if (crossing) {
                        cell = Cell{true, value_at(*option, mk.with_spot(s), date), 0, 0};
                    } else if (greeks) {
                        // Three valuations where greeks would take nine.
                        const OptionGreeks g = flat ? option->spot_greeks(spots[k], r, vol, q, date)
                                                    : option->spot_greeks(mk.with_spot(spots[k]), date);
                        cell = Cell{true, g.npv, g.delta, g.gamma};
                    } else {
                        cell = Cell{true,
                                    flat ? option->npv(spots[k], r, vol, q, date)
                                         : option->npv(mk.with_spot(spots[k]), date),
                                    0, 0};
                    }
                } catch (...) {
                    cell = Cell{};
                    continue;
                }
            }
            cell.ok = std::isfinite(cell.npv) && (!greeks || (std::isfinite(cell.delta) && std::isfinite(cell.gamma)));
        }
    }
    return cells;
}

// Sums of a column's cells at shift k, in book order.
LadderPoint sum_point(const std::vector<std::vector<Cell>>& cells, std::size_t k) {
    LadderPoint p;
    for (const auto& contract : cells) {
        const Cell& cell = contract[k];
        if (!cell.ok) {
            ++p.failed;
            continue;
        }
        p.npv += cell.npv;
        p.delta += cell.delta;
        p.gamma += cell.gamma;
    }
    return p;
}

}  // namespace

std::optional<double> value_if_crossed(BaseOption& option, const Market& market, const EvalDate& date) {
    const double spot = market.spot;
    if (auto* b = dynamic_cast<BarrierOption*>(&option)) {
        const auto t = b->barrier_type();
        const bool down = t == QuantLib::Barrier::DownIn || t == QuantLib::Barrier::DownOut;
        if (!(down ? spot < b->barrier() : spot > b->barrier())) return std::nullopt;
        if (t == QuantLib::Barrier::DownOut || t == QuantLib::Barrier::UpOut) return b->rebate();
        return b->vanilla().npv(market, date);
    }
    if (auto* t = dynamic_cast<DoubleTouchOption*>(&option)) {
        if (!(spot < t->touch_price_lo() || spot > t->touch_price_hi())) return std::nullopt;
        return 0.0;
    }
    if (auto* c = dynamic_cast<DoubleBarrierOption*>(&option)) {
        if (!(spot < c->barrier_lo() || spot > c->barrier_hi())) return std::nullopt;
        if (c->barrier_type() == QuantLib::DoubleBarrier::KnockOut) return c->rebate();
        if (c->barrier_type() == QuantLib::DoubleBarrier::KnockIn) return c->vanilla().npv(market, date);
    }
    return std::nullopt;
}

std::vector<double> parse_shift_list(const std::string& text, const std::string& what) {
    std::vector<double> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto b = item.find_first_not_of(" \t"), e = item.find_last_not_of(" \t");
        const std::string t = b == std::string::npos ? "" : item.substr(b, e - b + 1);
        double x = 0;
        const auto res = std::from_chars(t.data(), t.data() + t.size(), x);
        if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size() || !std::isfinite(x))
            throw ValueError(what + ": '" + item + "' is not a number (give a comma-separated list such as -10,0,10)");
        out.push_back(x / 100);
    }
    if (out.empty()) throw ValueError(what + ": the list is empty");
    return out;
}

namespace {

// Whether a contract is an autocallable note (false for one that cannot be
// built: it fails on the calling thread like any other).
bool is_note(const Json& contract, const BookMarket& market, const BookOptions& options) {
    try {
        return detail::as_note(*make_option(contract_terms(contract, market, options))) != nullptr;
    } catch (...) {
        return false;
    }
}

// One column of one underlying's ladders: the contracts at every spot shift,
// at a vol shift.
struct ColumnJob {
    std::size_t ladder = 0;  // the underlying's place in BookLadders::underlyings
    double dvol = 0;
    bool greeks = false;
    std::vector<std::vector<Cell>> cells;  // per contract of the underlying, in book order
};

}  // namespace

BookLadders ladder_book(const Json& book, const BookResult& base, const BookMarket& market, const BookOptions& options,
                        const LadderOptions& ladder) {
    check_shifts(ladder);
    if (!book.is_array() || book.size() != base.rows.size())
        throw ValueError("ladder: the book does not match its valued rows");
    const calendar::ScopedClosures closures(heron::official_closures());
    BookLadders out;
    out.spot_shifts = ladder.spot_shifts;
    // The columns to value, and each underlying's contracts.
    std::vector<std::vector<std::size_t>> contracts;
    std::vector<ColumnJob> jobs;
    for (const auto& total : base.totals) {
        if (!total.underlying) continue;
        const std::string& u = *total.underlying;
        std::vector<std::size_t> indices;
        UnderlyingLadder l;
        l.underlying = u;
        for (std::size_t i = 0; i < base.rows.size(); ++i) {
            const BookRow& row = base.rows[i];
            if (!row.ok() || row.underlying != u) continue;
            if (indices.empty()) l.base_spot = row.spot;
            indices.push_back(i);
            l.base_value += row.value.npv;
        }
        if (indices.empty()) continue;
        const UnderlyingMarket* m = market.find(u);
        if (!m) continue;  // cannot happen for a valued row
        // A vol curve shows its lowest vol; the matrix shifts the whole curve.
        l.base_vol = m->lowest_vol();
        l.contracts = indices.size();
        l.vol_shifts = ladder.vol_shifts;
        // The base-vol ladder carries the Greeks; the other vols only values.
        const std::size_t at = out.underlyings.size();
        jobs.push_back(ColumnJob{at, 0.0, true, {}});
        for (double v : ladder.vol_shifts)
            // A calibrated surface moves each quote's implied vol (one that
            // would go to zero keeps its price): every shift values.
            if (v != 0 && (m->surface || m->lowest_vol() + v > 0)) jobs.push_back(ColumnJob{at, v, false, {}});
        contracts.push_back(std::move(indices));
        out.underlyings.push_back(std::move(l));
    }

    // The contracts are independent: the notes' columns are valued on a
    // second thread (they take no QuantLib evaluation-date lock) while the
    // other products' run here, under the same holiday table. Each cell is
    // what the serial valuation gives, and the sums below add them in book
    // order, so the ladders are the same bit for bit.
    std::vector<std::vector<bool>> note(contracts.size());
    bool any_note = false, any_other = false;
    for (std::size_t u = 0; u < contracts.size(); ++u)
        for (std::size_t i : contracts[u]) {
            note[u].push_back(is_note(book[i], market, options));
            (note[u].back() ? any_note : any_other) = true;
        }
    auto run = [&](bool notes, std::vector<std::vector<std::vector<Cell>>>& cells) {
        for (const ColumnJob& job : jobs) {
            std::vector<std::size_t> mine;
            for (std::size_t c = 0; c < contracts[job.ladder].size(); ++c)
                if (note[job.ladder][c] == notes) mine.push_back(contracts[job.ladder][c]);
            const UnderlyingLadder& l = out.underlyings[job.ladder];
            cells.push_back(mine.empty() ? std::vector<std::vector<Cell>>{}
                                         : value_column(mine, book, market, l.underlying, l.base_spot,
                                                        ladder.spot_shifts, job.dvol, job.greeks, options));
        }
    };
    std::vector<std::vector<std::vector<Cell>>> note_cells, other_cells;
    if (any_note && any_other) {
        const calendar::Holidays holidays = calendar::holidays_in_force();
        std::exception_ptr failure;
        std::thread worker;
        try {
            worker = std::thread([&] {
                try {
                    const calendar::ScopedClosures in_force(holidays);
                    run(true, note_cells);
                } catch (...) {
                    failure = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            run(true, note_cells);  // no second thread: one after the other
        }
        try {
            run(false, other_cells);
        } catch (...) {
            if (worker.joinable()) worker.join();
            throw;
        }
        if (worker.joinable()) worker.join();
        if (failure) std::rethrow_exception(failure);
    } else {
        run(true, note_cells);
        run(false, other_cells);
    }
    // Each column's cells back in book order.
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        ColumnJob& job = jobs[j];
        const std::vector<bool>& is = note[job.ladder];
        std::size_t n = 0, o = 0;
        for (std::size_t c = 0; c < is.size(); ++c)
            job.cells.push_back(is[c] ? note_cells[j][n++] : other_cells[j][o++]);
    }

    std::size_t j = 0;
    for (std::size_t u = 0; u < out.underlyings.size(); ++u) {
        UnderlyingLadder& l = out.underlyings[u];
        const std::size_t n_contracts = contracts[u].size();
        const auto& base_cells = jobs[j++].cells;
        for (std::size_t k = 0; k < ladder.spot_shifts.size(); ++k) {
            LadderPoint p = sum_point(base_cells, k);
            p.shift = ladder.spot_shifts[k];
            p.spot = l.base_spot * (1 + p.shift);
            l.points.push_back(p);
        }
        const UnderlyingMarket* um = market.find(l.underlying);
        const double lowest = um->surface ? std::numeric_limits<double>::infinity() : um->lowest_vol();
        for (double v : ladder.vol_shifts) {
            std::vector<double> line;
            const std::vector<std::vector<Cell>>* cells = nullptr;
            if (v != 0 && lowest + v > 0) cells = &jobs[j++].cells;
            for (std::size_t k = 0; k < ladder.spot_shifts.size(); ++k) {
                LadderPoint p;
                if (v == 0)
                    p = l.points[k];
                else if (!cells)
                    p.failed = n_contracts;
                else
                    p = sum_point(*cells, k);
                line.push_back(p.failed ? std::numeric_limits<double>::quiet_NaN() : p.npv - l.base_value);
            }
            l.matrix.push_back(std::move(line));
        }
    }
    return out;
}

Json ladders_to_json(const BookLadders& ladders) {
    Json out = Json::array();
    for (const auto& l : ladders.underlyings) {
        Json j;
        j["underlying"] = l.underlying;
        j["base_spot"] = l.base_spot;
        j["base_vol"] = l.base_vol;
        j["base_value"] = l.base_value;
        j["contracts"] = l.contracts;
        Json points = Json::array();
        for (const auto& p : l.points) {
            Json q;
            q["spot_shift"] = p.shift;
            q["spot"] = p.spot;
            q["npv"] = p.npv;
            q["delta"] = p.delta;
            q["gamma"] = p.gamma;
            q["failed"] = p.failed;
            points.push_back(std::move(q));
        }
        j["spot_ladder"] = std::move(points);
        Json matrix;
        matrix["spot_shifts"] = ladders.spot_shifts;
        matrix["vol_shifts"] = l.vol_shifts;
        Json rows = Json::array();
        for (const auto& line : l.matrix) {
            Json r = Json::array();
            for (double x : line) r.push_back(number_or_null(x));
            rows.push_back(std::move(r));
        }
        matrix["change_of_value"] = std::move(rows);
        j["spot_vol_matrix"] = std::move(matrix);
        out.push_back(std::move(j));
    }
    return out;
}

void write_ladders_csv(std::ostream& out, const BookLadders& ladders) {
    out << "underlying,vol_shift,spot_shift,spot,npv,delta,gamma,change_of_value,failed\n";
    for (const auto& l : ladders.underlyings) {
        for (std::size_t v = 0; v < l.vol_shifts.size(); ++v) {
            for (std::size_t k = 0; k < l.points.size(); ++k) {
                const auto& p = l.points[k];
                const bool base_vol = l.vol_shifts[v] == 0;
                out << l.underlying << ',' << exact(l.vol_shifts[v]) << ',' << exact(p.shift) << ',' << exact(p.spot)
                    << ',' << (base_vol ? exact(p.npv) : "") << ',' << (base_vol ? exact(p.delta) : "") << ','
                    << (base_vol ? exact(p.gamma) : "") << ',' << exact(l.matrix[v][k]) << ','
                    << (base_vol ? std::to_string(p.failed) : "") << '\n';
            }
        }
    }
}

void write_ladders_table(std::ostream& out, const BookLadders& ladders) {
    const auto num = [](double x, int d) {
        if (!std::isfinite(x)) return std::string("failed");
        std::ostringstream s;
        s << std::fixed << std::setprecision(d) << x;
        return s.str();
    };
    for (const auto& l : ladders.underlyings) {
        out << "\nspot ladder: " << l.underlying << " (base spot " << num(l.base_spot, 4) << ", vol "
            << num(l.base_vol * 100, 2) << " %, " << l.contracts << (l.contracts == 1 ? " contract" : " contracts")
            << ", base value " << num(l.base_value, 4) << ")\n";
        out << std::setw(8) << "shift %" << std::setw(14) << "spot" << std::setw(16) << "value" << std::setw(16)
            << "delta" << std::setw(16) << "gamma" << std::setw(8) << "failed" << '\n';
        for (const auto& p : l.points) {
            out << std::setw(8) << num(p.shift * 100, 1) << std::setw(14) << num(p.spot, 4) << std::setw(16)
                << num(p.npv, 4) << std::setw(16) << num(p.delta, 4) << std::setw(16) << num(p.gamma, 4)
                << std::setw(8) << p.failed << '\n';
        }
        out << "change of value from base, vol shift (points) down, spot shift (%) across\n" << std::setw(8) << "";
        for (const auto& p : l.points) out << std::setw(14) << num(p.shift * 100, 1);
        out << '\n';
        for (std::size_t v = 0; v < l.vol_shifts.size(); ++v) {
            out << std::setw(8) << num(l.vol_shifts[v] * 100, 1);
            for (double x : l.matrix[v]) out << std::setw(14) << num(x, 4);
            out << '\n';
        }
    }
}

}  // namespace kestrel::book
