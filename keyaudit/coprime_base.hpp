#pragma once
// Pairwise coprime numbers over which every one of some values factors:
// two values then share a prime exactly when one element divides both.
#include "keyaudit/batch_gcd.hpp"

#include <cstddef>
#include <vector>

namespace keyaudit::batch {

struct coprime_split {
    level elements;
    std::vector<std::vector<std::size_t>> elements_of;  // of each value, ascending
};

// values: distinct, above 1.
coprime_split split_into_coprimes(const level& values, const runner& run);

}  // namespace keyaudit::batch
