#pragma once
// What keyaudit does with its command line.
#include "foundation/stop_signals.hpp"
#include "keyaudit/options.hpp"

namespace keyaudit {

// Runs the action and returns the exit status.
int run(const options& o, const foundation::stop_flag& stop);

}  // namespace keyaudit
