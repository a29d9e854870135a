#pragma once
// What keyaudit does with its command line.
#include "keyaudit/options.hpp"

namespace keyaudit {

inline constexpr int exit_compromised = 1;
inline constexpr int exit_trouble = 2;

// Audits the files and returns the exit status: 1 when a key is
// compromised, else 128 plus the signal's number when a stop signal came,
// else 2 when an input could not be read or had an empty window, else 0.
int run(const options& o);

}  // namespace keyaudit
