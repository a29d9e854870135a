#include "primes/primes.hpp"

#include "primes/internal/montgomery.hpp"

#include <bit>

namespace primes {

namespace {

constexpr std::size_t n_limbs = number_limbs;

// Decided once: the processor does not change under the search.
const sprp_arithmetic fastest =
    adx_available() ? sprp_arithmetic::adx : sprp_arithmetic::portable;

// x = 2x mod n, for x below n.
void double_mod(limb_number& x, const limb_number& n)
{
    double_if(x, 1);
    limb_number diff{};
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < n_limbs; ++i) {
        const uint128 d = uint128{x[i]} - n[i] - borrow;
        diff[i] = static_cast<std::uint64_t>(d);
        borrow = static_cast<std::uint64_t>(d >> 64) & 1;
    }
    if (borrow == 0) {
        x = diff;
    }
}

std::size_t bit_length(const limb_number& x)
{
    for (std::size_t i = n_limbs; i > 0; --i) {
        if (x[i - 1] != 0) {
            return 64 * i - static_cast<std::size_t>(std::countl_zero(x[i - 1]));
        }
    }
    return 0;
}

std::size_t trailing_zeros(const limb_number& x)
{
    std::size_t i = 0;
    while (x[i] == 0) {
        ++i;
    }
    return 64 * i + static_cast<std::size_t>(std::countr_zero(x[i]));
}

std::uint64_t bit(const limb_number& x, std::size_t i) { return (x[i / 64] >> (i % 64)) & 1; }

// The Montgomery form of 2, 2^385 mod n, by doubling a power of two below n.
void montgomery_two(const limb_number& n, limb_number& x)
{
    const std::size_t from = bit_length(n) - 1;
    x.fill(0);
    x[from / 64] = std::uint64_t{1} << (from % 64);
    for (std::size_t e = from; e < 64 * n_limbs + 1; ++e) {
        double_mod(x, n);
    }
}

// Numbers derived from the candidate, wiped when the test ends.
struct workspace_numbers {
    limb_number x;
    limb_number plain;
    limb_number n_minus_one;
};
using workspace = foundation::wiped<workspace_numbers>;

// With n - 1 = 2^s d: 2^d is 1 or -1, or squares to -1 within s - 1 steps.
template <typename Square>
bool strong_test(const limb_number& n, Square square)
{
    const montgomery_modulus m(n);
    workspace w;
    w.n_minus_one = n;
    w.n_minus_one[0] ^= 1;
    const std::size_t s = trailing_zeros(w.n_minus_one);
    // Left to right over d's bits, below its top one.
    montgomery_two(n, w.x);
    for (std::size_t i = bit_length(w.n_minus_one) - 1; i-- > s;) {
        square(w.x, m, bit(w.n_minus_one, i));
    }
    const limb_number one{1};
    from_montgomery(w.x, m, w.plain);
    bool pass = w.plain == one || w.plain == w.n_minus_one;
    for (std::size_t r = 1; r < s && !pass; ++r) {
        square(w.x, m, 0);
        from_montgomery(w.x, m, w.plain);
        pass = w.plain == w.n_minus_one;
    }
    return pass;
}

}  // namespace

bool base2_sprp_accepts(const limb_number& n) noexcept
{
    return (n[0] & 1) != 0 && n[n_limbs - 1] != 0 && n[n_limbs - 1] < (std::uint64_t{1} << 60);
}

bool is_base2_sprp(const limb_number& n) noexcept { return is_base2_sprp(n, fastest); }

bool is_base2_sprp(const limb_number& n, sprp_arithmetic arithmetic) noexcept
{
    if (arithmetic == sprp_arithmetic::adx) {
        return strong_test(n, square_adx);
    }
    return strong_test(n, square_portable);
}

}  // namespace primes
