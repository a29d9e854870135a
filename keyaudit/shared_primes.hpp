#pragma once
// Batch GCD: which moduli of a fleet share a prime with another, found
// through a product tree and a remainder tree rather than every pair.
#include <gmpxx.h>

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace keyaudit {

// What the batch GCD found for one input modulus.
struct shared_prime_result {
    std::vector<std::size_t> shares_with;  // other inputs with a common prime and a different N
    std::vector<std::size_t> same_key_as;  // other inputs with the identical N
    // A proper factor of N that the others give away, 0 when none does.
    // For N = P*Q with either prime shared it is P or Q, never 0, and the
    // smaller prime is min(factor, N / factor).
    mpz_class factor;
};

// One result per modulus, in input order, with ascending indices. Every N
// must be above 1 (std::domain_error otherwise). The cost is quasi-linear in
// the fleet's digits, plus pairwise work among the keys whose primes are all
// shared, and the distinct primes those hold; the lists themselves are as
// long as the clusters they describe.
// With stop, it checks between the levels of its trees and throws
// comparison_stopped once stop is nonzero.
std::vector<shared_prime_result> find_shared_primes(const std::vector<mpz_class>& moduli,
                                                    const std::atomic<int>* stop = nullptr);

class comparison_stopped : public std::runtime_error {
public:
    comparison_stopped() : std::runtime_error("the comparison of the keys was stopped") {}
};

}  // namespace keyaudit
