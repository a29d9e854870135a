#pragma once
// One audit, in phases: collect the inputs, read them, compare the keys,
// search, report; then the exit status, decided once.
#include "foundation/stop_signals.hpp"
#include "keyaudit/options.hpp"

namespace keyaudit {

// Returns the exit status (see outcome.hpp). stop is the flag the stop
// signals set.
int run_audit(const options& o, const foundation::stop_flag& stop);

}  // namespace keyaudit
