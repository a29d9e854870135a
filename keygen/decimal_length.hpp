#pragma once
// The length of a value's plain decimal text, without writing it.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace keygen {

inline constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t p = 1;
    for (auto& power : powers) {
        power = p;
        p *= 10;
    }
    return powers;
}();

// 0 is written as one digit.
constexpr std::size_t decimal_length(std::uint32_t v)
{
    // 1233/4096 is just above log10(2).
    const auto guess = static_cast<std::size_t>((std::bit_width(v) * 1233) >> 12);
    return guess + (v >= powers_of_ten[guess] || v == 0 ? 1 : 0);
}

}  // namespace keygen
