#include "keyaudit/seed_window.hpp"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>
#include <stdexcept>

namespace keyaudit {

namespace {

bool digits_at(const std::string& s, std::size_t first, std::size_t count)
{
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(first),
                       s.begin() + static_cast<std::ptrdiff_t>(first + count),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

int field(const std::string& s, std::size_t first, std::size_t count)
{
    return std::stoi(s.substr(first, count));
}

// The time of day after a date: THH:MM:SSZ, or " HH:MM:SS UTC" as the
// report writes it.
bool time_of_day(const std::string& s)
{
    const bool iso = s.size() == 20 && s[10] == 'T' && s[19] == 'Z';
    const bool report = s.size() == 23 && s[10] == ' ' && s.compare(19, 4, " UTC") == 0;
    return (iso || report) && digits_at(s, 11, 2) && s[13] == ':' && digits_at(s, 14, 2) &&
           s[16] == ':' && digits_at(s, 17, 2);
}

// YYYY-MM-DD, then optionally a time of day; nothing when it is neither.
std::optional<std::int64_t> calendar_seconds(const std::string& s, bound which)
{
    const bool date_only = s.size() == 10;
    if (!(date_only || time_of_day(s)) || !digits_at(s, 0, 4) || s[4] != '-' ||
        !digits_at(s, 5, 2) || s[7] != '-' || !digits_at(s, 8, 2)) {
        return std::nullopt;
    }
    std::tm t{};
    t.tm_year = field(s, 0, 4) - 1900;
    t.tm_mon = field(s, 5, 2) - 1;
    t.tm_mday = field(s, 8, 2);
    if (date_only) {
        t.tm_hour = which == bound::to ? 23 : 0;
        t.tm_min = t.tm_sec = which == bound::to ? 59 : 0;
    } else {
        t.tm_hour = field(s, 11, 2);
        t.tm_min = field(s, 14, 2);
        t.tm_sec = field(s, 17, 2);
    }
    const std::tm asked = t;
    const std::time_t seconds = timegm(&t);
    // timegm carries 31 February into March; such a date is not one.
    if (t.tm_mday != asked.tm_mday || t.tm_mon != asked.tm_mon || t.tm_hour != asked.tm_hour ||
        t.tm_min != asked.tm_min || t.tm_sec != asked.tm_sec) {
        return std::nullopt;
    }
    return seconds;
}

}  // namespace

std::uint32_t parse_when(const std::string& when, bound which)
{
    std::optional<std::int64_t> seconds;
    if (when.size() > 1 && when.size() <= 12 && when[0] == '@' &&
        digits_at(when, 1, when.size() - 1)) {
        seconds = std::stoll(when.substr(1));
    } else {
        seconds = calendar_seconds(when, which);
    }
    if (!seconds) {
        throw std::invalid_argument("not a time: " + when +
                                  " (YYYY-MM-DD, YYYY-MM-DDTHH:MM:SSZ, YYYY-MM-DD HH:MM:SS UTC or @SECONDS)");
    }
    if (*seconds < 0 || *seconds > last_seed) {
        throw std::invalid_argument("outside the 32-bit seeds: " + when + " (from " + utc_text(0) +
                                  " to " + utc_text(last_seed) + ")");
    }
    return static_cast<std::uint32_t>(*seconds);
}

std::string utc_text(std::int64_t seconds, const char* format)
{
    const std::time_t t = seconds;
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32] = "";
    (void)std::strftime(text, sizeof text, format, &utc);
    return text;
}

std::vector<window> join_windows(std::vector<window> windows)
{
    std::sort(windows.begin(), windows.end(),
              [](const window& a, const window& b) { return a.first < b.first; });
    std::vector<window> joined;
    for (const window& w : windows) {
        if (!joined.empty() && std::int64_t{w.first} <= std::int64_t{joined.back().last} + 1) {
            joined.back().last = std::max(joined.back().last, w.last);
        } else {
            joined.push_back(w);
        }
    }
    return joined;
}

}  // namespace keyaudit
