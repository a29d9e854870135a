#include "primes/primes.hpp"

#include <algorithm>
#include <array>

namespace primes {

namespace {

constexpr bool is_odd_prime(unsigned n)
{
    for (unsigned d = 3; d * d <= n; d += 2) {
        if (n % d == 0) {
            return false;
        }
    }
    return n > 2 && n % 2 == 1;
}

constexpr std::size_t count_primes()
{
    std::size_t count = 0;
    for (unsigned n = 3; n < sieve_bound; n += 2) {
        count += is_odd_prime(n) ? 1 : 0;
    }
    return count;
}

// p divides y exactly when y / p modulo 2^64 is at most (2^64 - 1) / p.
struct small_prime {
    std::uint64_t inverse = 0;
    std::uint64_t most = 0;
};

constexpr auto small_primes = [] {
    std::array<small_prime, count_primes()> primes{};
    std::size_t i = 0;
    for (unsigned n = 3; n < sieve_bound; n += 2) {
        if (is_odd_prime(n)) {
            primes[i++] = {inverse_mod_word(n), UINT64_MAX / n};
        }
    }
    return primes;
}();

constexpr std::array<unsigned, count_primes()> prime_values = [] {
    std::array<unsigned, count_primes()> values{};
    std::size_t i = 0;
    for (unsigned n = 3; n < sieve_bound; n += 2) {
        if (is_odd_prime(n)) {
            values[i++] = n;
        }
    }
    return values;
}();

// Consecutive primes whose product m is below 2^61, with 2^(64k) mod m:
// the limbs' products with those constants then sum below 2^128.
constexpr std::uint64_t group_limit = std::uint64_t{1} << 61;

struct prime_group {
    std::array<std::uint64_t, number_limbs> limb_weight{};  // 2^(64k) mod m
    std::uint64_t product = 1;
    std::uint64_t neg_inverse = 0;  // -1/m modulo 2^64
    std::size_t first = 0;
    std::size_t last = 0;
};

constexpr prime_group group_from(std::size_t first)
{
    prime_group g;
    g.first = first;
    g.last = first;
    while (g.last < prime_values.size() && g.product < group_limit / prime_values[g.last]) {
        g.product *= prime_values[g.last++];
    }
    g.neg_inverse = 0 - inverse_mod_word(g.product);
    const auto word = static_cast<std::uint64_t>((uint128{1} << 64) % g.product);
    g.limb_weight[0] = 1;
    for (std::size_t k = 1; k < number_limbs; ++k) {
        const uint128 weight = static_cast<uint128>(g.limb_weight[k - 1]) * word % g.product;
        g.limb_weight[k] = static_cast<std::uint64_t>(weight);
    }
    return g;
}

constexpr std::size_t count_groups()
{
    std::size_t groups = 0;
    for (std::size_t i = 0; i < prime_values.size(); i = group_from(i).last) {
        ++groups;
    }
    return groups;
}

constexpr auto prime_groups = [] {
    std::array<prime_group, count_groups()> groups{};
    std::size_t i = 0;
    for (auto& group : groups) {
        group = group_from(i);
        i = group.last;
    }
    return groups;
}();

// A word congruent to n / 2^64 modulo the group's product: the weighted
// limbs summed (below 6 * 2^125), then one Montgomery step to one word.
std::uint64_t folded(const limb_number& n, const prime_group& g)
{
    uint128 sum = n[0];
    for (std::size_t k = 1; k < number_limbs; ++k) {
        sum += uint128{n[k]} * g.limb_weight[k];
    }
    const std::uint64_t q = static_cast<std::uint64_t>(sum) * g.neg_inverse;
    return static_cast<std::uint64_t>((sum + uint128{q} * g.product) >> 64);
}

bool group_divides(const limb_number& n, const prime_group& g)
{
    const std::uint64_t y = folded(n, g);
    for (std::size_t i = g.first; i < g.last; ++i) {
        if (y * small_primes[i].inverse <= small_primes[i].most) {
            return true;
        }
    }
    return false;
}

bool below_bound(const limb_number& n)
{
    for (std::size_t k = 1; k < number_limbs; ++k) {
        if (n[k] != 0) {
            return false;
        }
    }
    return n[0] < sieve_bound;
}

}  // namespace

bool has_small_factor(const limb_number& n, unsigned bound) noexcept
{
    if (below_bound(n)) {
        return false;
    }
    for (const prime_group& group : prime_groups) {
        if (prime_values[group.first] >= bound) {
            break;
        }
        if (group_divides(n, group)) {
            return true;
        }
    }
    return false;
}

// One loop for both forms: the bound's test costs nothing beside a group's
// multiplications.
bool has_small_factor(const limb_number& n) noexcept { return has_small_factor(n, sieve_bound); }

}  // namespace primes
