#pragma once
// Random values from the operating system's cryptographic source.
#include <cstdint>

namespace keygen {

// A value from 0 to 2^31-1. Throws std::system_error when the system
// cannot supply random bytes; there is no weaker fallback.
std::uint32_t system_value();

// Wipes the random bytes still buffered; later values come from new ones.
void discard_system_values() noexcept;

}  // namespace keygen
