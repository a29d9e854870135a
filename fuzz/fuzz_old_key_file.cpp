// keyaudit's lenient reading on any bytes: no key line means no key; a
// key read is one the strict reader takes as the writer writes it; a
// refusal names a line of the input.
#include "fuzz/fuzz_input.hpp"
#include "keyaudit/old_key_file.hpp"
#include "keyfile/key_writer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

bool has_key_line(std::string_view text)
{
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        std::string_view line = text.substr(from, end - from);
        line.remove_prefix(std::min(line.find_first_not_of(" \t\r\v\f"), line.size()));
        if (line.starts_with("Auth")) {
            return true;
        }
        from = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    keyfile::parsed_key key;
    try {
        if (keyaudit::parse_key_leniently(text, "f", key) == keyaudit::key_kind::not_a_key) {
            fuzzing::check(!has_key_line(text), "a key line taken for no key");
            return 0;
        }
    } catch (const keyfile::key_error& e) {
        fuzzing::check(e.line() >= 1 && e.line() <= lines + 1, "line out of range");
        return 0;
    }
    keyfile::parsed_key again;
    try {
        keyfile::parse_key(fuzzing::written(key), "f", again);
    } catch (const keyfile::key_error&) {
        fuzzing::check(false, "read a key the strict reader refuses once written");
    }
    fuzzing::check(again.n == key.n && again.whole == key.whole, "N changed on the way");
    return 0;
}
