#pragma once
// Random values from the operating system's cryptographic source.
#include <cstdint>

namespace keygen {

// A value from 0 to 2^31-1. Throws std::system_error when the system
// cannot supply random bytes; there is no weaker fallback. Throws
// std::runtime_error when the source fails its health test: the same value
// six times in a row, or getrandom interrupted a thousand times in a row.
// Only this source is tested: a source installed with set_value_source is
// called directly and may repeat as its test needs.
std::uint32_t system_value();

// Wipes the random bytes still buffered; later values come from new ones.
void discard_system_values() noexcept;

}  // namespace keygen
