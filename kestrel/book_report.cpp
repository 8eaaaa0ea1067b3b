#include <kestrel/book_report.hpp>

#include <kestrel/errors.hpp>
#include <kestrel/market/calibrated_surface.hpp>
#include <kestrel/utils.hpp>

#include <xlsxwriter.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <vector>

// Why the charts are SVG written here rather than a charting library: the page
// must open with no network and print well. A JavaScript library would have to
// be embedded whole (hundreds of kilobytes) and would draw only once a script
// ran: a console that can fail, and a print that depends on the browser's
// timing. SVG from the figures themselves is a few kilobytes per chart, is
// there the moment the page is parsed, scales to the A4 width as vectors and
// keeps its colours on paper. The charts needed here (lines over a few spot
// shifts, a small heat map) are simple enough to draw directly.

namespace kestrel::book {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Okabe-Ito: told apart with the common colour-vision deficiencies.
constexpr std::array<const char*, 8> kSeriesColours{"#0072B2", "#E69F00", "#009E73", "#CC79A7",
                                                     "#56B4E9", "#D55E00", "#332288", "#000000"};
constexpr std::array<const char*, 4> kSeriesDashes{"", "6 3", "2 3", "8 3 2 3"};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string printf_text(const char* format, double x, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, decimals, x);
    std::string text = buffer;
    // "-0.00" reads as a loss where there is none.
    if (text[0] == '-' && text.find_first_not_of("-0.%") == std::string::npos) text.erase(0, 1);
    return text;
}

// About `significant` significant digits, never in exponent form: 1234.5 ->
// "1235", 12.345 -> "12.35", 0.0012345 -> "0.001235".
std::string num(double x, int significant = 5) {
    if (!std::isfinite(x)) return "n/a";
    if (x == 0) return "0";
    const int magnitude = static_cast<int>(std::floor(std::log10(std::fabs(x))));
    const int decimals = std::clamp(significant - 1 - magnitude, 0, 8);
    return printf_text("%.*f", x, decimals);
}

std::string percent(double fraction, int decimals = 1) { return printf_text("%.*f%%", 100 * fraction, decimals); }

// A shift as people write it: "-30%", "+5%", "0%" (spot); "-5 pts" (vol).
std::string spot_shift_text(double shift) {
    const std::string text = printf_text("%.*f%%", 100 * shift, std::fabs(100 * shift - std::round(100 * shift)) < 1e-9 ? 0 : 1);
    return shift > 0 ? "+" + text : text;
}
std::string vol_shift_text(double shift) {
    const double points = 100 * shift;
    std::string text = printf_text("%.*f", points, std::fabs(points - std::round(points)) < 1e-9 ? 0 : 1);
    return (shift > 0 ? "+" + text : text) + " pts";
}

// Coordinates in the SVG, one decimal.
std::string coord(double x) { return printf_text("%.*f", x, 1); }

// Tick values covering [lo, hi] at 1, 2 or 5 x 10^k, about `count` of them.
std::vector<double> nice_ticks(double lo, double hi, int count) {
    const double span = hi - lo;
    const double raw = span / std::max(1, count);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        step = m * power;
        if (step >= raw) break;
    }
    std::vector<double> ticks;
    const double first = std::ceil(lo / step - 1e-9);
    for (int k = 0; k < 50; ++k) {
        const double t = (first + k) * step;
        if (t > hi + step * 1e-9) break;
        ticks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    }
    return ticks;
}

// Labels for a set of ticks, with as many decimals as their step needs.
std::string tick_text(double value, const std::vector<double>& ticks) {
    const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : std::fabs(value);
    int decimals = step > 0 ? std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 8) : 0;
    // 2.5, 0.25, ...: one digit more than the step's magnitude.
    while (decimals < 8 && step > 0) {
        const double scaled = step * std::pow(10.0, decimals);
        if (std::fabs(scaled - std::round(scaled)) < 1e-6 * scaled) break;
        ++decimals;
    }
    if (step >= 1e4) return num(value, 3);
    return printf_text("%.*f", value, decimals);
}

// The spot each underlying was valued at, and where it came from: from its
// first valued row.
struct SpotSeen {
    double spot = kNaN;
    std::optional<SpotSource> source;
};
SpotSeen spot_of(const BookResult& result, const std::string& underlying) {
    for (const auto& row : result.rows)
        if (row.ok() && row.underlying == underlying) return {row.spot, row.spot_source};
    return {};
}

// --- HTML -------------------------------------------------------------------

constexpr const char* kStyle = R"(
@page { size: A4; margin: 12mm 11mm 14mm; }
* { box-sizing: border-box; -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { font: 10pt/1.4 "DejaVu Sans", "Noto Sans", Helvetica, Arial, sans-serif; color: #1f2328;
       max-width: 190mm; margin: 0 auto; padding: 10px 12px 24px; background: #fff; }
h1 { font-size: 17pt; margin: 0 0 2px; }
h2 { font-size: 12.5pt; margin: 20px 0 6px; padding-bottom: 3px; border-bottom: 2px solid #d0d7de; }
h3 { font-size: 10.5pt; margin: 12px 0 4px; }
p { margin: 4px 0; }
.sub { color: #57606a; font-size: 9pt; }
section, .block { break-inside: avoid; page-break-inside: avoid; }
.cards { display: flex; flex-wrap: wrap; gap: 8px; margin: 10px 0 4px; }
.card { flex: 1 1 0; min-width: 30mm; border: 1px solid #d0d7de; border-radius: 6px; padding: 6px 10px; }
.card .k { font-size: 8pt; color: #57606a; text-transform: uppercase; letter-spacing: .04em; }
.card .v { font-size: 12.5pt; white-space: nowrap; font-weight: 600; font-variant-numeric: tabular-nums; }
.card.bad { border-color: #cf222e; background: #fff5f5; }
.card.bad .v { color: #cf222e; }
table { border-collapse: collapse; width: 100%; font-size: 8.5pt; font-variant-numeric: tabular-nums; }
th, td { padding: 2px 5px; border-bottom: 1px solid #e6e8eb; text-align: left; vertical-align: top; }
th { background: #f3f5f7; font-weight: 600; border-bottom: 1px solid #c9d1d9; }
td.n, th.n { text-align: right; white-space: nowrap; }
td.id { white-space: nowrap; }
table.positions { font-size: 8pt; }
table.positions th, table.positions td { padding: 2px 4px; }
tr.total td { font-weight: 600; background: #fafbfc; }
tr.fail td { color: #a40e26; background: #fff5f5; }
thead { display: table-header-group; }
tr { break-inside: avoid; page-break-inside: avoid; }
.failures { border-left: 4px solid #cf222e; background: #fff5f5; padding: 6px 10px; }
.allgood { border-left: 4px solid #1a7f37; background: #f0fff4; padding: 6px 10px; }
.bar { display: inline-block; height: 8px; background: #0072B2; vertical-align: middle; margin-right: 4px; }
.bar.ki { background: #D55E00; }
.pct { display: inline-block; min-width: 3.6em; text-align: right; }
svg { display: block; width: 100%; height: auto; margin: 4px 0 8px; }
svg text { font-family: "DejaVu Sans", "Noto Sans", Helvetica, Arial, sans-serif; }
.note { font-size: 8.5pt; color: #57606a; }
@media print {
  body { max-width: none; padding: 0; }
  h2 { break-after: avoid; page-break-after: avoid; }
}
)";

void write_row_cells(std::ostream& out, const OptionGreeks& value, std::size_t fields) {
    for (std::size_t i = 0; i < fields; ++i) out << "<td class=\"n\">" << num(value[i]) << "</td>";
}

// A rate or vol as the report shows it: a number as a percentage, a curve
// as its points ("curve: 1M 1.75%, 1Y 2.10%").
template <class Curve>
std::string curve_text(const Curve& c, int decimals) {
    if (c.is_number()) return percent(c.number(), decimals);
    std::string out = "curve:";
    const char* separator = " ";
    for (const auto& p : c.points()) {
        out += separator;
        out += p.pillar.to_string();
        out += ' ';
        out += percent(p.value, decimals);
        separator = ", ";
    }
    return out;
}

// A calibrated surface's inputs in a word.
std::string surface_text(const UnderlyingMarket& m) {
    if (m.surface->grid)
        return "surface: " + std::to_string(m.surface->expiries.size()) + " expiries x " +
               std::to_string(m.surface->strikes.size()) + " strikes, local volatility";
    return "local: " + std::to_string(m.surface->entry.quotes.size()) + " quotes, forwards " +
           vol::to_string(m.surface->entry.settings.forwards);
}

std::string carry_text(const UnderlyingMarket& m) {
    if (m.forwards.empty()) return curve_text(m.q, 2);
    std::string out = "from forwards:";
    const char* separator = " ";
    for (const auto& [d, f] : m.forwards) {
        out += separator;
        out += utils::format_date(d);
        out += ' ';
        out += num(f, 6);
        separator = ", ";
    }
    return out;
}

void write_header(std::ostream& out, const BookResult& result, const BookLadders& ladders, const BookMarket& market) {
    const std::string day = utils::format_date(result.evaluation_date);
    const BookTotal* book_total = result.totals.empty() ? nullptr : &result.totals.back();
    const std::size_t failed = result.failed();
    out << "<header class=\"block\"><h1>Book report</h1>\n<p class=\"sub\">Valued as of <strong>" << day
        << "</strong>. Values are per one unit of the underlying: notional is not applied.</p>\n";
    out << "<div class=\"cards\">"
        << "<div class=\"card\"><div class=\"k\">Valuation date</div><div class=\"v\">" << day << "</div></div>"
        << "<div class=\"card\"><div class=\"k\">Book value</div><div class=\"v\">"
        << (book_total ? num(book_total->sum.npv) : "n/a") << "</div></div>"
        << "<div class=\"card\"><div class=\"k\">Contracts valued</div><div class=\"v\">"
        << result.rows.size() - failed << " of " << result.rows.size() << "</div></div>"
        << "<div class=\"card" << (failed ? " bad" : "") << "\"><div class=\"k\">Failed</div><div class=\"v\">"
        << failed << "</div></div>"
        << "<div class=\"card\"><div class=\"k\">Underlyings laddered</div><div class=\"v\">"
        << ladders.underlyings.size() << "</div></div></div>\n</header>\n";

    out << "<section id=\"market\"><h2>Market inputs</h2>\n<p>Risk-free rate r = <strong>";
    if (market.r.is_number())
        out << percent(market.r.number(), 3) << "</strong> (" << num(market.r.number(), 6) << ").</p>\n";
    else
        out << html_escape(curve_text(market.r, 3)) << "</strong> (zero rates, continuously compounded).</p>\n";
    out
        << "<table><thead><tr><th>Underlying</th><th class=\"n\">Spot</th><th>Spot from</th>"
           "<th class=\"n\">Vol</th><th class=\"n\">Dividend yield q</th></tr></thead><tbody>\n";
    for (const auto& [underlying, inputs] : market.underlyings) {
        const SpotSeen seen = spot_of(result, underlying);
        const bool missing = std::find(result.missing_spots.begin(), result.missing_spots.end(), underlying) !=
                             result.missing_spots.end();
        std::string spot, source;
        if (seen.source) {
            spot = num(seen.spot, 6);
            source = *seen.source == SpotSource::Store ? "store: adjusted close on " + day : "market file";
        } else if (inputs.spot) {
            spot = num(*inputs.spot, 6);
            source = "market file (no contract valued on it)";
        } else {
            spot = "n/a";
            source = missing ? "store has no close on " + day : "store (no contract valued on it)";
        }
        out << "<tr><td>" << html_escape(underlying) << "</td><td class=\"n\">" << spot << "</td><td>"
            << html_escape(source) << "</td><td class=\"n\">" << html_escape(inputs.surface ? surface_text(inputs) : curve_text(inputs.vol, 2))
            << "</td><td class=\"n\">" << html_escape(carry_text(inputs)) << "</td></tr>\n";
    }
    out << "</tbody></table></section>\n";
}

void write_failures(std::ostream& out, const BookResult& result) {
    out << "<section id=\"failed\"><h2>Failed contracts</h2>\n";
    const std::size_t failed = result.failed();
    if (failed == 0) {
        out << "<p class=\"allgood\">None: every contract was valued.</p></section>\n";
        return;
    }
    out << "<div class=\"failures\"><p><strong>" << failed << " of " << result.rows.size()
        << (result.rows.size() == 1 ? " contract" : " contracts")
        << " failed</strong> and are left out of every total, ladder and matrix below.</p>\n"
        << "<table><thead><tr><th class=\"n\">#</th><th>Contract</th><th>Type</th><th>Error</th>"
           "<th>Message</th></tr></thead><tbody>\n";
    for (const auto& row : result.rows) {
        if (row.ok()) continue;
        out << "<tr class=\"fail\"><td class=\"n\">" << row.position << "</td><td>" << html_escape(row.label())
            << "</td><td>" << html_escape(row.type.value_or("")) << "</td><td>" << html_escape(row.error->kind)
            << "</td><td>" << html_escape(row.error->message) << "</td></tr>\n";
    }
    out << "</tbody></table>";
    if (!result.missing_spots.empty()) {
        out << "<p>No close in the store on " << utils::format_date(result.evaluation_date) << " for: ";
        for (std::size_t i = 0; i < result.missing_spots.size(); ++i)
            out << (i ? ", " : "") << html_escape(result.missing_spots[i]);
        out << ". Give a date with closes, or a \"spot\" in the market file.</p>";
    }
    out << "</div></section>\n";
}

void write_positions(std::ostream& out, const BookResult& result) {
    const std::size_t fields = result.greeks ? OptionGreeks::size() : 1;
    const bool notes = std::any_of(result.rows.begin(), result.rows.end(),
                                   [](const BookRow& row) { return !row.projected_years.empty(); });
    out << "<section id=\"positions\" style=\"break-inside: auto; page-break-inside: auto\"><h2>Positions</h2>\n"
        << "<table class=\"positions\"><thead><tr><th class=\"n\">#</th><th>Contract</th><th>Type</th>"
           "<th>Underlying</th>";
    for (std::size_t i = 0; i < fields; ++i) out << "<th class=\"n\">" << OptionGreeks::field_names[i] << "</th>";
    if (result.greeks) out << "<th class=\"n\">carry_rho</th>";
    out << (notes ? "<th>Calendar</th>" : "") << "</tr></thead><tbody>\n";
    for (const auto& row : result.rows) {
        out << "<tr" << (row.ok() ? "" : " class=\"fail\"") << "><td class=\"n\">" << row.position << "</td><td class=\"id\">"
            << html_escape(row.label()) << "</td><td>" << html_escape(row.type.value_or("")) << "</td><td>"
            << html_escape(row.underlying.value_or("")) << "</td>";
        if (row.ok()) {
            write_row_cells(out, row.value, fields);
            if (result.greeks) out << "<td class=\"n\">" << num(row.carry_rho) << "</td>";
            if (notes) out << "<td>" << (row.projected_years.empty() ? "" : "projected " + years_text(row.projected_years)) << "</td>";
        } else {
            out << "<td colspan=\"" << fields + (result.greeks ? 1 : 0) + (notes ? 1 : 0) << "\">failed: " << html_escape(row.error->kind)
                << " (see Failed contracts)</td>";
        }
        out << "</tr>\n";
    }
    for (const auto& total : result.totals) {
        const std::string scope = total.underlying ? "total " + *total.underlying : "book total";
        out << "<tr class=\"total\"><td></td><td colspan=\"3\">" << html_escape(scope) << " (" << total.contracts
            << (total.contracts == 1 ? " contract" : " contracts") << (total.failed ? ", " + std::to_string(total.failed) + " failed" : "")
            << ")</td>";
        for (std::size_t i = 0; i < fields; ++i) {
            const bool blank = !total.has_delta_gamma && (i == 1 || i == 2);
            out << "<td class=\"n\">" << (blank ? "" : num(total.sum[i])) << "</td>";
        }
        if (result.greeks) out << "<td class=\"n\">" << num(total.carry_rho) << "</td>";
        out << (notes ? "<td></td>" : "") << "</tr>\n";
    }
    out << "</tbody></table>";
    const bool mixed = std::any_of(result.totals.begin(), result.totals.end(),
                                   [](const BookTotal& t) { return !t.has_delta_gamma; });
    if (result.greeks && mixed)
        out << "<p class=\"note\">The book total has no delta or gamma: they are per unit of each underlying.</p>";
    if (!result.greeks) out << "<p class=\"note\">Greeks not computed: value the book with --greeks for them.</p>";
    out << "</section>\n";
}

void write_notes(std::ostream& out, const BookResult& result) {
    out << "<section id=\"notes\"><h2>Notes: knock-out and knock-in</h2>\n";
    std::vector<const BookRow*> notes;
    for (const auto& row : result.rows)
        if (row.ok() && row.stats) notes.push_back(&row);
    if (notes.empty()) {
        out << "<p>No note in this book was valued by simulation, so there are no knock-out probabilities "
               "to show.</p></section>\n";
        return;
    }
    out << "<table><thead><tr><th>Contract</th><th>Type</th><th>Underlying</th><th class=\"n\">npv</th>"
           "<th class=\"n\">Std error</th><th>Knock-out probability</th><th>Knocked in at maturity</th>"
           "<th class=\"n\">Expected life</th></tr></thead><tbody>\n";
    auto bar = [&out](double p, const char* kind) {
        const double width = 60 * std::clamp(p, 0.0, 1.0);
        out << "<td><span class=\"bar" << kind << "\" style=\"width:" << coord(width) << "px\"></span><span class=\"pct\">"
            << percent(p) << "</span></td>";
    };
    for (const BookRow* row : notes) {
        out << "<tr><td class=\"id\">" << html_escape(row->label()) << "</td><td>" << html_escape(row->type.value_or(""))
            << "</td><td>" << html_escape(row->underlying.value_or("")) << "</td><td class=\"n\">"
            << num(row->value.npv) << "</td><td class=\"n\">" << num(row->stats->standard_error, 3) << "</td>";
        bar(row->stats->ko_probability, "");
        bar(row->stats->ki_probability, " ki");
        out << "<td class=\"n\">" << printf_text("%.*f", row->stats->expected_life, 2) << " y</td></tr>\n";
    }
    out << "</tbody></table>\n<p class=\"note\">Knock-out probability: of knocking out on any remaining "
           "observation date. Knocked in at maturity: of reaching maturity knocked in without knocking out. "
           "Expected life: years to knock-out or maturity. All from the notes' own Monte Carlo paths.</p></section>\n";
}

struct ChartSeries {
    std::string underlying;
    std::vector<double> y;
    std::vector<std::size_t> failed;
};

// One line chart of a ladder quantity against the spot shift, one series per
// underlying (class "series", data-underlying its id).
void write_line_chart(std::ostream& out, const std::string& key, const std::string& title,
                      const std::vector<double>& shifts, const std::vector<ChartSeries>& series) {
    constexpr double W = 720, H = 250, left = 74, right = 16, top = 34, bottom = 40;
    const double pw = W - left - right, ph = H - top - bottom;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const auto& s : series)
        for (double y : s.y)
            if (std::isfinite(y)) lo = std::min(lo, y), hi = std::max(hi, y);
    if (!std::isfinite(lo)) lo = -1, hi = 1;
    if (hi - lo < 1e-12 * std::max(1.0, std::fabs(hi))) {
        const double pad = std::max(1e-6, std::fabs(hi) * 0.1);
        lo -= pad, hi += pad;
    }
    const std::vector<double> yticks = nice_ticks(lo, hi, 5);
    const double ylo = std::min(lo, yticks.front()), yhi = std::max(hi, yticks.back());
    const double xlo = shifts.front(), xhi = shifts.size() > 1 ? shifts.back() : shifts.front() + 1;
    auto X = [&](double s) { return left + (xhi > xlo ? (s - xlo) / (xhi - xlo) * pw : pw / 2); };
    auto Y = [&](double v) { return top + (yhi - v) / (yhi - ylo) * ph; };

    out << "<div class=\"block\"><h3>" << html_escape(title) << "</h3>\n"
        << "<svg class=\"chart line-chart\" data-chart=\"" << key << "\" viewBox=\"0 0 " << W << ' ' << H
        << "\" role=\"img\" aria-label=\"" << html_escape(title) << " against spot shift\">\n"
        << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << pw << "\" height=\"" << ph
        << "\" fill=\"#fbfcfd\" stroke=\"#d0d7de\"/>\n";
    // Grid and y axis.
    for (double t : yticks) {
        if (t < ylo - 1e-12 || t > yhi + 1e-12) continue;
        const bool zero = t == 0;
        out << "<line x1=\"" << left << "\" x2=\"" << left + pw << "\" y1=\"" << coord(Y(t)) << "\" y2=\""
            << coord(Y(t)) << "\" stroke=\"" << (zero ? "#8c959f" : "#e6e8eb") << "\""
            << (zero ? " stroke-width=\"1.2\"" : "") << "/>"
            << "<text x=\"" << left - 6 << "\" y=\"" << coord(Y(t) + 3.5) << "\" font-size=\"10\" text-anchor=\"end\" "
            << "fill=\"#57606a\">" << tick_text(t, yticks) << "</text>\n";
    }
    // x ticks at the shifts themselves when they have room, else at round values.
    double min_gap = pw;
    for (std::size_t i = 1; i < shifts.size(); ++i) min_gap = std::min(min_gap, X(shifts[i]) - X(shifts[i - 1]));
    const std::vector<double> xticks = min_gap >= 34 ? shifts : nice_ticks(xlo, xhi, 8);
    for (double s : xticks) {
        out << "<line x1=\"" << coord(X(s)) << "\" x2=\"" << coord(X(s)) << "\" y1=\"" << top + ph << "\" y2=\""
            << top + ph + 4 << "\" stroke=\"#8c959f\"/>"
            << "<text x=\"" << coord(X(s)) << "\" y=\"" << top + ph + 16 << "\" font-size=\"10\" text-anchor=\"middle\" "
            << "fill=\"#57606a\">" << spot_shift_text(s) << "</text>\n";
    }
    out << "<text x=\"" << left + pw / 2 << "\" y=\"" << H - 5 << "\" font-size=\"10.5\" text-anchor=\"middle\" "
        << "fill=\"#1f2328\">spot shift</text>\n"
        << "<text transform=\"translate(14 " << top + ph / 2 << ") rotate(-90)\" font-size=\"10.5\" "
        << "text-anchor=\"middle\" fill=\"#1f2328\">" << html_escape(key) << "</text>\n";
    // Legend along the top.
    double lx = left;
    for (std::size_t k = 0; k < series.size(); ++k) {
        const char* colour = kSeriesColours[k % kSeriesColours.size()];
        const char* dash = kSeriesDashes[(k / kSeriesColours.size()) % kSeriesDashes.size()];
        out << "<g class=\"legend-item\"><line x1=\"" << coord(lx) << "\" x2=\"" << coord(lx + 18) << "\" y1=\"14\" y2=\"14\" "
            << "stroke=\"" << colour << "\" stroke-width=\"2.5\"" << (*dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "")
            << "/><text x=\"" << coord(lx + 22) << "\" y=\"18\" font-size=\"10.5\" fill=\"#1f2328\">"
            << html_escape(series[k].underlying) << "</text></g>\n";
        lx += 34 + 6.4 * static_cast<double>(series[k].underlying.size());
    }
    // The series.
    for (std::size_t k = 0; k < series.size(); ++k) {
        const auto& s = series[k];
        const char* colour = kSeriesColours[k % kSeriesColours.size()];
        const char* dash = kSeriesDashes[(k / kSeriesColours.size()) % kSeriesDashes.size()];
        out << "<g class=\"series\" data-underlying=\"" << html_escape(s.underlying) << "\">\n<polyline fill=\"none\" "
            << "stroke=\"" << colour << "\" stroke-width=\"2\" stroke-linejoin=\"round\""
            << (*dash ? std::string(" stroke-dasharray=\"") + dash + "\"" : "") << " points=\"";
        bool first = true;
        for (std::size_t i = 0; i < s.y.size() && i < shifts.size(); ++i) {
            if (!std::isfinite(s.y[i])) continue;
            out << (first ? "" : " ") << coord(X(shifts[i])) << ',' << coord(Y(s.y[i]));
            first = false;
        }
        out << "\"/>\n";
        for (std::size_t i = 0; i < s.y.size() && i < shifts.size(); ++i) {
            if (!std::isfinite(s.y[i])) continue;
            const bool partial = i < s.failed.size() && s.failed[i] > 0;
            out << "<circle cx=\"" << coord(X(shifts[i])) << "\" cy=\"" << coord(Y(s.y[i])) << "\" r=\"3\" fill=\""
                << (partial ? "#fff" : colour) << "\" stroke=\"" << colour << "\"><title>" << html_escape(s.underlying)
                << ", spot " << spot_shift_text(shifts[i]) << ": " << num(s.y[i], 6);
            if (partial) out << " (" << s.failed[i] << " failed, left out)";
            out << "</title></circle>\n";
        }
        out << "</g>\n";
    }
    out << "</svg></div>\n";
}

// --- smiles and bucketed vega -------------------------------------------------

// One underlying's calibrated surface as the report shows it: its
// calibration (the quotes used, their implied and fitted vols), or why there
// is none to show.
struct Smile {
    std::string underlying;
    double spot = 0;
    std::shared_ptr<const SmileSurface> keep;  // owns `calibration`
    const vol::Calibration* calibration = nullptr;
    const vol::VolSurface* surface = nullptr;
    std::string problem;
};

// The surfaces of the underlyings with one, calibrated as the book valued
// them (the market file's surfaces are made once per underlying, date and
// spot, so this is the same surface, not a second calibration).
std::vector<Smile> smiles_of(const BookResult& result, const BookMarket& market) {
    std::vector<Smile> out;
    for (const auto& [underlying, inputs] : market.underlyings) {
        if (!inputs.surface) continue;
        Smile s;
        s.underlying = underlying;
        const SpotSeen seen = spot_of(result, underlying);
        if (seen.source) s.spot = seen.spot;
        else if (inputs.spot) s.spot = *inputs.spot;
        if (!(s.spot > 0)) {
            s.problem = "no spot: no contract was valued on it";
            out.push_back(std::move(s));
            continue;
        }
        try {
            const Market m = market.market_of(underlying, s.spot, result.evaluation_date);
            s.keep = m.vol.surface();
            const auto* c = dynamic_cast<const vol::CalibratedSurface*>(s.keep.get());
            if (c) s.surface = &c->surface();
            if (c && c->calibration()) s.calibration = c->calibration();
            else s.problem = "a given surface, with no quotes";
        } catch (const Error& e) {
            s.problem = e.what();
        }
        out.push_back(std::move(s));
    }
    return out;
}

struct XYSeries {
    std::string name;
    std::vector<double> x, y;
    bool points = false;  // circles (quotes) rather than a line (the model)
    std::size_t colour = 0;
};

// A chart of y against x (both plain numbers), lines and point sets, with a
// legend of the lines. x_text / y_text format the ticks.
void write_xy_chart(std::ostream& out, const std::string& key, const std::string& title, const std::string& x_label,
                    const std::string& y_label, const std::vector<XYSeries>& series,
                    std::string (*y_tick)(double, const std::vector<double>&)) {
    constexpr double W = 720, H = 280, left = 74, right = 16, top = 34, bottom = 40;
    const double pw = W - left - right, ph = H - top - bottom;
    double xlo = std::numeric_limits<double>::infinity(), xhi = -xlo, ylo = xlo, yhi = -xlo;
    for (const auto& s : series)
        for (std::size_t i = 0; i < s.x.size() && i < s.y.size(); ++i)
            if (std::isfinite(s.x[i]) && std::isfinite(s.y[i])) {
                xlo = std::min(xlo, s.x[i]), xhi = std::max(xhi, s.x[i]);
                ylo = std::min(ylo, s.y[i]), yhi = std::max(yhi, s.y[i]);
            }
    if (!std::isfinite(xlo)) xlo = 0, xhi = 1, ylo = 0, yhi = 1;
    if (xhi - xlo < 1e-12) xhi = xlo + 1;
    if (yhi - ylo < 1e-12) ylo -= 0.01, yhi += 0.01;
    const std::vector<double> yticks = nice_ticks(ylo, yhi, 5), xticks = nice_ticks(xlo, xhi, 8);
    ylo = std::min(ylo, yticks.front()), yhi = std::max(yhi, yticks.back());
    auto X = [&](double v) { return left + (v - xlo) / (xhi - xlo) * pw; };
    auto Y = [&](double v) { return top + (yhi - v) / (yhi - ylo) * ph; };
    out << "<div class=\"block\"><h3>" << html_escape(title) << "</h3>\n"
        << "<svg class=\"chart xy-chart\" data-chart=\"" << html_escape(key) << "\" viewBox=\"0 0 " << W << ' ' << H
        << "\" role=\"img\" aria-label=\"" << html_escape(title) << "\">\n"
        << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << pw << "\" height=\"" << ph
        << "\" fill=\"#fbfcfd\" stroke=\"#d0d7de\"/>\n";
    for (double t : yticks) {
        if (t < ylo - 1e-12 || t > yhi + 1e-12) continue;
        out << "<line x1=\"" << left << "\" x2=\"" << left + pw << "\" y1=\"" << coord(Y(t)) << "\" y2=\"" << coord(Y(t))
            << "\" stroke=\"#e6e8eb\"/><text x=\"" << left - 6 << "\" y=\"" << coord(Y(t) + 3.5)
            << "\" font-size=\"10\" text-anchor=\"end\" fill=\"#57606a\">" << y_tick(t, yticks) << "</text>\n";
    }
    for (double t : xticks) {
        if (t < xlo - 1e-12 || t > xhi + 1e-12) continue;
        out << "<line x1=\"" << coord(X(t)) << "\" x2=\"" << coord(X(t)) << "\" y1=\"" << top + ph << "\" y2=\""
            << top + ph + 4 << "\" stroke=\"#8c959f\"/><text x=\"" << coord(X(t)) << "\" y=\"" << top + ph + 16
            << "\" font-size=\"10\" text-anchor=\"middle\" fill=\"#57606a\">" << tick_text(t, xticks) << "</text>\n";
    }
    out << "<text x=\"" << left + pw / 2 << "\" y=\"" << H - 5 << "\" font-size=\"10.5\" text-anchor=\"middle\" "
        << "fill=\"#1f2328\">" << html_escape(x_label) << "</text>\n"
        << "<text transform=\"translate(14 " << top + ph / 2 << ") rotate(-90)\" font-size=\"10.5\" "
        << "text-anchor=\"middle\" fill=\"#1f2328\">" << html_escape(y_label) << "</text>\n";
    double lx = left;
    for (const auto& s : series) {
        if (s.points) continue;
        const char* colour = kSeriesColours[s.colour % kSeriesColours.size()];
        out << "<g class=\"legend-item\"><line x1=\"" << coord(lx) << "\" x2=\"" << coord(lx + 18)
            << "\" y1=\"14\" y2=\"14\" stroke=\"" << colour << "\" stroke-width=\"2.5\"/><text x=\"" << coord(lx + 22)
            << "\" y=\"18\" font-size=\"10.5\" fill=\"#1f2328\">" << html_escape(s.name) << "</text></g>\n";
        lx += 34 + 6.4 * static_cast<double>(s.name.size());
    }
    for (const auto& s : series) {
        const char* colour = kSeriesColours[s.colour % kSeriesColours.size()];
        out << "<g class=\"" << (s.points ? "quotes" : "series") << "\" data-name=\"" << html_escape(s.name) << "\">\n";
        if (s.points) {
            for (std::size_t i = 0; i < s.x.size() && i < s.y.size(); ++i) {
                if (!std::isfinite(s.x[i]) || !std::isfinite(s.y[i])) continue;
                out << "<circle cx=\"" << coord(X(s.x[i])) << "\" cy=\"" << coord(Y(s.y[i])) << "\" r=\"3\" fill=\"#fff\" "
                    << "stroke=\"" << colour << "\"><title>" << html_escape(s.name) << ": " << num(s.x[i], 6) << ", "
                    << num(s.y[i], 6) << "</title></circle>\n";
            }
        } else {
            out << "<polyline fill=\"none\" stroke=\"" << colour << "\" stroke-width=\"2\" stroke-linejoin=\"round\" points=\"";
            bool first = true;
            for (std::size_t i = 0; i < s.x.size() && i < s.y.size(); ++i) {
                if (!std::isfinite(s.x[i]) || !std::isfinite(s.y[i])) continue;
                out << (first ? "" : " ") << coord(X(s.x[i])) << ',' << coord(Y(s.y[i]));
                first = false;
            }
            out << "\"/>\n";
        }
        out << "</g>\n";
    }
    out << "</svg></div>\n";
}

// A volatility tick in percent.
std::string vol_tick(double v, const std::vector<double>& ticks) {
    std::vector<double> percent_ticks;
    for (double t : ticks) percent_ticks.push_back(100 * t);
    return tick_text(100 * v, percent_ticks) + "%";
}

// Per underlying with a calibrated surface: the smile per expiry (the quotes'
// implied vols as points, the fitted smile as a line), the local volatility
// on each interval between expiries, and the calibration's errors.
void write_smiles(std::ostream& out, const std::vector<Smile>& smiles) {
    if (smiles.empty()) return;
    out << "<section id=\"smiles\"><h2>Volatility surfaces</h2>\n";
    for (const Smile& s : smiles) {
        out << "<div class=\"smile\" data-underlying=\"" << html_escape(s.underlying) << "\"><h3>"
            << html_escape(s.underlying) << "</h3>\n";
        if (!s.calibration) {
            out << "<p class=\"note\">No smile to show: " << html_escape(s.problem) << ".</p></div>\n";
            continue;
        }
        const vol::Calibration& c = *s.calibration;
        out << "<p>Calibrated on " << utils::format_date(c.evaluation_date) << " to " << c.table.size()
            << " out-of-the-money quotes (" << c.dropped.size() << " dropped), forwards "
            << vol::to_string(c.settings.forwards) << ": RMS error " << printf_text("%.*f", c.rms_error, 3)
            << ", largest " << printf_text("%.*f", c.max_error, 3) << " vol points; "
            << (c.butterfly_free ? "no butterfly arbitrage" : "butterfly arbitrage left") << ", "
            << (c.calendar_free ? "no calendar arbitrage" : "calendar arbitrage left") << ".</p>\n";
        double klo = std::numeric_limits<double>::infinity(), khi = -klo;
        for (const auto& q : c.table) klo = std::min(klo, q.quote.strike), khi = std::max(khi, q.quote.strike);
        std::vector<XYSeries> smile;
        for (std::size_t e = 0; e < c.fits.size(); ++e) {
            const vol::ExpiryFit& fit = c.fits[e];
            XYSeries line{utils::format_date(fit.expiry), {}, {}, false, e};
            XYSeries points{utils::format_date(fit.expiry) + " quotes", {}, {}, true, e};
            const double a = 0.95 * klo, b = 1.05 * khi;
            for (int i = 0; i <= 60; ++i) {
                const double k = a + (b - a) * i / 60.0;
                line.x.push_back(k);
                line.y.push_back(s.surface->implied_vol(k, fit.t));
            }
            for (const auto& q : c.table)
                if (q.quote.expiry == fit.expiry) points.x.push_back(q.quote.strike), points.y.push_back(q.implied_vol);
            smile.push_back(std::move(line));
            smile.push_back(std::move(points));
        }
        write_xy_chart(out, "smile", s.underlying + ": implied volatility by expiry (points: quotes, lines: fit)",
                       "strike", "implied vol", smile, vol_tick);
        // Local volatility over 60 % to 140 % of spot, where the notes' barriers lie.
        std::vector<XYSeries> local;
        double before = 0;
        for (std::size_t e = 0; e < c.fits.size(); ++e) {
            const double t = 0.5 * (before + c.fits[e].t);
            before = c.fits[e].t;
            XYSeries line{"to " + utils::format_date(c.fits[e].expiry), {}, {}, false, e};
            for (int i = 0; i <= 80; ++i) {
                const double spot = s.spot * (0.6 + 0.8 * i / 80.0);
                line.x.push_back(spot);
                line.y.push_back(s.surface->local_vol(t, spot));
            }
            local.push_back(std::move(line));
        }
        write_xy_chart(out, "local-vol", s.underlying + ": local volatility by spot, mid-way to each expiry", "spot",
                       "local vol", local, vol_tick);
        out << "</div>\n";
    }
    out << "</section>\n";
}

// Bucketed vega per contract and per underlying, one column per quoted
// expiry, with the sum beside the parallel vega.
void write_bucketed(std::ostream& out, const BookResult& result) {
    std::map<std::string, std::vector<QuantLib::Date>> expiries;
    for (const auto& t : result.totals)
        if (t.underlying && !t.bucketed_vega.empty())
            for (const auto& b : t.bucketed_vega) expiries[*t.underlying].push_back(b.first);
    if (expiries.empty()) return;
    out << "<section id=\"bucketed\"><h2>Vega by quoted expiry</h2>\n";
    for (const auto& entry : expiries) {
        const std::string& underlying = entry.first;
        const std::vector<QuantLib::Date>& dates = entry.second;  // a lambda below reads it: no structured binding
        out << "<table class=\"bucketed\" data-underlying=\"" << html_escape(underlying)
            << "\"><thead><tr><th>Contract</th>";
        for (const auto& d : dates) out << "<th class=\"n\">" << utils::format_date(d) << "</th>";
        out << "<th class=\"n\">sum</th>" << (result.greeks ? "<th class=\"n\">parallel vega</th>" : "")
            << "</tr></thead><tbody>\n";
        auto cells = [&](const std::vector<std::pair<QuantLib::Date, double>>& buckets, double parallel) {
            double sum = 0;
            for (const auto& d : dates) {
                const auto it = std::find_if(buckets.begin(), buckets.end(), [&](const auto& b) { return b.first == d; });
                out << "<td class=\"n\">" << (it == buckets.end() ? "" : num(it->second)) << "</td>";
                if (it != buckets.end()) sum += it->second;
            }
            out << "<td class=\"n\">" << num(sum) << "</td>";
            if (result.greeks) out << "<td class=\"n\">" << num(parallel) << "</td>";
        };
        for (const auto& row : result.rows) {
            if (!row.ok() || row.underlying != underlying || row.bucketed_vega.empty()) continue;
            out << "<tr><td class=\"id\">" << html_escape(row.label()) << "</td>";
            cells(row.bucketed_vega, row.value.vega);
            out << "</tr>\n";
        }
        for (const auto& t : result.totals) {
            if (t.underlying != underlying) continue;
            out << "<tr class=\"total\"><td>total " << html_escape(underlying) << "</td>";
            cells(t.bucketed_vega, t.sum.vega);
            out << "</tr>\n";
        }
        out << "</tbody></table>\n";
    }
    out << "<p class=\"note\">Each expiry's quotes moved alone by one vol point and the surface recalibrated: "
           "(V(+1) - V(-1)) / 2. The parallel vega moves every quote at once.</p></section>\n";
}

// Red for a loss, blue for a gain, white at none; `t` in [-1, 1].
std::string diverging_colour(double t) {
    t = std::clamp(t, -1.0, 1.0);
    static constexpr std::array<double, 3> kMid{247, 247, 247}, kGain{33, 102, 172}, kLoss{178, 24, 43};
    const auto& end = t >= 0 ? kGain : kLoss;
    const double a = std::fabs(t);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", static_cast<int>(std::lround(kMid[0] + (end[0] - kMid[0]) * a)),
                  static_cast<int>(std::lround(kMid[1] + (end[1] - kMid[1]) * a)),
                  static_cast<int>(std::lround(kMid[2] + (end[2] - kMid[2]) * a)));
    return buffer;
}

void write_heat_map(std::ostream& out, const UnderlyingLadder& ladder, const std::vector<double>& shifts) {
    const std::size_t columns = shifts.size(), rows = ladder.matrix.size();
    constexpr double W = 720, left = 112, top = 40, cell_h = 30;
    const double cell_w = std::min(76.0, (W - left - 8) / static_cast<double>(std::max<std::size_t>(columns, 1)));
    const double H = top + cell_h * static_cast<double>(rows) + 8;
    double scale = 0;
    for (const auto& line : ladder.matrix)
        for (double x : line)
            if (std::isfinite(x)) scale = std::max(scale, std::fabs(x));
    out << "<svg class=\"chart heat-map\" data-chart=\"matrix\" data-underlying=\"" << html_escape(ladder.underlying)
        << "\" viewBox=\"0 0 " << W << ' ' << coord(H) << "\" role=\"img\" aria-label=\"change of value, spot x vol, "
        << html_escape(ladder.underlying) << "\">\n"
        << "<text x=\"" << left - 8 << "\" y=\"15\" font-size=\"9.5\" text-anchor=\"end\" fill=\"#57606a\">spot shift</text>"
        << "<text x=\"" << left - 8 << "\" y=\"30\" font-size=\"9.5\" text-anchor=\"end\" fill=\"#57606a\">spot</text>\n";
    for (std::size_t s = 0; s < columns; ++s) {
        const double cx = left + cell_w * (static_cast<double>(s) + 0.5);
        const double spot = ladder.base_spot * (1 + shifts[s]);
        out << "<text x=\"" << coord(cx) << "\" y=\"15\" font-size=\"10\" font-weight=\"600\" text-anchor=\"middle\" "
            << "fill=\"#1f2328\">" << spot_shift_text(shifts[s]) << "</text><text x=\"" << coord(cx) << "\" y=\"30\" "
            << "font-size=\"9\" text-anchor=\"middle\" fill=\"#57606a\">" << num(spot, 5) << "</text>\n";
    }
    for (std::size_t v = 0; v < rows; ++v) {
        const double y = top + cell_h * static_cast<double>(v);
        const double vol_shift = v < ladder.vol_shifts.size() ? ladder.vol_shifts[v] : 0.0;
        out << "<text x=\"" << left - 8 << "\" y=\"" << coord(y + cell_h / 2 + 3.5) << "\" font-size=\"10\" "
            << "text-anchor=\"end\" fill=\"#1f2328\">vol " << vol_shift_text(vol_shift) << " ("
            << percent(ladder.base_vol + vol_shift) << ")</text>\n";
        for (std::size_t s = 0; s < columns && s < ladder.matrix[v].size(); ++s) {
            const double x = left + cell_w * static_cast<double>(s);
            const double value = ladder.matrix[v][s];
            const bool base = vol_shift == 0 && shifts[s] == 0;
            out << "<g class=\"cell\"><rect x=\"" << coord(x + 1) << "\" y=\"" << coord(y + 1) << "\" width=\""
                << coord(cell_w - 2) << "\" height=\"" << coord(cell_h - 2) << "\" rx=\"2\" ";
            if (std::isfinite(value)) {
                const double t = scale > 0 ? value / scale : 0;
                out << "fill=\"" << diverging_colour(t) << "\"" << (base ? " stroke=\"#1f2328\" stroke-width=\"1.5\"" : "")
                    << "/><text x=\"" << coord(x + cell_w / 2) << "\" y=\"" << coord(y + cell_h / 2 + 3.5)
                    << "\" font-size=\"10\" text-anchor=\"middle\" fill=\"" << (std::fabs(t) > 0.55 ? "#fff" : "#1f2328")
                    << "\">" << num(value, 4) << "</text>";
            } else {
                out << "fill=\"#d0d7de\" class=\"failed-cell\"/><text x=\"" << coord(x + cell_w / 2) << "\" y=\""
                    << coord(y + cell_h / 2 + 3.5) << "\" font-size=\"9.5\" text-anchor=\"middle\" fill=\"#a40e26\">"
                    << "failed</text>";
            }
            out << "<title>vol " << vol_shift_text(vol_shift) << ", spot " << spot_shift_text(shifts[s]) << ": "
                << num(value, 6) << "</title></g>\n";
        }
    }
    out << "</svg>\n";
}

void write_ladders(std::ostream& out, const BookLadders& ladders) {
    out << "<section id=\"ladders\" style=\"break-inside: auto; page-break-inside: auto\"><h2>Spot ladders</h2>\n";
    if (ladders.underlyings.empty() || ladders.spot_shifts.empty()) {
        out << "<p>No underlying has a valued contract to ladder.</p></section>\n";
        return;
    }
    out << "<p class=\"note\">Every contract on an underlying valued again at spot x (1 + shift), vol and the rest "
           "unchanged; value, delta and gamma summed per underlying. A hollow point leaves out contracts that failed "
           "there (listed under the underlying below). Hover a point for its figure.</p>\n";
    std::vector<ChartSeries> value, delta, gamma;
    for (const auto& l : ladders.underlyings) {
        ChartSeries sv{l.underlying, {}, {}}, sd = sv, sg = sv;
        for (const auto& p : l.points) {
            sv.y.push_back(p.npv), sd.y.push_back(p.delta), sg.y.push_back(p.gamma);
            sv.failed.push_back(p.failed), sd.failed.push_back(p.failed), sg.failed.push_back(p.failed);
        }
        value.push_back(std::move(sv)), delta.push_back(std::move(sd)), gamma.push_back(std::move(sg));
    }
    write_line_chart(out, "value", "Value", ladders.spot_shifts, value);
    write_line_chart(out, "delta", "Delta", ladders.spot_shifts, delta);
    write_line_chart(out, "gamma", "Gamma (spot x d2V/dS2)", ladders.spot_shifts, gamma);
    out << "</section>\n";

    out << "<section id=\"matrices\" style=\"break-inside: auto; page-break-inside: auto\">"
           "<h2>Spot x vol: change of value</h2>\n<p class=\"note\">Each cell: the underlying's contracts valued at "
           "that spot and vol, less their base value. Red a loss, blue a gain, deeper for larger; the outlined cell "
           "is the base. A grey cell had a contract fail there.</p>\n";
    for (const auto& l : ladders.underlyings) {
        out << "<div class=\"block underlying\" data-underlying=\"" << html_escape(l.underlying) << "\"><h3>"
            << html_escape(l.underlying) << "</h3><p class=\"sub\">" << l.contracts
            << (l.contracts == 1 ? " contract" : " contracts") << ", spot " << num(l.base_spot, 6) << ", vol "
            << percent(l.base_vol) << ", base value " << num(l.base_value) << "</p>\n";
        write_heat_map(out, l, ladders.spot_shifts);
        out << "<table class=\"ladder\"><thead><tr><th>Spot shift</th>";
        for (double s : ladders.spot_shifts) out << "<th class=\"n\">" << spot_shift_text(s) << "</th>";
        out << "</tr></thead><tbody>";
        const std::array<const char*, 3> names{"value", "delta", "gamma"};
        for (std::size_t q = 0; q < names.size(); ++q) {
            out << "<tr><td>" << names[q] << "</td>";
            for (const auto& p : l.points) out << "<td class=\"n\">" << num(q == 0 ? p.npv : q == 1 ? p.delta : p.gamma) << "</td>";
            out << "</tr>";
        }
        out << "</tbody></table>";
        std::string where;
        for (const auto& p : l.points)
            if (p.failed) where += (where.empty() ? "" : ", ") + std::to_string(p.failed) + " at " + spot_shift_text(p.shift);
        if (!where.empty())
            out << "<p class=\"failures\">Contracts that failed at a ladder point are left out of it (hollow "
                << "points in the charts): " << where << ".</p>";
        out << "</div>\n";
    }
    out << "</section>\n";
}

// --- files ------------------------------------------------------------------

// A temporary name beside `path`, so the final rename stays on one file system.
std::string temporary_beside(const std::string& path) { return path + ".tmp"; }

void commit_file(const std::string& tmp, const std::string& path) {
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw ValueError("cannot write report '" + path + "': " + ec.message());
    }
}

// --- XLSX -------------------------------------------------------------------

// Writes cells and remembers the first failure, so one check at the end says
// whether the sheet is whole.
class Sheet {
  public:
    Sheet(lxw_workbook* book, const char* name, lxw_error& status) : status_(status) {
        sheet_ = workbook_add_worksheet(book, name);
        if (!sheet_) status_ = LXW_ERROR_MEMORY_MALLOC_FAILED;
    }
    void number(std::size_t row, std::size_t col, double x, lxw_format* format = nullptr) {
        if (!sheet_) return;
        // A missing figure stays an empty cell; NaN has no place in the file.
        note(std::isfinite(x) ? worksheet_write_number(sheet_, r(row), c(col), x, format)
                              : worksheet_write_blank(sheet_, r(row), c(col), format));
    }
    void text(std::size_t row, std::size_t col, const std::string& s, lxw_format* format = nullptr) {
        if (!sheet_ || s.empty()) return;
        // Excel's limit on one cell's text.
        note(worksheet_write_string(sheet_, r(row), c(col), s.substr(0, 32000).c_str(), format));
    }
    void header(const std::vector<std::string>& names, lxw_format* format) {
        for (std::size_t i = 0; i < names.size(); ++i) text(0, i, names[i], format);
        if (sheet_) worksheet_freeze_panes(sheet_, 1, 0);
    }
    void width(std::size_t first, std::size_t last, double w) {
        if (sheet_) note(worksheet_set_column(sheet_, c(first), c(last), w, nullptr));
    }
    lxw_worksheet* get() const { return sheet_; }

  private:
    static lxw_row_t r(std::size_t i) { return static_cast<lxw_row_t>(i); }
    static lxw_col_t c(std::size_t i) { return static_cast<lxw_col_t>(i); }
    void note(lxw_error e) {
        if (e != LXW_NO_ERROR && status_ == LXW_NO_ERROR) status_ = e;
    }
    lxw_worksheet* sheet_ = nullptr;
    lxw_error& status_;
};

struct Formats {
    lxw_format *header, *money, *pct, *shift, *date;
};

void fill_positions(Sheet& sheet, const BookResult& result, const Formats& f) {
    static constexpr std::array<const char*, 4> kStats{"standard_error", "ko_probability", "ki_probability",
                                                       "expected_life"};
    const std::size_t fields = result.greeks ? OptionGreeks::size() : 1;
    std::vector<std::string> names{"record", "position", "id", "type", "underlying"};
    for (std::size_t i = 0; i < fields; ++i) names.emplace_back(OptionGreeks::field_names[i]);
    const std::size_t extra = result.greeks ? 1 : 0;  // carry_rho
    if (result.greeks) names.emplace_back("carry_rho");
    if (result.stats) names.insert(names.end(), kStats.begin(), kStats.end());
    for (const char* n : {"spot", "spot_source", "contracts", "failed", "error_kind", "error_message"}) names.emplace_back(n);
    sheet.header(names, f.header);
    const std::size_t first_value = 5, after_values = first_value + fields + extra + (result.stats ? kStats.size() : 0);
    std::size_t r = 1;
    for (const auto& row : result.rows) {
        sheet.text(r, 0, "contract");
        sheet.number(r, 1, static_cast<double>(row.position));
        sheet.text(r, 2, row.id.value_or(""));
        sheet.text(r, 3, row.type.value_or(""));
        sheet.text(r, 4, row.underlying.value_or(""));
        if (row.ok()) {
            for (std::size_t i = 0; i < fields; ++i) sheet.number(r, first_value + i, row.value[i], i == 0 ? f.money : nullptr);
            if (result.greeks) sheet.number(r, first_value + fields, row.carry_rho);
            if (result.stats && row.stats) {
                const RowStats& s = *row.stats;
                const std::size_t at = first_value + fields + extra;
                sheet.number(r, at, s.standard_error);
                sheet.number(r, at + 1, s.ko_probability, f.pct);
                sheet.number(r, at + 2, s.ki_probability, f.pct);
                sheet.number(r, at + 3, s.expected_life);
            }
            sheet.number(r, after_values, row.spot);
            sheet.text(r, after_values + 1, row.spot_source == SpotSource::Store ? "store" : "market");
        } else {
            sheet.text(r, after_values + 4, row.error->kind);
            sheet.text(r, after_values + 5, row.error->message);
        }
        ++r;
    }
    for (const auto& t : result.totals) {
        sheet.text(r, 0, t.underlying ? "underlying" : "book");
        sheet.text(r, 4, t.underlying.value_or(""));
        for (std::size_t i = 0; i < fields; ++i) {
            if (!t.has_delta_gamma && (i == 1 || i == 2)) continue;
            sheet.number(r, first_value + i, t.sum[i], i == 0 ? f.money : nullptr);
        }
        if (result.greeks) sheet.number(r, first_value + fields, t.carry_rho);
        sheet.number(r, after_values + 2, static_cast<double>(t.contracts));
        sheet.number(r, after_values + 3, static_cast<double>(t.failed));
        ++r;
    }
    sheet.width(0, 0, 11);
    sheet.width(1, 1, 9);
    sheet.width(2, 2, 34);
    sheet.width(3, 4, 13);
    sheet.width(first_value, after_values, 14);
    sheet.width(after_values + 5, after_values + 5, 60);
}

void fill_ladders(Sheet& sheet, const BookLadders& ladders, const Formats& f) {
    sheet.header({"underlying", "spot_shift", "spot", "npv", "delta", "gamma", "failed"}, f.header);
    std::size_t r = 1;
    for (const auto& l : ladders.underlyings) {
        for (const auto& p : l.points) {
            sheet.text(r, 0, l.underlying);
            sheet.number(r, 1, p.shift, f.shift);
            sheet.number(r, 2, p.spot);
            sheet.number(r, 3, p.npv, f.money);
            sheet.number(r, 4, p.delta);
            sheet.number(r, 5, p.gamma);
            sheet.number(r, 6, static_cast<double>(p.failed));
            ++r;
        }
    }
    sheet.width(0, 0, 14);
    sheet.width(1, 6, 13);
}

void fill_matrices(Sheet& sheet, const BookLadders& ladders, const Formats& f) {
    // One row per underlying and vol shift, one column per spot shift: the
    // matrix as it reads, every cell the change of value from the base.
    std::vector<std::string> names{"underlying", "vol_shift", "vol", "base_value"};
    for (double s : ladders.spot_shifts) names.push_back("spot " + spot_shift_text(s));
    sheet.header(names, f.header);
    if (sheet.get()) worksheet_freeze_panes(sheet.get(), 1, 2);
    std::size_t r = 1;
    for (const auto& l : ladders.underlyings) {
        for (std::size_t v = 0; v < l.matrix.size(); ++v) {
            const double shift = v < l.vol_shifts.size() ? l.vol_shifts[v] : kNaN;
            sheet.text(r, 0, l.underlying);
            sheet.number(r, 1, shift, f.shift);
            sheet.number(r, 2, l.base_vol + shift, f.pct);
            sheet.number(r, 3, l.base_value, f.money);
            for (std::size_t s = 0; s < l.matrix[v].size(); ++s) sheet.number(r, 4 + s, l.matrix[v][s], f.money);
            ++r;
        }
    }
    sheet.width(0, 0, 14);
    sheet.width(1, 3 + ladders.spot_shifts.size(), 12);
}

void fill_market(Sheet& sheet, const BookResult& result, const BookMarket& market, const Formats& f) {
    sheet.header({"underlying", "spot", "spot_source", "vol", "q", "r", "valuation_date"}, f.header);
    const QuantLib::Date& d = result.evaluation_date;
    lxw_datetime day{d.year(), static_cast<int>(d.month()), static_cast<int>(d.dayOfMonth()), 0, 0, 0};
    std::size_t r = 1;
    for (const auto& [underlying, inputs] : market.underlyings) {
        const SpotSeen seen = spot_of(result, underlying);
        sheet.text(r, 0, underlying);
        sheet.number(r, 1, seen.source ? seen.spot : inputs.spot.value_or(kNaN));
        sheet.text(r, 2, seen.source ? (*seen.source == SpotSource::Store ? "store" : "market")
                                     : (inputs.spot ? "market" : ""));
        // Numbers as numbers; a curve or forwards as their text.
        if (inputs.surface) sheet.text(r, 3, surface_text(inputs));
        else if (inputs.vol.is_number()) sheet.number(r, 3, inputs.vol.number());
        else sheet.text(r, 3, curve_text(inputs.vol, 2));
        if (inputs.forwards.empty() && inputs.q.is_number()) sheet.number(r, 4, inputs.q.number());
        else sheet.text(r, 4, carry_text(inputs));
        if (market.r.is_number()) sheet.number(r, 5, market.r.number());
        else sheet.text(r, 5, curve_text(market.r, 3));
        if (sheet.get() && d != QuantLib::Date())
            worksheet_write_datetime(sheet.get(), static_cast<lxw_row_t>(r), 6, &day, f.date);
        ++r;
    }
    sheet.width(0, 0, 14);
    sheet.width(1, 5, 11);
    sheet.width(6, 6, 14);
}

void fill_smiles(Sheet& sheet, const std::vector<Smile>& smiles, const Formats& f) {
    sheet.header({"underlying", "expiry", "type", "strike", "price", "forward", "implied_vol", "model_vol",
                  "error_vol_points"}, f.header);
    std::size_t r = 1;
    for (const Smile& s : smiles) {
        if (!s.calibration) {
            sheet.text(r, 0, s.underlying);
            sheet.text(r++, 1, "no smile: " + s.problem);
            continue;
        }
        for (const auto& q : s.calibration->table) {
            sheet.text(r, 0, s.underlying);
            sheet.text(r, 1, utils::format_date(q.quote.expiry));
            sheet.text(r, 2, q.quote.type == vol::OptionType::Call ? "call" : "put");
            sheet.number(r, 3, q.quote.strike);
            sheet.number(r, 4, q.quote.price);
            sheet.number(r, 5, q.forward);
            sheet.number(r, 6, q.implied_vol, f.pct);
            sheet.number(r, 7, q.model_vol, f.pct);
            sheet.number(r, 8, q.error);
            ++r;
        }
    }
    sheet.width(0, 1, 14);
    sheet.width(2, 8, 11);
}

void fill_bucketed(Sheet& sheet, const BookResult& result, const Formats& f) {
    sheet.header({"record", "id", "underlying", "expiry", "vega"}, f.header);
    std::size_t r = 1;
    for (const auto& row : result.rows)
        for (const auto& [expiry, v] : row.bucketed_vega) {
            sheet.text(r, 0, "bucketed");
            sheet.text(r, 1, row.label());
            sheet.text(r, 2, row.underlying.value_or(""));
            sheet.text(r, 3, utils::format_date(expiry));
            sheet.number(r++, 4, v);
        }
    for (const auto& t : result.totals)
        if (t.underlying)
            for (const auto& [expiry, v] : t.bucketed_vega) {
                sheet.text(r, 0, "bucketed_total");
                sheet.text(r, 2, *t.underlying);
                sheet.text(r, 3, utils::format_date(expiry));
                sheet.number(r++, 4, v);
            }
    sheet.width(0, 3, 16);
    sheet.width(4, 4, 12);
}

}  // namespace

std::string html_escape(std::string_view text) { return utils::html_escape(text); }

ReportFormat report_format_of(const std::string& path) {
    const std::string ext = lower(std::filesystem::path(path).extension().string());
    if (ext == ".html" || ext == ".htm") return ReportFormat::Html;
    if (ext == ".xlsx") return ReportFormat::Xlsx;
    throw ValueError("report file '" + path + "': the name must end in .html, .htm or .xlsx (an HTML page or an "
                     "Excel workbook)");
}

void write_html_report(std::ostream& out, const BookResult& result, const BookLadders& ladders,
                       const BookMarket& market) {
    const std::string day = utils::format_date(result.evaluation_date);
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<link rel=\"icon\" href=\"data:,\">\n"  // no request for a favicon
        << "<title>Book report " << day << "</title>\n<style>" << kStyle << "</style></head>\n<body>\n";
    write_header(out, result, ladders, market);
    write_failures(out, result);
    write_positions(out, result);
    write_notes(out, result);
    write_bucketed(out, result);
    write_smiles(out, smiles_of(result, market));
    write_ladders(out, ladders);
    out << "<footer class=\"note\"><p>Written by kestrel book. Every figure is also in the workbook and json "
           "outputs at full precision.</p></footer>\n</body></html>\n";
}

void write_xlsx_report(const std::string& path, const BookResult& result, const BookLadders& ladders,
                       const BookMarket& market) {
    const std::string tmp = temporary_beside(path);
    lxw_workbook* book = workbook_new(tmp.c_str());
    if (!book) throw ValueError("cannot write report '" + path + "': out of memory");
    lxw_error status = LXW_NO_ERROR;
    Formats f{};
    f.header = workbook_add_format(book);
    format_set_bold(f.header);
    format_set_bg_color(f.header, 0xF3F5F7);
    format_set_bottom(f.header, LXW_BORDER_THIN);
    f.money = workbook_add_format(book);
    format_set_num_format(f.money, "#,##0.00");
    f.pct = workbook_add_format(book);
    format_set_num_format(f.pct, "0.00%");
    f.shift = workbook_add_format(book);
    format_set_num_format(f.shift, "+0%;-0%;0%");
    f.date = workbook_add_format(book);
    format_set_num_format(f.date, "yyyy-mm-dd");

    Sheet positions(book, "Positions", status);
    fill_positions(positions, result, f);
    Sheet ladder_sheet(book, "Ladders", status);
    fill_ladders(ladder_sheet, ladders, f);
    Sheet matrices(book, "Matrices", status);
    fill_matrices(matrices, ladders, f);
    Sheet market_sheet(book, "Market", status);
    fill_market(market_sheet, result, market, f);
    // Sheets of their own only for a book on calibrated surfaces.
    const std::vector<Smile> smiles = smiles_of(result, market);
    if (!smiles.empty()) {
        Sheet smile_sheet(book, "Smiles", status);
        fill_smiles(smile_sheet, smiles, f);
    }
    if (result.bucketed && std::any_of(result.rows.begin(), result.rows.end(),
                                       [](const BookRow& row) { return !row.bucketed_vega.empty(); })) {
        Sheet bucketed_sheet(book, "Bucketed vega", status);
        fill_bucketed(bucketed_sheet, result, f);
    }

    // workbook_close writes the file and frees the workbook whatever happens.
    const lxw_error closed = workbook_close(book);
    if (status == LXW_NO_ERROR) status = closed;
    if (status != LXW_NO_ERROR) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw ValueError("cannot write report '" + path + "': " + lxw_strerror(status));
    }
    commit_file(tmp, path);
}

void write_report(const std::string& path, const BookResult& result, const BookLadders& ladders,
                  const BookMarket& market) {
    if (report_format_of(path) == ReportFormat::Xlsx) {
        write_xlsx_report(path, result, ladders, market);
        return;
    }
    std::ostringstream page;
    write_html_report(page, result, ladders, market);
    const std::string tmp = temporary_beside(path);
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (out) {
            const std::string text = page.str();
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.flush();
        }
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            throw ValueError("cannot write report '" + path + "': cannot create or write the file");
        }
    }
    commit_file(tmp, path);
}

}  // namespace kestrel::book
