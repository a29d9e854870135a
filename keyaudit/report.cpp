#include "keyaudit/report.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>
#include <cstdio>

namespace keyaudit {

namespace {

using json = nlohmann::ordered_json;


// "b", or "b and 3 more"
std::string others(const std::vector<input>& inputs, const std::vector<std::size_t>& which, std::size_t count)
{
    const std::string first = quoted(inputs[which.front()].name);
    return count <= 1 ? first : first + " and " + std::to_string(count - 1) + " more";
}

// What the line says of the search: the part of the window searched, and
// whether a signal cut it short.
struct searched {
    std::optional<window> part;
    bool interrupted;
};

searched how_far(const suspect& key, const search_end& end)
{
    const window& w = key.seeds;
    if ((!end.stopped && end.failure.empty()) || (end.through && *end.through >= w.last)) {
        return {w, false};
    }
    if (end.through && *end.through >= w.first) {
        return {window{w.first, *end.through}, true};
    }
    return {std::nullopt, true};
}

// Per stream, the seconds the indexes cover, joined; streams that cover
// the same seconds go together, in the order of reports.
struct covered {
    std::vector<window> seconds;
    std::vector<libc> libcs;
};

bool same_windows(const std::vector<window>& a, const std::vector<window>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const window& x, const window& y) { return x.first == y.first && x.last == y.last; });
}

std::vector<covered> coverage(const std::vector<index_shape>& indexes)
{
    std::vector<covered> parts;
    for (const libc which : all_libcs) {
        std::vector<window> seconds;
        for (const index_shape& s : indexes) {
            if (std::find(s.libcs.begin(), s.libcs.end(), which) != s.libcs.end()) {
                seconds.push_back(s.seeds);
            }
        }
        if (seconds.empty()) {
            continue;
        }
        seconds = join_windows(seconds);
        const auto same = std::find_if(parts.begin(), parts.end(),
                                       [&seconds](const covered& c) { return same_windows(c.seconds, seconds); });
        if (same != parts.end()) {
            same->libcs.push_back(which);
        } else {
            parts.push_back({seconds, {which}});
        }
    }
    return parts;
}

// "from A to B (glibc, musl) and from C to D (newlib)"
std::string coverage_text(const std::vector<index_shape>& indexes)
{
    std::string text;
    for (const covered& part : coverage(indexes)) {
        for (const window& w : part.seconds) {
            text += (text.empty() ? "" : " and ") + std::string("from ") + utc_text(w.first) + " to " + utc_text(w.last);
        }
        text += " (" + libc_names(part.libcs, ", ") + ")";
    }
    return text;
}

std::vector<std::string> names_of(const std::vector<libc>& libcs)
{
    std::vector<std::string> names(libcs.size());
    std::transform(libcs.begin(), libcs.end(), names.begin(), [](libc which) { return std::string(libc_name(which)); });
    return names;
}

std::string search_text(const suspect& key, const search_end& end)
{
    if (key.made_at) {
        return "COMPROMISED: made at " + utc_text(*key.made_at) + " (seed " + std::to_string(*key.made_at) +
               ", " + libc_name(key.made_by) + ")";
    }
    const searched s = how_far(key, end);
    if (!end.failure.empty() && s.interrupted) {
        return "error: not searched to the end: " + end.failure;
    }
    if (!s.part) {
        return "not searched (interrupted)";
    }
    if (!end.indexes.empty()) {
        return "not found in the index " + coverage_text(end.indexes);
    }
    return "not found from " + utc_text(s.part->first) + " to " + utc_text(s.part->last) + " (" +
           libc_names(end.libcs, ", ") + ")" + (s.interrupted ? " (interrupted)" : "");
}

std::string text_line(const std::vector<input>& inputs, std::size_t i, const suspect* key,
                      const search_end& end)
{
    const input& in = inputs[i];
    std::string line = quoted(in.name) + ": ";
    switch (in.what) {
    case input::state::unread:
        return line + "not read (interrupted)";
    case input::state::skipped:
        return line + "skipped: " + in.error;
    case input::state::failed:
        return line + "error: " + in.error;
    case input::state::ready:
        break;
    }
    if (!in.shares_with.empty()) {
        line += "COMPROMISED: shares a prime with " + others(inputs, in.shares_with, in.shares_with_count);
    } else {
        line += search_text(*key, end);
    }
    if (!in.same_key_as.empty()) {
        line += "; same key as " + others(inputs, in.same_key_as, in.same_key_count);
    }
    return line;
}

json file_names(const std::vector<input>& inputs, const std::vector<std::size_t>& which)
{
    std::vector<std::string> files(which.size());
    std::transform(which.begin(), which.end(), files.begin(),
                   [&inputs](std::size_t k) { return inputs[k].name; });
    return files;
}

// As a replay's fields when the indexes cover one window; each part of
// what they cover in "coverage" always.
void index_fields(json& line, const std::vector<index_shape>& indexes)
{
    const std::vector<covered> parts = coverage(indexes);
    if (parts.size() == 1 && parts.front().seconds.size() == 1) {
        line["from"] = utc_text(parts.front().seconds.front().first, iso_time);
        line["to"] = utc_text(parts.front().seconds.front().last, iso_time);
        line["libcs"] = names_of(parts.front().libcs);
    }
    json all = json::array();
    for (const covered& part : parts) {
        std::transform(part.seconds.begin(), part.seconds.end(), std::back_inserter(all), [&part](const window& w) {
            return json{{"from", utc_text(w.first, iso_time)}, {"to", utc_text(w.last, iso_time)},
                        {"libcs", names_of(part.libcs)}};
        });
    }
    line["index"] = true;
    line["coverage"] = all;
}

void search_fields(json& line, const suspect& key, const search_end& end)
{
    if (key.made_at) {
        line["status"] = "compromised";
        line["reason"] = "seed";
        line["seed"] = *key.made_at;
        line["libc"] = libc_name(key.made_by);
        line["made_at"] = utc_text(*key.made_at, iso_time);
        return;
    }
    const searched s = how_far(key, end);
    const bool failed = !end.failure.empty() && s.interrupted;
    line["status"] = failed ? "error" : "not_found";
    if (failed) {
        line["error"] = "not searched to the end: " + end.failure;
    }
    if (!end.indexes.empty() && s.part) {
        index_fields(line, end.indexes);
    } else {
        if (s.part) {
            line["from"] = utc_text(s.part->first, iso_time);
            line["to"] = utc_text(s.part->last, iso_time);
        }
        line["libcs"] = names_of(end.libcs);
    }
    if (s.interrupted && !failed) {
        line["interrupted"] = true;
    }
}

void state_fields(json& line, const input& in)
{
    switch (in.what) {
    case input::state::unread:
        line["status"] = "error";
        line["error"] = "not read";
        line["interrupted"] = true;
        break;
    case input::state::skipped:
        line["status"] = "skipped";
        line["reason"] = in.error;
        break;
    default:
        line["status"] = "error";
        line["error"] = in.error;
        break;
    }
}

std::string json_line(const std::vector<input>& inputs, std::size_t i, const suspect* key,
                      const search_end& end)
{
    const input& in = inputs[i];
    json line;
    line["file"] = in.name;
    if (in.what != input::state::ready) {
        state_fields(line, in);
    } else if (!in.shares_with.empty()) {
        line["status"] = "compromised";
        line["reason"] = "shared_prime";
        line["shares_with"] = file_names(inputs, in.shares_with);
        line["shares_with_count"] = in.shares_with_count;
        line["shared_prime_group"] = in.shared_group;
    } else {
        search_fields(line, *key, end);
    }
    if (!in.same_key_as.empty()) {
        line["same_key_as"] = file_names(inputs, in.same_key_as);
        line["same_key_count"] = in.same_key_count;
    }
    // A name that is not UTF-8 still makes valid JSON, its stray bytes
    // shown as U+FFFD.
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool plain(const std::string& name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || std::string_view("@%+=,./_-~").find(static_cast<char>(c)) !=
                                           std::string_view::npos;
    });
}

}  // namespace

std::string quoted(const std::string& name)
{
    if (plain(name) || name == "(standard input)") {
        return name;
    }
    const bool control = std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    std::string text = control ? "$'" : "'";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!control) {
            text += c == '\'' ? std::string("'\\''") : std::string(1, c);
        } else if (c == '\n' || c == '\t' || c == '\\' || c == '\'') {
            text += std::string("\\") + (c == '\n' ? 'n' : c == '\t' ? 't' : c);
        } else if (u < 0x20 || u == 0x7f) {
            char hex[8];
            (void)std::snprintf(hex, sizeof hex, "\\x%02x", u);
            text += hex;
        } else {
            text += c;
        }
    }
    return text + "'";
}

std::string shell_word(const std::string& word)
{
    if (!word.empty() && (word.front() == '~' || word.front() == '=') && plain(word)) {
        return "'" + word + "'";
    }
    return word == "(standard input)" ? "'" + word + "'" : quoted(word);
}

std::string report_line(bool json, const std::vector<input>& inputs, std::size_t i,
                        const suspect* key, const search_end& end)
{
    return json ? json_line(inputs, i, key, end) : text_line(inputs, i, key, end);
}

}  // namespace keyaudit
