#pragma once
// The comparison of every key with every other: shared primes, the same N
// in several files, and the small factors that make a public key invalid.
#include "foundation/stop_signals.hpp"
#include "keyaudit/inputs.hpp"

#include <vector>

namespace keyaudit {

// Marks the ready inputs that share a prime or their N with another, and
// fails those with a prime factor below 10^6. Throws comparison_stopped
// when stop is set before it is done; then nothing is marked.
void compare_keys(std::vector<input>& inputs, unsigned threads, const foundation::stop_flag& stop);

}  // namespace keyaudit
