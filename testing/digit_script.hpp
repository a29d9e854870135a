#pragma once
// Scripts a draw of an exact text: one value per digit, so a 0 digit is a
// value 0 and the text comes out as written.
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

inline std::vector<std::uint32_t> values_for_text(const std::string& text)
{
    std::vector<std::uint32_t> values;
    for (const char c : text) {
        values.push_back(static_cast<std::uint32_t>(c - '0'));
    }
    return values;
}

inline std::vector<std::uint32_t> operator+(std::vector<std::uint32_t> a,
                                            const std::vector<std::uint32_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A 100-character text of the number n with leading zeros.
inline std::string padded(const std::string& n) { return std::string(100 - n.size(), '0') + n; }

}  // namespace testing_support
