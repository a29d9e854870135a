#pragma once
// The report's lines: one an input, as text for a person or as a JSON
// object for a script.
#include "keyaudit/audit.hpp"
#include "keyaudit/inputs.hpp"
#include "keyaudit/key_index.hpp"

#include <optional>
#include <string>
#include <vector>

namespace keyaudit {

// How the search ended, for the inputs it did not find.
struct search_end {
    std::vector<libc> libcs;
    std::optional<std::uint32_t> through;  // every seed up to it searched
    bool stopped = false;                  // by a signal, before its end
    std::string failure;                   // why it could not go on, if it could not
    std::vector<index_shape> indexes;      // looked up instead of a replay, if any
};

// Input i's line, without its line feed; key is its search, if it had one.
std::string report_line(bool json, const std::vector<input>& inputs, std::size_t i,
                        const suspect* key, const search_end& end);

// A name as ls quotes it for a shell: as it is when that is plain, else in
// single quotes, or as $'...' when it holds control characters. A line
// then cannot be misread, whatever the name holds.
std::string quoted(const std::string& name);

// The same for a word of a command line: a leading ~ or = is quoted too.
std::string shell_word(const std::string& word);

}  // namespace keyaudit
