#include "primes/internal/montgomery.hpp"

namespace primes {

namespace {

constexpr std::size_t n_limbs = number_limbs;

std::uint64_t low_word(uint128 x) { return static_cast<std::uint64_t>(x); }

// Three words that sum the products of a column.
struct accumulator {
    uint128 low = 0;
    std::uint64_t high = 0;

    void add(uint128 p) { high += __builtin_add_overflow(low, p, &low) ? 1 : 0; }
    void add_product(std::uint64_t x, std::uint64_t y) { add(uint128{x} * y); }
    void add_product_twice(std::uint64_t x, std::uint64_t y)
    {
        const uint128 p = uint128{x} * y;
        add(p);
        add(p);
    }
    // Returns the lowest word and moves the rest down.
    std::uint64_t shift()
    {
        const std::uint64_t word = low_word(low);
        low = (low >> 64) | (uint128{high} << 64);
        high = 0;
        return word;
    }
};

// r = t / R modulo n, column by column (product scanning): terms adds the
// products of t's column k. The result is below t / R + n.
template <typename Terms>
void reduce_columns(const Terms& terms, const montgomery_modulus& md, limb_number& r)
{
    const limb_number& n = md.n;
    limb_number m{};
    accumulator acc;
#pragma GCC unroll 11
    for (std::size_t k = 0; k < 2 * n_limbs - 1; ++k) {
        terms(k, acc);
        // Constant trip counts, so that both compilers unroll them whole.
#pragma GCC unroll 6
        for (std::size_t i = 0; i < n_limbs; ++i) {
            if (i < k && k - i < n_limbs) {
                acc.add_product(m[i], n[k - i]);
            }
        }
        if (k < n_limbs) {
            m[k] = low_word(acc.low) * md.neg_inverse;
            acc.add_product(m[k], n[0]);
            acc.shift();
        } else {
            r[k - n_limbs] = acc.shift();
        }
    }
    r[n_limbs - 1] = low_word(acc.low);
}

}  // namespace

montgomery_modulus::montgomery_modulus(const limb_number& modulus) noexcept
    : n(modulus), neg_inverse(0 - inverse_mod_word(modulus[0]))
{
}

void square_portable(limb_number& a, const montgomery_modulus& m, std::uint64_t twice) noexcept
{
    const limb_number x = a;
    reduce_columns(
        [&x](std::size_t k, accumulator& acc) {
#pragma GCC unroll 6
            for (std::size_t i = 0; i < n_limbs; ++i) {
                if (i < k - i && k - i < n_limbs) {
                    acc.add_product_twice(x[i], x[k - i]);
                }
            }
            if (k % 2 == 0) {
                acc.add_product(x[k / 2], x[k / 2]);
            }
        },
        m, a);
    double_if(a, twice);
}

void from_montgomery(const limb_number& a, const montgomery_modulus& m, limb_number& r) noexcept
{
    reduce_columns(
        [&a](std::size_t k, accumulator& acc) {
            if (k < n_limbs) {
                acc.add(a[k]);
            }
        },
        m, r);
}

}  // namespace primes
