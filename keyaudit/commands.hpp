#pragma once
// What keyaudit does with its command line.
#include "keyaudit/options.hpp"

#include <atomic>

namespace keyaudit {

inline constexpr int exit_compromised = 1;
inline constexpr int exit_trouble = 2;

// Audits the files and returns the exit status: 1 when a key is
// compromised, else 2 when an input could not be read, else 0; 128 plus
// the signal's number when stop was set by one.
int run(const options& o, const std::atomic<int>& stop);

}  // namespace keyaudit
