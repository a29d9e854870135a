#pragma once
// --make-index and --merge-index: an index written as keygen -o writes a
// key, complete at its name or not there at all.
#include "keyaudit/options.hpp"

namespace keyaudit {

// Both return the exit status, and throw for a failure.
int make_index(const options& o);
int merge_index(const options& o);

}  // namespace keyaudit
