// Fuzzes the date parser and the observation schedules: any input must end in
// a schedule or a kestrel::Error, never a crash or a hang.
#include <kestrel/utils.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Splits the input on '|' into tokens: start, end, then a frequency token or
// a list of dates.
std::vector<std::string_view> split(std::string_view s) {
    std::vector<std::string_view> out;
    while (true) {
        const auto p = s.find('|');
        out.push_back(s.substr(0, p));
        if (p == std::string_view::npos) break;
        s.remove_prefix(p + 1);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto tokens = split(input);
    try {
        const auto start = kestrel::utils::parse_date(tokens[0]);
        if (tokens.size() < 3) return 0;
        const auto end = kestrel::utils::parse_date(tokens[1]);
        // Keep each schedule to a bounded number of days.
        if (end - start > 3660 || start - end > 3660) return 0;
        if (tokens.size() == 3) {
            const auto dates = kestrel::utils::get_obs_dates(start, end, tokens[2]);
            for (std::size_t i = 1; i < dates.size(); ++i)
                if (!(dates[i - 1] < dates[i])) __builtin_trap();
        } else {
            std::vector<QuantLib::Date> list;
            for (std::size_t i = 2; i < tokens.size(); ++i) list.push_back(kestrel::utils::parse_date(tokens[i]));
            const auto dates = kestrel::utils::get_obs_dates(start, end, list);
            for (std::size_t i = 1; i < dates.size(); ++i)
                if (!(dates[i - 1] < dates[i])) __builtin_trap();
        }
    } catch (const kestrel::Error&) {
    }
    return 0;
}
