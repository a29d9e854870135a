#pragma once
// The trees under find_shared_primes: products of moduli and what is
// carried down from them, each level split between threads, and a stop
// that is looked at before every node.
#include <gmpxx.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

namespace keyaudit::batch {

using level = std::vector<mpz_class>;
// Leaves first, up to the level of two nodes: nothing needs the root.
using tree = std::vector<level>;

class runner {
public:
    runner(const std::atomic<int>* stop, unsigned threads);
    // Throws comparison_stopped once the stop flag is nonzero.
    void check() const;
    runner alone() const { return {stop_, 1}; }
    // step(k) for every k below count, in contiguous shares, one a thread.
    void for_each(std::size_t count, const std::function<void(std::size_t)>& step) const;

private:
    const std::atomic<int>* stop_;
    unsigned threads_;
};

tree product_tree(level leaves, const runner& run);

// gcd(N, multiplier * the product of the other leaves) for every leaf N.
level shared_parts(tree nodes, const mpz_class& multiplier, const runner& run);
// The same of leaves alone, in about half the memory of their whole tree.
level shared_parts(const level& leaves, const mpz_class& multiplier, const runner& run);

// x mod N^2 for every leaf N.
level remainders_of_squares(const tree& nodes, const mpz_class& x, const runner& run);
// x mod N for every leaf N.
level remainders(const tree& nodes, const mpz_class& x, const runner& run);

}  // namespace keyaudit::batch
