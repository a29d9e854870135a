#pragma once
// The kernels of the Blum prime search that keygen runs and keyaudit
// replays: a 100-digit candidate drawn as values, the sieve, the base-2
// strong pre-test and GMP's test, all on six-limb numbers.
#include "foundation/secure_memory.hpp"

#include <gmp.h>
#include <gmpxx.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace primes {

// Multi-limb numbers.

// g++ and clang give 128-bit products; __extension__ keeps -Wpedantic quiet
// here without silencing it elsewhere.
__extension__ using uint128 = unsigned __int128;

// Six 64-bit limbs, least significant first: room for a 100-digit candidate.
inline constexpr std::size_t number_limbs = 6;
using limb_number = std::array<std::uint64_t, number_limbs>;

// 1/x modulo 2^64 for odd x: x is its own inverse modulo 8, and each
// Newton step doubles the bits that are right.
constexpr std::uint64_t inverse_mod_word(std::uint64_t x)
{
    std::uint64_t inverse = x;
    for (int i = 0; i < 5; ++i) {
        inverse *= 2 - x * inverse;
    }
    return inverse;
}

static_assert(sizeof(mp_limb_t) == sizeof(std::uint64_t) && GMP_NAIL_BITS == 0,
              "limbs are moved to and from GMP as they are");

// The length of a value's plain decimal text, without writing it.

inline constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t p = 1;
    for (auto& power : powers) {
        power = p;
        p *= 10;
    }
    return powers;
}();

// 0 is written as one digit.
constexpr std::size_t decimal_length(std::uint32_t v)
{
    // 1233/4096 is just above log10(2).
    const auto guess = static_cast<std::size_t>((std::bit_width(v) * 1233) >> 12);
    return guess + (v >= powers_of_ten[guess] || v == 0 ? 1 : 0);
}

// A 100-digit candidate kept as the values it was drawn from, and built
// from them without writing its decimal text.

inline constexpr int candidate_digits = 100;

// The values whose decimal texts, one after another and cut to 100
// characters, are the candidate's text. They are the secret: wiped on
// destruction, as the text was.
struct drawn_values {
    std::array<std::uint32_t, candidate_digits> values;
    std::size_t count;
    std::size_t last_kept;  // leading digits of the last value in the text
};
using drawn_candidate = foundation::wiped<drawn_values>;

// Draws from next exactly the values keygen::draw_digits would for 100
// digits.
template <typename Next>
void draw_candidate_from(drawn_values& c, Next&& next)
{
    constexpr auto wanted = static_cast<std::size_t>(candidate_digits);
    std::size_t length = 0;
    std::size_t last_length = 0;
    c.count = 0;
    do {
        const std::uint32_t v = next();
        c.values[c.count++] = v;
        last_length = decimal_length(v);
        length += last_length;
    } while (length < wanted);
    c.last_kept = last_length - (length - wanted);
}

// The candidate's class modulo 4, from its last two digits.
bool is_three_mod_four(const drawn_values& c);

// n = the candidate's number.
void candidate_number(const drawn_values& c, limb_number& n);

// Trial division by the odd primes below a bound, by multiplications with
// precomputed constants instead of divisions.

// Odd primes below this bound are tried. Timed on the whole search, 3000,
// 6000 and 12000 were within the machine's noise, 3000 a little slower.
inline constexpr unsigned sieve_bound = 6000;

// True when an odd prime below sieve_bound divides n. Numbers below the
// bound are left to the full test (a small prime is not its own factor).
bool has_small_factor(const limb_number& n) noexcept;

// The same with the primes below bound alone (at most sieve_bound): where
// the test that follows is cheap, a shorter sieve pays.
bool has_small_factor(const limb_number& n, unsigned bound) noexcept;

// The base-2 strong probable-prime test by Montgomery arithmetic: the
// pre-test that spares GMP most composites.

// True for the numbers the test takes: odd, six limbs, below 2^380 (B^6/16,
// which lets reductions be deferred).
bool base2_sprp_accepts(const limb_number& n) noexcept;

// Which squaring the test runs: portable C++, or x86-64 assembly where the
// processor has it (adx_available()).
enum class sprp_arithmetic { portable, adx };

// True when the processor has mulx, adcx and adox (BMI2 and ADX).
bool adx_available() noexcept;

// True when n is a strong probable prime to base 2: every prime is. Needs
// base2_sprp_accepts(n). The first form runs the fastest arithmetic here.
bool is_base2_sprp(const limb_number& n) noexcept;
bool is_base2_sprp(const limb_number& n, sprp_arithmetic arithmetic) noexcept;

// GMP's test, the last word on a candidate.

inline constexpr int primality_reps = 5;

// mpz_probab_prime_p on the limbs in place, through a read-only view.
bool is_probable_prime(const limb_number& n);

// z = n, written limb by limb: no decimal text of the secret.
void store_limbs(mpz_class& z, const limb_number& n);

}  // namespace primes
