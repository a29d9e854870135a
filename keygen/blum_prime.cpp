#include "keygen/blum_prime.hpp"

#include "keygen/random_decimal.hpp"

#include <array>
#include <cstdint>

namespace keygen {

namespace {

// Odd primes trial-divided before the primality test. The bound was set by
// counting the search's instructions under callgrind (100 primes: 812M at
// 300, 710M at 2000, 699M at 4000, 714M at 8000): past it, another divisor
// costs more than the Miller-Rabin tests it saves.
constexpr unsigned sieve_bound = 4000;

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

constexpr auto small_primes = [] {
    std::array<std::uint32_t, count_primes()> primes{};
    std::size_t i = 0;
    for (unsigned n = 3; n < sieve_bound; n += 2) {
        if (is_odd_prime(n)) {
            primes[i++] = n;
        }
    }
    return primes;
}();

// Consecutive small primes whose product fits a limb, so that one
// multi-precision division serves the whole group.
struct prime_group {
    std::uint64_t product = 1;
    std::size_t first = 0;
    std::size_t last = 0;
};

constexpr prime_group group_from(std::size_t first)
{
    prime_group group{1, first, first};
    while (group.last < small_primes.size() &&
           group.product <= UINT64_MAX / small_primes[group.last]) {
        group.product *= small_primes[group.last++];
    }
    return group;
}

constexpr std::size_t count_groups()
{
    std::size_t groups = 0;
    for (std::size_t i = 0; i < small_primes.size(); i = group_from(i).last) {
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

static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));

// The last two digits of the text decide the class modulo 4.
bool text_is_three_mod_four(const digit_text& text, int ndigits)
{
    const int tens = text.chars[static_cast<std::size_t>(ndigits - 2)] - '0';
    const int ones = text.chars[static_cast<std::size_t>(ndigits - 1)] - '0';
    return (tens * 10 + ones) % 4 == 3;
}

// True when p is divisible by a small prime other than itself. Numbers
// within the sieve's range are left to the full test.
bool has_small_factor(const mpz_class& p)
{
    if (mpz_cmp_ui(p.get_mpz_t(), sieve_bound) < 0) {
        return false;
    }
    for (const auto& group : prime_groups) {
        const std::uint64_t r = mpz_fdiv_ui(p.get_mpz_t(), group.product);
        for (std::size_t i = group.first; i < group.last; ++i) {
            if (r % small_primes[i] == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

// Every check before mpz_probab_prime_p only rejects what it would reject
// (and a prime of class 1 is rejected whichever test comes first), so the
// primes and the values consumed are those of the plain search.
void find_blum_prime(mpz_class& p) { find_blum_prime(p, next_value); }

void find_blum_prime(mpz_class& p, const value_source& source)
{
    digit_text text;
    for (;;) {
        draw_digits(text, prime_digits, source);
        if (!text_is_three_mod_four(text, prime_digits)) {
            continue;
        }
        mpz_set_str(p.get_mpz_t(), text.chars.data(), 10);
        if (!has_small_factor(p) &&
            mpz_probab_prime_p(p.get_mpz_t(), primality_reps) != 0) {
            return;
        }
    }
}

}  // namespace keygen
