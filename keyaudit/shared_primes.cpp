#include "keyaudit/shared_primes.hpp"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace keyaudit {

namespace {

using level = std::vector<mpz_class>;

// From the leaves up to their product; a node without a partner goes up
// alone, which keeps the tree's shape independent of the values.
void check(const std::atomic<int>* stop)
{
    if (stop != nullptr && *stop != 0) {
        throw comparison_stopped();
    }
}

std::vector<level> product_tree(level leaves, const std::atomic<int>* stop)
{
    std::vector<level> levels;
    levels.push_back(std::move(leaves));
    while (levels.back().size() > 1) {
        check(stop);
        const level& below = levels.back();
        level above((below.size() + 1) / 2);
        for (std::size_t k = 0; k + 1 < below.size(); k += 2) {
            mpz_mul(above[k / 2].get_mpz_t(), below[k].get_mpz_t(), below[k + 1].get_mpz_t());
        }
        if (below.size() % 2 != 0) {
            above.back() = below.back();
        }
        levels.push_back(std::move(above));
    }
    return levels;
}

// gcd(N, product of the other leaves) for every leaf N. Reducing the product
// mod each node's square, rather than its value, keeps the leaf's own factor
// N in the remainder, so (product mod N^2) / N is the others' product mod N.
level shared_parts(const std::vector<level>& levels, const std::atomic<int>* stop)
{
    level remainders = levels.back();
    mpz_class square;
    for (std::size_t l = levels.size() - 1; l-- > 0;) {
        check(stop);
        const level& nodes = levels[l];
        level below(nodes.size());
        for (std::size_t k = 0; k < nodes.size(); ++k) {
            mpz_mul(square.get_mpz_t(), nodes[k].get_mpz_t(), nodes[k].get_mpz_t());
            mpz_mod(below[k].get_mpz_t(), remainders[k / 2].get_mpz_t(), square.get_mpz_t());
        }
        remainders = std::move(below);
    }
    const level& leaves = levels.front();
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        mpz_divexact(remainders[k].get_mpz_t(), remainders[k].get_mpz_t(), leaves[k].get_mpz_t());
        mpz_gcd(remainders[k].get_mpz_t(), remainders[k].get_mpz_t(), leaves[k].get_mpz_t());
    }
    return remainders;
}

// Pairwise coprime numbers, ascending, over which every value factors: two
// values then share a prime exactly when one element divides both, however
// many primes they hold. A common part splits both numbers it came from,
// until nothing is left to split; each split shrinks the product of all
// numbers in play, so it ends.
level coprime_base(const level& values)
{
    level base;
    level pending;
    mpz_class common;
    for (const mpz_class& value : values) {
        pending.push_back(value);
        while (!pending.empty()) {
            mpz_class x = std::move(pending.back());
            pending.pop_back();
            if (x == 1) {
                continue;
            }
            std::size_t e = 0;
            for (; e < base.size(); ++e) {
                mpz_gcd(common.get_mpz_t(), x.get_mpz_t(), base[e].get_mpz_t());
                if (common != 1) {
                    break;
                }
            }
            if (e == base.size()) {
                base.push_back(std::move(x));
                continue;
            }
            if (common == x && common == base[e]) {
                continue;
            }
            mpz_class element = std::move(base[e]);
            base[e] = std::move(base.back());
            base.pop_back();
            mpz_divexact(element.get_mpz_t(), element.get_mpz_t(), common.get_mpz_t());
            mpz_divexact(x.get_mpz_t(), x.get_mpz_t(), common.get_mpz_t());
            pending.push_back(common);
            pending.push_back(std::move(element));
            pending.push_back(std::move(x));
        }
    }
    std::sort(base.begin(), base.end());
    return base;
}

// The others of a group, each group's members ascending.
std::vector<std::size_t> others(const std::vector<std::size_t>& group, std::size_t self)
{
    std::vector<std::size_t> rest;
    std::copy_if(group.begin(), group.end(), std::back_inserter(rest),
                 [self](std::size_t i) { return i != self; });
    return rest;
}

}  // namespace

std::vector<shared_prime_result> find_shared_primes(const std::vector<mpz_class>& moduli,
                                                    const std::atomic<int>* stop)
{
    if (std::any_of(moduli.begin(), moduli.end(), [](const mpz_class& n) { return n <= 1; })) {
        throw std::domain_error("find_shared_primes: a modulus is not above 1");
    }
    std::vector<shared_prime_result> results(moduli.size());
    if (moduli.empty()) {
        return results;
    }

    // The same N twice would give gcd = N: the tree holds each value once.
    std::vector<std::size_t> order(moduli.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&moduli](std::size_t a, std::size_t b) { return moduli[a] < moduli[b]; });
    level distinct;
    std::vector<std::vector<std::size_t>> inputs_of;  // ascending, by the stable sort
    for (const std::size_t i : order) {
        if (distinct.empty() || moduli[i] != distinct.back()) {
            distinct.push_back(moduli[i]);
            inputs_of.emplace_back();
        }
        inputs_of.back().push_back(i);
    }
    for (const auto& inputs : inputs_of) {
        for (const std::size_t i : inputs) {
            results[i].same_key_as = others(inputs, i);
        }
    }

    const level parts = shared_parts(product_tree(distinct, stop), stop);
    std::vector<std::size_t> hits;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (parts[k] != 1) {
            hits.push_back(k);
        }
    }
    if (hits.empty()) {
        return results;
    }

    // Many hits carry the same prime: what follows works on each distinct
    // shared part once.
    std::stable_sort(hits.begin(), hits.end(),
                     [&parts](std::size_t a, std::size_t b) { return parts[a] < parts[b]; });
    level values;
    std::vector<std::size_t> runs;  // where each value's hits start in hits
    for (std::size_t h = 0; h < hits.size(); ++h) {
        if (values.empty() || parts[hits[h]] != values.back()) {
            values.push_back(parts[hits[h]]);
            runs.push_back(h);
        }
    }
    runs.push_back(hits.size());

    // A part coprime to every other part is an element as it stands, which
    // spares the pairwise work to all but the parts that share among
    // themselves: those of keys with both primes shared, and their partners.
    const level links = shared_parts(product_tree(values, stop), stop);
    level tangled;
    for (std::size_t v = 0; v < values.size(); ++v) {
        if (links[v] != 1) {
            tangled.push_back(values[v]);
        }
    }
    level base = coprime_base(tangled);
    const std::size_t split = base.size();

    std::vector<std::vector<std::size_t>> members(split + values.size() - tangled.size());
    std::vector<std::vector<std::size_t>> elements_of(distinct.size());  // ascending
    for (std::size_t v = 0; v < values.size(); ++v) {
        std::vector<std::size_t> divisors;
        if (links[v] == 1) {
            divisors.push_back(base.size());
            base.push_back(values[v]);
        }
        for (std::size_t e = 0; e < split && links[v] != 1; ++e) {
            if (mpz_divisible_p(values[v].get_mpz_t(), base[e].get_mpz_t()) != 0) {
                divisors.push_back(e);
            }
        }
        for (const std::size_t e : divisors) {
            for (std::size_t h = runs[v]; h < runs[v + 1]; ++h) {
                members[e].push_back(hits[h]);
                elements_of[hits[h]].push_back(e);
            }
        }
    }

    for (const std::size_t k : hits) {
        std::vector<std::size_t> sharers;
        for (const std::size_t e : elements_of[k]) {
            sharers.insert(sharers.end(), members[e].begin(), members[e].end());
        }
        std::sort(sharers.begin(), sharers.end());
        sharers.erase(std::unique(sharers.begin(), sharers.end()), sharers.end());
        std::vector<std::size_t> inputs;
        for (const std::size_t s : sharers) {
            if (s != k) {
                inputs.insert(inputs.end(), inputs_of[s].begin(), inputs_of[s].end());
            }
        }
        std::sort(inputs.begin(), inputs.end());

        // When every prime of N is shared, N's part is N itself and the split
        // parts hold its primes apart, smallest first, unless they only ever
        // occur together.
        mpz_class factor = parts[k];
        if (factor == distinct[k]) {
            const auto proper = std::find_if(elements_of[k].begin(), elements_of[k].end(),
                                             [&](std::size_t e) { return base[e] != distinct[k]; });
            factor = proper == elements_of[k].end() ? mpz_class(0) : base[*proper];
        }
        for (const std::size_t i : inputs_of[k]) {
            results[i].shares_with = inputs;
            results[i].factor = factor;
        }
    }
    return results;
}

}  // namespace keyaudit
