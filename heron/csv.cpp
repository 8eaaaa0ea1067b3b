#include <heron/csv.hpp>
#include <heron/memory_store.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace heron {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHeaderHint = "date,open,high,low,close[,volume]";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The fields of a line, into `out` (reused from line to line).
void split(std::string_view line, std::vector<std::string_view>& out) {
    out.clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != ',') continue;
        out.push_back(trim(line.substr(start, i - start)));
        start = i + 1;
    }
    out.push_back(trim(line.substr(start)));
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool parse_number(std::string_view s, double& out) {
    if (s.empty()) return false;
    // Prices as files write them ("3431.1053"): at most 15 digits, a point and
    // no exponent. The digits make an exact integer below 2^53 and the power
    // of ten is exact, so one division rounds correctly: the same double
    // from_chars gives, which reads everything else.
    std::uint64_t digits = 0;
    int count = 0, fraction = 0;
    std::size_t i = s[0] == '-' ? 1 : 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++count) digits = digits * 10 + (s[i] - '0');
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++count, ++fraction)
            digits = digits * 10 + (s[i] - '0');
    }
    if (i == s.size() && count > 0 && count <= 15) {
        const double x = static_cast<double>(digits) / kPowersOfTen[fraction];
        out = s[0] == '-' ? -x : x;
        return true;
    }
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

// YYYY-MM-DD of a real day from 1901 to 2199 (the days QuantLib's dates
// hold), made from its day number: the date kestrel::utils::parse_date gives,
// which reads, and words the error for, anything else.
Date read_date(std::string_view t) {
    const auto digit = [&](std::size_t i) { return t[i] >= '0' && t[i] <= '9'; };
    if (t.size() == 10 && t[4] == '-' && t[7] == '-' && digit(0) && digit(1) && digit(2) && digit(3) && digit(5) &&
        digit(6) && digit(8) && digit(9)) {
        const auto n = [&](std::size_t i) { return t[i] - '0'; };
        const int y = n(0) * 1000 + n(1) * 100 + n(2) * 10 + n(3), m = n(5) * 10 + n(6), d = n(8) * 10 + n(9);
        constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (y >= 1901 && y <= 2199 && m >= 1 && m <= 12 && d >= 1 && d <= kMonthDays[m - 1] + (m == 2 && leap)) {
            // Days from 1 March of year 0 (civil calendar), then from 30
            // December 1899, QuantLib's serial 0.
            const int ya = m <= 2 ? y - 1 : y;
            const int era = ya / 400, yoe = ya - era * 400;
            const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
            const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
            const int days_since_1970 = era * 146097 + doe - 719468;
            return Date(static_cast<Date::serial_type>(days_since_1970 + 25569));
        }
    }
    return kestrel::utils::parse_date(t);
}

enum Column { kDate, kOpen, kHigh, kLow, kClose, kVolume, kColumns };
constexpr const char* kColumnNames[kColumns] = {"date", "open", "high", "low", "close", "volume"};

}  // namespace

CsvRows parse_csv(std::string_view text, const std::string& source) {
    CsvRows out;
    out.source = source;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

    int position[kColumns];  // field index of each column, -1 when absent
    std::fill(std::begin(position), std::end(position), -1);
    std::size_t width = 0;  // fields per row
    bool have_header = false;
    std::size_t line_no = 0;
    std::size_t pos = 0;
    std::vector<std::string_view> fields;
    // Rows are rarely under 40 bytes; untouched capacity costs no memory.
    out.bars.reserve(text.size() / 40 + 16);
    out.lines.reserve(out.bars.capacity());

    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (trim(line).empty()) continue;

        auto fail = [&](const std::string& why) {
            throw kestrel::ValueError(source + ":" + std::to_string(line_no) + ": " + why);
        };
        split(line, fields);

        if (!have_header) {
            for (std::size_t i = 0; i < fields.size(); ++i) {
                std::string name(fields[i]);
                std::transform(name.begin(), name.end(), name.begin(),
                               [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
                const auto* hit = std::find(std::begin(kColumnNames), std::end(kColumnNames), name);
                if (hit == std::end(kColumnNames)) {
                    if (i == 0 && fields[0].size() == 10 && fields[0][4] == '-')
                        fail("missing header line (expected " + std::string(kHeaderHint) + ")");
                    fail("unknown column '" + std::string(fields[i]) + "' (expected " + std::string(kHeaderHint) + ")");
                }
                const auto c = hit - std::begin(kColumnNames);
                if (position[c] >= 0) fail("column '" + name + "' appears twice");
                position[c] = static_cast<int>(i);
            }
            for (int c = kDate; c < kVolume; ++c)
                if (position[c] < 0)
                    fail("missing column '" + std::string(kColumnNames[c]) + "' (expected " +
                         std::string(kHeaderHint) + ")");
            width = fields.size();
            have_header = true;
            continue;
        }

        if (fields.size() != width)
            fail("expected " + std::to_string(width) + " fields, found " + std::to_string(fields.size()));
        Bar b;
        const std::string_view date_text = fields[static_cast<std::size_t>(position[kDate])];
        try {
            b.date = read_date(date_text);
        } catch (const kestrel::ValueError&) {
            fail("invalid date '" + std::string(date_text) + "' (expected YYYY-MM-DD)");
        }
        double* const targets[] = {nullptr, &b.open, &b.high, &b.low, &b.close};
        for (int c = kOpen; c <= kClose; ++c) {
            const std::string_view f = fields[static_cast<std::size_t>(position[c])];
            if (!parse_number(f, *targets[c]))
                fail(std::string(kColumnNames[c]) + " is not a number: '" + std::string(f) + "'");
        }
        if (position[kVolume] >= 0) {
            const std::string_view f = fields[static_cast<std::size_t>(position[kVolume])];
            if (!f.empty()) {
                double v = 0;
                if (!parse_number(f, v)) fail("volume is not a number: '" + std::string(f) + "'");
                b.volume = v;
            }
        }
        out.bars.push_back(b);
        out.lines.push_back(line_no);
    }
    if (!have_header)
        throw kestrel::ValueError(source + ": empty file (expected a header line " + std::string(kHeaderHint) + ")");
    validate_bars(out.bars, source, out.lines);
    return out;
}

CsvRows read_csv(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw kestrel::ValueError("cannot read price file '" + path + "': it is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw kestrel::ValueError("cannot read price file '" + path + "'");
    // In one read where the size is known, in pieces otherwise (a pipe).
    std::string text;
    const auto size = fs::file_size(path, ec);
    if (!ec) {
        text.resize(static_cast<std::size_t>(size));
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
    }
    if (in.good()) {
        std::ostringstream rest;
        rest << in.rdbuf();
        text += rest.str();
    }
    if (in.bad()) throw kestrel::ValueError("cannot read price file '" + path + "'");
    return parse_csv(text, path);
}

std::vector<std::string> expand_adjust(const std::string& adjust) {
    if (adjust == "both") return {"pre", "none"};
    if (adjust == "pre" || adjust == "none") return {adjust};
    throw kestrel::ValueError("unknown adjust type: '" + adjust + "' (expected 'pre', 'none' or 'both')");
}

std::optional<PriceFileName> parse_price_file_name(std::string_view name) {
    constexpr std::string_view ext = ".csv";
    if (name.size() <= ext.size() || name.substr(name.size() - ext.size()) != ext) return std::nullopt;
    std::string_view stem = name.substr(0, name.size() - ext.size());
    PriceFileName out;
    for (std::string_view adjust : {std::string_view("pre"), std::string_view("none")}) {
        const std::size_t n = adjust.size() + 1;
        if (stem.size() > n && stem[stem.size() - n] == '.' && stem.substr(stem.size() - adjust.size()) == adjust) {
            out.instrument = std::string(stem.substr(0, stem.size() - n));
            out.adjusts = {std::string(adjust)};
            return out;
        }
    }
    out.instrument = std::string(stem);
    out.adjusts = {"pre", "none"};
    return out;
}

std::vector<PriceFile> list_price_files(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) throw kestrel::ValueError("not a directory: '" + dir + "'");
    std::vector<std::pair<std::string, PriceFile>> found;  // (file name, file)
    fs::directory_iterator it(dir, ec);
    if (ec) throw kestrel::ValueError("cannot read directory '" + dir + "': " + ec.message());
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        if (!entry.is_regular_file(ec)) continue;
        const auto parsed = parse_price_file_name(name);
        if (!parsed) continue;
        found.push_back({name, PriceFile{entry.path().string(), parsed->instrument, parsed->adjusts}});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    if (found.empty()) throw kestrel::ValueError("no price files (*.csv) in '" + dir + "'");

    std::map<std::pair<std::string, std::string>, std::string> owner;
    std::vector<PriceFile> out;
    for (auto& [name, file] : found) {
        for (const auto& adjust : file.adjusts) {
            const auto [o, inserted] = owner.emplace(std::make_pair(file.instrument, adjust), name);
            if (!inserted)
                throw kestrel::ValueError("'" + dir + "': both " + o->second + " and " + name + " hold " +
                                          file.instrument + " prices of adjust type '" + adjust + "'");
        }
        out.push_back(std::move(file));
    }
    return out;
}

std::size_t load_directory(MemoryStore& store, const std::string& dir) {
    const auto files = list_price_files(dir);
    std::vector<CsvRows> rows;
    rows.reserve(files.size());
    for (const auto& f : files) rows.push_back(read_csv(f.path));
    std::size_t n = 0;
    for (std::size_t i = 0; i < files.size(); ++i)
        for (std::size_t a = 0; a < files[i].adjusts.size(); ++a) {
            n += rows[i].bars.size();
            const bool last = a + 1 == files[i].adjusts.size();
            store.add_checked(files[i].instrument, files[i].adjusts[a],
                              last ? std::move(rows[i].bars) : rows[i].bars);
        }
    return n;
}

}  // namespace heron
