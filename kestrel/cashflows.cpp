#include <kestrel/cashflows.hpp>

#include <heron/heron.hpp>
#include <kestrel/asian.hpp>
#include <kestrel/barrier.hpp>
#include <kestrel/book.hpp>
#include <kestrel/corridor.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/kestrel.hpp>
#include <kestrel/phoenix.hpp>
#include <kestrel/snowball.hpp>
#include <kestrel/tandem.hpp>
#include <kestrel/utils.hpp>
#include <kestrel/vanilla.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>

namespace kestrel {
namespace {

using QuantLib::Date;
using Json = nlohmann::ordered_json;

// The daily rows of one underlying from the effect date to `end` (fields
// asked for, adjusted as `adjust`), or none.
struct History {
    std::string underlying;
    std::optional<heron::Frame> frame;

    bool empty() const { return !frame || frame->empty(); }
    Date last() const { return empty() ? Date() : frame->last_date(); }
    // Whether the history reaches d (a close on or after it exists).
    bool reaches(const Date& d) const { return !empty() && d <= frame->last_date(); }
    double at(const Date& d, const char* field = "close") const {
        if (!frame->contains(d))
            throw KeyError("no " + std::string(field) + " of " + underlying + " on " + utils::format_date(d) +
                           " in its price history");
        return frame->at(d, field);
    }
};

History history(const std::string& underlying, const Date& start, const Date& end, std::vector<std::string> fields,
                const std::string& adjust) {
    History h{underlying, std::nullopt};
    if (end < start) return h;
    const auto table = heron::get_price(underlying, start, end, fields, adjust, true);
    if (table && !table->empty()) h.frame = table->droplevel("order_book_id");
    return h;
}

std::string underlying_of(const BaseOption& option) {
    const Value& u = option.underlying();
    if (u.is_text()) return u.as_text("underlying");
    if (u.is_number()) return u.to_string();
    throw TypeError(std::string("underlying: expected an instrument id (text), got ") + u.kind());
}

void add(std::vector<CashFlow>& out, const Date& d, const char* kind, double amount, double level) {
    out.push_back(CashFlow{d, kind, amount, level});
}

double note_loss(const detail::NoteTerms& t, double final) {
    const double f = t.floor_price ? std::max(final, *t.floor_price) : final;
    return std::min(f - t.strike, 0.0);
}

// The first knock-in date up to `until` (exclusive when strict) with a close
// below the barrier.
std::optional<Date> first_knock_in(const detail::NoteTerms& t, const History& h, const Date& until) {
    for (const Date& d : t.ki_obs_dates) {
        if (d > until || !h.reaches(d)) break;
        if (h.at(d) < t.ki_barrier) return d;
    }
    return std::nullopt;
}

std::vector<CashFlow> snowball_flows(SnowBallOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const auto& t = o.terms();
    const Date end = std::min(to, o.maturity_date());
    const History h = history(underlying_of(o), o.effect_date(), end, {"close"}, "pre");
    if (h.empty()) return out;
    for (std::size_t i = 0; i < t.ko_obs_dates.size(); ++i) {
        const Date& d = t.ko_obs_dates[i];
        if (!h.reaches(d)) break;
        const double close = h.at(d);
        if (close > t.ko_barriers[i]) {
            if (const auto ki = first_knock_in(t, h, d - 1)) add(out, *ki, "knock_in", 0.0, h.at(*ki));
            add(out, d, "knock_out", o.coupon()[i], close);
            return out;
        }
    }
    const auto ki = first_knock_in(t, h, o.maturity_date());
    if (ki) add(out, *ki, "knock_in", 0.0, h.at(*ki));
    const Date& m = o.maturity_date();
    if (!h.reaches(m)) return out;
    const double final = h.at(m);
    if (ki) {
        add(out, m, "maturity", note_loss(t, final), final);
    } else if (!o.coupon().empty()) {
        add(out, m, "maturity", o.legs().maturity_coupon.value_or(o.coupon().back()), final);
    } else {
        add(out, m, "maturity", 0.0, final);
    }
    return out;
}

std::vector<CashFlow> phoenix_flows(PhoenixOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const auto& t = o.terms();
    const Date end = std::min(to, o.maturity_date());
    const History h = history(underlying_of(o), o.effect_date(), end, {"close"}, "pre");
    if (h.empty()) return out;
    double owed = 0.0;
    std::optional<Date> ended;
    // Knock-in events come before the date they happen on ends anything.
    const auto ki = first_knock_in(t, h, o.maturity_date());
    bool ki_shown = false;
    for (std::size_t i = 0; i < t.ko_obs_dates.size(); ++i) {
        const Date& d = t.ko_obs_dates[i];
        if (!h.reaches(d)) break;
        if (ki && !ki_shown && *ki <= d) {
            add(out, *ki, "knock_in", 0.0, h.at(*ki));
            ki_shown = true;
        }
        const double close = h.at(d);
        double paid = 0.0;
        if (close >= t.coupon_barriers[i]) {
            paid = o.coupon()[i] + (t.memory ? owed : 0.0);
            owed = 0.0;
        } else if (t.memory) {
            owed += o.coupon()[i];
        }
        if (close > t.ko_barriers[i]) {
            add(out, d, "knock_out", paid, close);
            ended = d;
            break;
        }
        if (close >= t.coupon_barriers[i]) add(out, d, "coupon", paid, close);
    }
    if (ended) return out;
    if (ki && !ki_shown) add(out, *ki, "knock_in", 0.0, h.at(*ki));
    const Date& m = o.maturity_date();
    if (!h.reaches(m)) return out;
    const double final = h.at(m);
    add(out, m, "maturity", ki ? note_loss(t, final) : 0.0, final);
    return out;
}

// The first day from the effect date to `end` whose close (or high / low)
// crosses out of [lo, hi] strictly.
std::optional<std::pair<Date, double>> first_cross(const History& h, double lo, double hi, bool high_low) {
    if (h.empty()) return std::nullopt;
    const auto& days = h.frame->index();
    for (std::size_t k = 0; k < days.size(); ++k) {
        const double up = high_low ? h.frame->column("high")[k] : h.frame->column("close")[k];
        const double down = high_low ? h.frame->column("low")[k] : up;
        if (up > hi) return std::make_pair(days[k], up);
        if (down < lo) return std::make_pair(days[k], down);
    }
    return std::nullopt;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<CashFlow> barrier_flows(BarrierOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const Date& m = o.maturity_date();
    const History h = history(underlying_of(o), o.effect_date(), std::min(to, m), {"close"}, "pre");
    const auto type = o.barrier_type();
    const bool down = type == QuantLib::Barrier::DownIn || type == QuantLib::Barrier::DownOut;
    const bool knock_out = type == QuantLib::Barrier::DownOut || type == QuantLib::Barrier::UpOut;
    const auto cross = down ? first_cross(h, o.barrier(), kInf, false) : first_cross(h, -kInf, o.barrier(), false);
    if (cross) add(out, cross->first, knock_out ? "knock_out" : "knock_in", knock_out ? o.rebate() : 0.0, cross->second);
    if (cross && knock_out) return out;
    if (!h.reaches(m)) return out;
    const double final = h.at(m);
    if (!knock_out && !cross)
        add(out, m, "maturity", o.rebate(), final);
    else
        add(out, m, "maturity", cross ? (*o.vanilla().payoff())(final) : (*o.payoff())(final), final);
    return out;
}

std::vector<CashFlow> corridor_flows(DoubleBarrierOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const Date& m = o.maturity_date();
    const History h = history(underlying_of(o), o.effect_date(), std::min(to, m), {"close"}, "none");
    const auto type = o.barrier_type();
    if (type != QuantLib::DoubleBarrier::KnockIn && type != QuantLib::DoubleBarrier::KnockOut) {
        if (h.empty()) return out;
        throw NotImplementedError("KIKO and KOKI not implemented yet");
    }
    const bool knock_out = type == QuantLib::DoubleBarrier::KnockOut;
    const auto cross = first_cross(h, o.barrier_lo(), o.barrier_hi(), false);
    if (cross) add(out, cross->first, knock_out ? "knock_out" : "knock_in", knock_out ? o.rebate() : 0.0, cross->second);
    if (cross && knock_out) return out;
    if (!h.reaches(m)) return out;
    const double final = h.at(m);
    if (!knock_out && !cross)
        add(out, m, "maturity", o.rebate(), final);
    else
        add(out, m, "maturity", cross ? (*o.vanilla().payoff())(final) : (*o.payoff())(final), final);
    return out;
}

std::vector<CashFlow> tandem_flows(DoubleTouchOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const Date& m = o.maturity_date();
    const History h = history(underlying_of(o), o.effect_date(), std::min(to, m), {"close", "low", "high"}, "pre");
    const std::string& kind = o.touch_type();
    if (kind != "double_one_touch" && kind != "double_no_touch") {
        if (h.empty()) return out;
        throw NotImplementedError("cash flows of a " + kind + " double-touch option");
    }
    const bool one_touch = kind == "double_one_touch";
    const auto touch = first_cross(h, o.touch_price_lo(), o.touch_price_hi(), true);
    if (touch) {
        add(out, touch->first, one_touch ? "touch" : "knock_out", one_touch ? o.digital_payoff() : 0.0, touch->second);
        return out;
    }
    if (!h.reaches(m)) return out;
    add(out, m, "maturity", one_touch ? 0.0 : o.digital_payoff(), h.at(m));
    return out;
}

std::vector<CashFlow> vanilla_flows(VanillaOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const Date& m = o.maturity_date();
    if (to < m) return out;
    const History h = history(underlying_of(o), m, m, {"close"}, "pre");
    if (!h.reaches(m)) return out;
    const double final = h.at(m);
    add(out, m, "maturity", (*o.payoff())(final), final);
    return out;
}

std::vector<CashFlow> asian_flows(AsianOption& o, const Date& to) {
    std::vector<CashFlow> out;
    const Date& m = o.maturity_date();
    if (to < m) return out;
    const History h = history(underlying_of(o), o.effect_date(), m, {"close"}, "pre");
    if (!h.reaches(m)) return out;
    (void)h.at(m);  // the last fixing must be there
    const auto& closes = h.frame->column("close");
    double average = 0.0;
    if (o.average_type() == QuantLib::Average::Geometric) {
        for (double c : closes) average += std::log(c);
        average = std::exp(average / static_cast<double>(closes.size()));
    } else {
        for (double c : closes) average += c;
        average /= static_cast<double>(closes.size());
    }
    add(out, m, "maturity", (*o.payoff())(average), average);
    return out;
}

// The outputs' number and text forms.
constexpr auto exact = utils::format_exact_or_blank;
using utils::csv_field;

std::string text_or(const std::optional<std::string>& s, const char* fallback = "") { return s ? *s : fallback; }

std::string label(const ContractCashflows& c) {
    return c.id ? *c.id : "(contract " + std::to_string(c.position) + ")";
}

}  // namespace

std::vector<CashFlow> cashflows(BaseOption& option, const Date& from, const Date& to) {
    if (to < from)
        throw ValueError("cash flows: the end " + utils::format_date(to) + " is before the start " +
                         utils::format_date(from));
    std::vector<CashFlow> all;
    // Derived classes first: a DoubleTouchOption is no DoubleBarrierOption, but
    // keep the most specific test first all the same.
    if (auto* s = dynamic_cast<SnowBallOption*>(&option))
        all = snowball_flows(*s, to);
    else if (auto* p = dynamic_cast<PhoenixOption*>(&option))
        all = phoenix_flows(*p, to);
    else if (auto* t = dynamic_cast<DoubleTouchOption*>(&option))
        all = tandem_flows(*t, to);
    else if (auto* c = dynamic_cast<DoubleBarrierOption*>(&option))
        all = corridor_flows(*c, to);
    else if (auto* b = dynamic_cast<BarrierOption*>(&option))
        all = barrier_flows(*b, to);
    else if (auto* a = dynamic_cast<AsianOption*>(&option))
        all = asian_flows(*a, to);
    else if (auto* v = dynamic_cast<VanillaOption*>(&option))
        all = vanilla_flows(*v, to);
    else
        throw TypeError("cash flows: no rules for this product");
    std::vector<CashFlow> out;
    for (auto& f : all)
        if (f.date > from && f.date <= to) out.push_back(std::move(f));
    return out;
}

double ContractCashflows::total() const noexcept {
    double sum = 0.0;
    for (const auto& f : flows) sum += f.amount;
    return sum;
}

std::size_t BookCashflows::failed() const noexcept {
    return static_cast<std::size_t>(
        std::count_if(contracts.begin(), contracts.end(), [](const auto& c) { return c.error_kind.has_value(); }));
}

BookCashflows book_cashflows(const Json& book, const Date& from, const Date& to) {
    if (to < from)
        throw ValueError("cash flows: --to " + utils::format_date(to) + " is before --from " + utils::format_date(from));
    if (!book.is_array()) throw TypeError("a book is a JSON array of contracts, not " + std::string(book.type_name()));
    BookCashflows out{from, to, {}};
    const auto rows = book::book_rows(book);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ContractCashflows c;
        c.position = rows[i].position;
        c.id = rows[i].id;
        c.type = rows[i].type;
        c.underlying = rows[i].underlying;
        if (rows[i].error) {
            c.error_kind = rows[i].error->kind;
            c.error_message = rows[i].error->message;
        } else {
            try {
                const auto option = make_option(Terms::from_json(book[i]));
                c.flows = cashflows(*option, from, to);
            } catch (...) {
                const auto e = book::describe_error(std::current_exception());
                c.error_kind = e.kind;
                c.error_message = e.message;
            }
        }
        out.contracts.push_back(std::move(c));
    }
    return out;
}

Json cashflows_to_json(const BookCashflows& flows) {
    Json j;
    j["from"] = utils::format_date(flows.from);
    j["to"] = utils::format_date(flows.to);
    Json contracts = Json::array();
    for (const auto& c : flows.contracts) {
        Json r;
        r["id"] = c.id ? Json(*c.id) : Json(nullptr);
        r["type"] = c.type ? Json(*c.type) : Json(nullptr);
        r["underlying"] = c.underlying ? Json(*c.underlying) : Json(nullptr);
        r["total"] = c.total();
        Json list = Json::array();
        for (const auto& f : c.flows) {
            Json x;
            x["date"] = utils::format_date(f.date);
            x["kind"] = f.kind;
            x["amount"] = f.amount;
            x["level"] = f.level;
            list.push_back(std::move(x));
        }
        r["flows"] = std::move(list);
        if (c.error_kind) {
            Json e;
            e["kind"] = *c.error_kind;
            e["message"] = text_or(c.error_message);
            r["error"] = std::move(e);
        } else {
            r["error"] = nullptr;
        }
        contracts.push_back(std::move(r));
    }
    j["contracts"] = std::move(contracts);
    return j;
}

void write_cashflows_csv(std::ostream& out, const BookCashflows& flows) {
    out << "id,type,underlying,date,kind,amount,level,error_kind,error_message\n";
    for (const auto& c : flows.contracts) {
        const std::string head =
            csv_field(label(c)) + ',' + csv_field(text_or(c.type)) + ',' + csv_field(text_or(c.underlying)) + ',';
        if (c.error_kind) {
            out << head << ",,,," << csv_field(*c.error_kind) << ',' << csv_field(text_or(c.error_message)) << '\n';
            continue;
        }
        for (const auto& f : c.flows)
            out << head << utils::format_date(f.date) << ',' << f.kind << ',' << exact(f.amount) << ','
                << exact(f.level) << ",,\n";
    }
}

void write_cashflows_table(std::ostream& out, const BookCashflows& flows) {
    out << "cash flows after " << utils::format_date(flows.from) << " up to " << utils::format_date(flows.to) << '\n';
    std::size_t w = 8;
    for (const auto& c : flows.contracts) w = std::max(w, label(c).size());
    out << std::left << std::setw(static_cast<int>(w)) << "id" << "  " << std::setw(10) << "date" << "  "
        << std::setw(10) << "kind" << std::right << std::setw(16) << "amount" << std::setw(16) << "level" << '\n';
    const auto num = [](double x) {
        std::ostringstream s;
        s << std::fixed << std::setprecision(4) << x;
        return s.str();
    };
    double total = 0.0;
    for (const auto& c : flows.contracts) {
        out << std::left << std::setw(static_cast<int>(w)) << label(c) << "  ";
        if (c.error_kind) {
            out << "error: " << *c.error_kind << ": " << text_or(c.error_message) << '\n';
            continue;
        }
        if (c.flows.empty()) {
            out << "(none)\n";
            continue;
        }
        bool first = true;
        for (const auto& f : c.flows) {
            if (!first) out << std::left << std::setw(static_cast<int>(w)) << "" << "  ";
            first = false;
            out << std::left << std::setw(10) << utils::format_date(f.date) << "  " << std::setw(10) << f.kind
                << std::right << std::setw(16) << num(f.amount) << std::setw(16) << num(f.level) << '\n';
            total += f.amount;
        }
    }
    out << std::right << "total " << num(total) << " from " << flows.contracts.size()
        << (flows.contracts.size() == 1 ? " contract" : " contracts");
    if (const std::size_t failed = flows.failed()) out << ", " << failed << " failed";
    out << '\n';
}

}  // namespace kestrel
