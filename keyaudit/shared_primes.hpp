#pragma once
// Batch GCD: which moduli of a fleet share a prime with another, found
// through a product tree and a remainder tree rather than every pair.
#include <gmpxx.h>

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace keyaudit {

struct shared_prime_settings {
    const std::atomic<int>* stop = nullptr;  // acted on within a second
    unsigned threads = 1;
    bool small_factors = false;  // also find moduli with a prime factor below 10^6
};

inline constexpr std::size_t listed_most = 16;
inline constexpr std::size_t no_group = static_cast<std::size_t>(-1);

// What the batch GCD found for one input modulus. Lists hold input indices,
// ascending, at most listed_most of them; the counts are exact.
struct shared_prime_result {
    std::vector<std::size_t> shares_with;  // the first of the others that share a prime
    std::size_t shares_with_count = 0;     // all of them (a different N, a common prime)
    // Smallest input index of the keys joined to this one through shared
    // primes, copies of their N included; no_group when it shares none.
    std::size_t group = no_group;
    std::vector<std::size_t> same_key_as;  // the first of the others with the identical N
    std::size_t same_key_count = 0;        // all of them
    // A proper factor of N that the others give away, 0 when none does.
    // For N = P*Q with either prime shared it is P or Q, never 0, and the
    // smaller prime is min(factor, N / factor).
    mpz_class factor;
    // With settings.small_factors: N has a prime factor below 10^6. Such a
    // key is no key at all: its result holds nothing else, and it is in no
    // other key's result, nor makes another key share.
    bool small_factor = false;
};

// One result per modulus, in input order. Every N must be above 1
// (std::domain_error otherwise). The size of the results is linear, and the
// cost quasi-linear in the fleet's digits for keys of two primes, however
// they share; moduli of more primes can cost more (sharing_lists.cpp and
// coprime_base.cpp say where). With threads, the nodes of each level of the
// trees are shared between them. With settings.stop, the work runs on a
// thread of its own and the call throws comparison_stopped within 50 ms of
// the flag turning nonzero; the work itself ends at its next node.
std::vector<shared_prime_result> find_shared_primes(const std::vector<mpz_class>& moduli,
                                                    const shared_prime_settings& settings = {});

class comparison_stopped : public std::runtime_error {
public:
    comparison_stopped() : std::runtime_error("the comparison of the keys was stopped") {}
};

}  // namespace keyaudit
