#pragma once
// From the parts the batch GCD gave the hits to each key's result: who
// shares with it, its group, the factor it gives away.
#include "keyaudit/batch_gcd.hpp"
#include "keyaudit/shared_primes.hpp"

#include <cstddef>
#include <vector>

namespace keyaudit {

struct distinct_moduli {
    batch::level values;                           // ascending
    std::vector<std::vector<std::size_t>> inputs;  // of each value, ascending
};

// hits: the values whose part is not 1.
void list_sharing(const distinct_moduli& d, const std::vector<std::size_t>& hits,
                  const batch::level& parts, std::vector<shared_prime_result>& results,
                  const batch::runner& run);

}  // namespace keyaudit
