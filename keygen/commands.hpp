#pragma once
// What each verb of keygen's command line does.
#include "keygen/options.hpp"

namespace keygen {

// Runs the action the options name and returns the exit status. Throws on
// a failure that ends the run.
int run(const options& o);

}  // namespace keygen
