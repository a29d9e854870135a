#include "keyaudit/base2_sprp_ifma.hpp"

#include "foundation/secure_memory.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace keyaudit {

using primes::number_limbs;
using primes::uint128;

#if defined(__x86_64__)

namespace {

constexpr std::size_t limbs = 7;
constexpr unsigned limb_bits = 52;
constexpr std::uint64_t limb_mask = (std::uint64_t{1} << limb_bits) - 1;
constexpr unsigned r_bits = limbs * limb_bits;  // R = 2^364

// Exponent bits taken into the start value: 2^7 R is still found from one
// double-precision quotient for every n above 2^320 (the quotient stays
// below 2^51).
constexpr unsigned start_bits = 3;

std::size_t bit_length(const limb_number& x)
{
    for (std::size_t i = number_limbs; i > 0; --i) {
        if (x[i - 1] != 0) {
            return 64 * i - static_cast<std::size_t>(std::countl_zero(x[i - 1]));
        }
    }
    return 0;
}

// Bits from..from+63 of x, zeros above its top.
std::uint64_t bits_at(const limb_number& x, std::size_t from)
{
    const std::size_t i = from / 64;
    const std::size_t shift = from % 64;
    if (i >= number_limbs) {
        return 0;
    }
    std::uint64_t v = x[i] >> shift;
    if (shift != 0 && i + 1 < number_limbs) {
        v |= x[i + 1] << (64 - shift);
    }
    return v;
}

// Limb j of eight lanes side by side, as a register holds them.
using lane_limbs = std::uint64_t[limbs][ifma_lanes];

// The lanes as the kernel reads them, in groups of eight. All of it derives
// from the candidates, so it is wiped.
template <std::size_t G>
struct lanes {
    static constexpr std::size_t width = ifma_lanes * G;

    alignas(64) lane_limbs n[G];
    alignas(64) lane_limbs x[G];
    alignas(64) lane_limbs d[G];  // n - 1 without its trailing zeros
    alignas(64) std::uint64_t neg_inverse[G][ifma_lanes];
    alignas(64) std::uint64_t s[G][ifma_lanes];  // trailing zeros of n - 1
    std::uint32_t pass;
};
template <std::size_t G>
using workspace = foundation::wiped<lanes<G>>;

// Lane l of a field of the workspace.
template <std::size_t G>
void put(lane_limbs (&to)[G], std::size_t lane, const limb_number& a)
{
    for (std::size_t j = 0; j < limbs; ++j) {
        to[lane / ifma_lanes][j][lane % ifma_lanes] = bits_at(a, limb_bits * j) & limb_mask;
    }
}

template <std::size_t G>
std::uint64_t& at(std::uint64_t (&field)[G][ifma_lanes], std::size_t lane)
{
    return field[lane / ifma_lanes][lane % ifma_lanes];
}

// A value in (0, 4n) congruent to 2^(364 + e) modulo n, for e below
// 2^start_bits and n below 2^360: 2^(364 + e) - q n, q 1 to 3 below the
// quotient. A double finds the quotient (below 2^51) to within 0.51, so q
// is that estimate less 1.5, and no doubling loop is needed. The result
// lies below 2^364, so it is -q n modulo 2^364.
void montgomery_power_of_two(const limb_number& n, std::size_t bits, unsigned e, limb_number& r)
{
    const std::size_t shift = bits - 64;
    const auto top = static_cast<double>(bits_at(n, shift));
    const double estimate =
        std::ldexp(1.0, static_cast<int>(r_bits + e - shift)) / top;
    const auto q = static_cast<std::uint64_t>(estimate - 1.5);
    std::uint64_t carry = 0;
    std::uint64_t borrow = 1;  // -p is ~p + 1
    for (std::size_t i = 0; i < number_limbs; ++i) {
        const uint128 p = uint128{q} * n[i] + carry;
        carry = static_cast<std::uint64_t>(p >> 64);
        const uint128 negated = uint128{~static_cast<std::uint64_t>(p)} + borrow;
        r[i] = static_cast<std::uint64_t>(negated);
        borrow = static_cast<std::uint64_t>(negated >> 64);
    }
    r[number_limbs - 1] &= (std::uint64_t{1} << (r_bits - 64 * (number_limbs - 1))) - 1;
}

#define KEYGEN_IFMA __attribute__((target("avx512f,avx512ifma")))
#define KEYGEN_IFMA_INLINE __attribute__((target("avx512f,avx512ifma"), always_inline)) inline

// GCC 12's shift intrinsics pass an undefined vector that -Wuninitialized
// flags; the vector extension's shift is the same instruction.
using lanes_u64 = std::uint64_t __attribute__((vector_size(64)));

KEYGEN_IFMA_INLINE __m512i carry_of(__m512i a)
{
    return reinterpret_cast<__m512i>(reinterpret_cast<lanes_u64>(a) >> limb_bits);
}

KEYGEN_IFMA_INLINE __m512i broadcast(std::uint64_t v)
{
    return _mm512_set1_epi64(static_cast<long long>(v));
}

// One register of lanes: limb j of eight numbers.
using vec = __m512i[limbs];
using columns = __m512i[2 * limbs];

KEYGEN_IFMA_INLINE void load(const lane_limbs& from, vec& to)
{
    for (std::size_t j = 0; j < limbs; ++j) {
        to[j] = _mm512_load_si512(from[j]);
    }
}

// Montgomery reduction, one 52-bit digit at a time, in two parts: the
// digit m of the multiple of n that clears column i, with the new column
// i + 1 that the next digit needs (the one long chain), then the rest of
// m n. The carry out of column i is taken before m n is added: that only
// rounds the column up to a multiple of 2^52, so the carry is
// (t + 2^52 - 1) >> 52, off the chain. n is read from memory by each
// multiplication, leaving the registers to the columns.
KEYGEN_IFMA_INLINE __m512i next_digit(columns& t, std::size_t i, const lane_limbs& n,
                                      __m512i neg_inverse)
{
    const __m512i m = _mm512_madd52lo_epu64(_mm512_setzero_si512(), t[i], neg_inverse);
    const __m512i carry = carry_of(_mm512_add_epi64(t[i], broadcast(limb_mask)));
    const __m512i high = _mm512_madd52hi_epu64(_mm512_setzero_si512(), m, _mm512_load_si512(n[0]));
    const __m512i next = _mm512_add_epi64(t[i + 1], carry);
    t[i + 1] = _mm512_add_epi64(_mm512_madd52lo_epu64(next, m, _mm512_load_si512(n[1])), high);
    return m;
}

KEYGEN_IFMA_INLINE void add_multiple(columns& t, std::size_t i, const lane_limbs& n, __m512i m)
{
#pragma GCC unroll 7
    for (std::size_t j = 2; j < limbs; ++j) {
        t[i + j] = _mm512_madd52lo_epu64(t[i + j], m, _mm512_load_si512(n[j]));
    }
#pragma GCC unroll 7
    for (std::size_t j = 1; j < limbs; ++j) {
        t[i + j + 1] = _mm512_madd52hi_epu64(t[i + j + 1], m, _mm512_load_si512(n[j]));
    }
}

// t / R modulo n, below t / R + n, left unnormalised in columns 7 to 13.
KEYGEN_IFMA_INLINE void reduce(columns& t, const lane_limbs& n, __m512i neg_inverse)
{
#pragma GCC unroll 7
    for (std::size_t i = 0; i < limbs; ++i) {
        add_multiple(t, i, n, next_digit(t, i, n, neg_inverse));
    }
}

// Every carry taken in turn: exact for any columns, but a chain of 12 steps.
KEYGEN_IFMA_INLINE void normalise_exact(vec& r)
{
    const __m512i mask = broadcast(limb_mask);
#pragma GCC unroll 6
    for (std::size_t j = 0; j + 1 < limbs; ++j) {
        r[j + 1] = _mm512_add_epi64(r[j + 1], carry_of(r[j]));
        r[j] = _mm512_and_si512(r[j], mask);
    }
}

// x = columns 7 to 13 of t, doubled in the lanes of twice, in 52-bit limbs.
// One pass moves each column's carry up a limb at once; a limb it pushes
// to 2^52 or over (about once in 2^45 for random values, more often for
// structured ones) sends the register through the exact pass. The value
// is below 2^364, so the top limb never carries.
KEYGEN_IFMA_INLINE void normalise(const columns& t, __mmask8 twice, vec& x)
{
    const __m512i mask = broadcast(limb_mask);
    __m512i c[limbs];
#pragma GCC unroll 7
    for (std::size_t j = 0; j < limbs; ++j) {
        c[j] = _mm512_mask_add_epi64(t[limbs + j], twice, t[limbs + j], t[limbs + j]);
    }
    x[0] = _mm512_and_si512(c[0], mask);
    __m512i over = _mm512_setzero_si512();
#pragma GCC unroll 6
    for (std::size_t j = 1; j < limbs; ++j) {
        const __m512i below = carry_of(c[j - 1]);
        x[j] = j + 1 < limbs ? _mm512_add_epi64(_mm512_and_si512(c[j], mask), below)
                             : _mm512_add_epi64(c[j], below);
        over = _mm512_or_si512(over, x[j]);
    }
    if (__builtin_expect(_mm512_test_epi64_mask(over, broadcast(~limb_mask)) != 0, 0)) {
        normalise_exact(x);
    }
}

// Adds column k of x^2 to t: the products off the diagonal once, then
// doubled, then the square on it.
KEYGEN_IFMA_INLINE void add_square_column(const vec& x, std::size_t k, __m512i& t)
{
    const __m512i zero = _mm512_setzero_si512();
    __m512i low = zero;
    __m512i high = zero;
#pragma GCC unroll 7
    for (std::size_t i = 0; i < limbs; ++i) {
        if (i < k - i && k - i < limbs) {
            low = _mm512_madd52lo_epu64(low, x[i], x[k - i]);
        }
        if (k >= 1 && i < k - 1 - i && k - 1 - i < limbs) {
            high = _mm512_madd52hi_epu64(high, x[i], x[k - 1 - i]);
        }
    }
    __m512i sum = _mm512_add_epi64(low, high);
    sum = _mm512_add_epi64(sum, sum);
    sum = k % 2 == 0 ? _mm512_madd52lo_epu64(sum, x[k / 2], x[k / 2])
                     : _mm512_madd52hi_epu64(sum, x[k / 2], x[k / 2]);
    t = _mm512_add_epi64(t, sum);
}

// x = x^2 / R modulo n, times 2 in the lanes of twice, for G groups of
// eight lanes: below 2n before the doubling for x below 4n, since 16n < R.
// The reduction's digits are the one long chain, so each column of the
// square comes just before the digit that needs it, and the groups take
// each step in turn: the processor fills one chain's gaps with the other
// group's work instead of making it wait behind a whole square.
template <std::size_t G>
KEYGEN_IFMA_INLINE void square(vec (&x)[G], const lane_limbs (&n)[G],
                               const __m512i (&neg_inverse)[G], const __mmask8 (&twice)[G])
{
    columns t[G];
#pragma GCC unroll 2
    for (std::size_t g = 0; g < G; ++g) {
#pragma GCC unroll 14
        for (std::size_t k = 0; k < 2 * limbs; ++k) {
            t[g][k] = _mm512_setzero_si512();
        }
        add_square_column(x[g], 0, t[g][0]);
        add_square_column(x[g], 1, t[g][1]);
    }
#pragma GCC unroll 7
    for (std::size_t i = 0; i < limbs; ++i) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            const __m512i m = next_digit(t[g], i, n[g], neg_inverse[g]);
            add_square_column(x[g], i + 2, t[g][i + 2]);
            if (i + 9 < 2 * limbs) {
                add_square_column(x[g], i + 9, t[g][i + 9]);
            }
            add_multiple(t[g], i, n[g], m);
        }
    }
#pragma GCC unroll 2
    for (std::size_t g = 0; g < G; ++g) {
        normalise(t[g], twice[g], x[g]);
    }
}

// y = x / R modulo n, for x below 4n: at most n, and n only when n divides x.
KEYGEN_IFMA_INLINE void from_montgomery(const vec& x, const lane_limbs& n, __m512i neg_inverse,
                                        vec& y)
{
    columns t;
#pragma GCC unroll 7
    for (std::size_t j = 0; j < limbs; ++j) {
        t[j] = x[j];
        t[limbs + j] = _mm512_setzero_si512();
    }
    reduce(t, n, neg_inverse);
#pragma GCC unroll 7
    for (std::size_t j = 0; j < limbs; ++j) {
        y[j] = t[limbs + j];
    }
    normalise_exact(y);
}

// The lanes where y is 1, and where it is n - 1.
KEYGEN_IFMA_INLINE __mmask8 is_one(const vec& y)
{
    __mmask8 same = _mm512_cmpeq_epu64_mask(y[0], broadcast(1));
    for (std::size_t j = 1; j < limbs; ++j) {
        same = _mm512_mask_testn_epi64_mask(same, y[j], y[j]);
    }
    return same;
}

KEYGEN_IFMA_INLINE __mmask8 is_minus_one(const vec& y, const lane_limbs& n)
{
    const __m512i n_minus_one = _mm512_sub_epi64(_mm512_load_si512(n[0]), broadcast(1));
    __mmask8 same = _mm512_cmpeq_epu64_mask(y[0], n_minus_one);
    for (std::size_t j = 1; j < limbs; ++j) {
        same = _mm512_mask_cmpeq_epu64_mask(same, y[j], _mm512_load_si512(n[j]));
    }
    return same;
}

// 2^d by squaring, over the last loop_bits bits of every lane's d (the
// bits above are in the start value), then the strong test's squarings.
template <std::size_t G>
KEYGEN_IFMA void run_kernel(workspace<G>& w, std::size_t loop_bits, std::uint64_t max_s) noexcept
{
    vec x[G];
    __m512i neg_inverse[G];
    for (std::size_t g = 0; g < G; ++g) {
        load(w.x[g], x[g]);
        neg_inverse[g] = _mm512_load_si512(w.neg_inverse[g]);
    }
    for (std::size_t i = loop_bits; i-- > 0;) {
        const __m512i bit = broadcast(std::uint64_t{1} << (i % limb_bits));
        __mmask8 twice[G];
        for (std::size_t g = 0; g < G; ++g) {
            twice[g] = _mm512_test_epi64_mask(_mm512_load_si512(w.d[g][i / limb_bits]), bit);
        }
        square<G>(x, w.n, neg_inverse, twice);
    }

    // 2^d is 1 or -1, or squares to -1 within s - 1 steps: lanes stop
    // counting once past their own s.
    vec y;
    __mmask8 pass[G];
    for (std::size_t g = 0; g < G; ++g) {
        from_montgomery(x[g], w.n[g], neg_inverse[g], y);
        pass[g] = is_one(y) | is_minus_one(y, w.n[g]);
    }
    for (std::uint64_t r = 1; r < max_s; ++r) {
        __mmask8 active[G];
        unsigned undecided = 0;
        for (std::size_t g = 0; g < G; ++g) {
            active[g] = _mm512_cmpgt_epu64_mask(_mm512_load_si512(w.s[g]), broadcast(r));
            undecided |= active[g] & ~pass[g] & 0xffU;
        }
        if (undecided == 0) {
            break;
        }
        const __mmask8 none[G] = {};
        square<G>(x, w.n, neg_inverse, none);
        for (std::size_t g = 0; g < G; ++g) {
            from_montgomery(x[g], w.n[g], neg_inverse[g], y);
            pass[g] |= active[g] & is_minus_one(y, w.n[g]);
        }
    }
    w.pass = 0;
    for (std::size_t g = 0; g < G; ++g) {
        w.pass |= std::uint32_t{pass[g]} << (ifma_lanes * g);
    }
    // The registers held the candidates and the bits of their exponents.
    foundation::clear_vector_registers(foundation::vector_registers::avx512);
}

// One square of every lane, for the tests.
KEYGEN_IFMA void square_kernel(workspace<1>& w, __mmask8 twice) noexcept
{
    vec x[1];
    load(w.x[0], x[0]);
    const __m512i neg_inverse[1] = {_mm512_load_si512(w.neg_inverse[0])};
    const __mmask8 twice_lanes[1] = {twice};
    square<1>(x, w.n, neg_inverse, twice_lanes);
    for (std::size_t j = 0; j < limbs; ++j) {
        _mm512_store_si512(w.x[0][j], x[0][j]);
    }
    // The registers held the candidates and the bits of their exponents.
    foundation::clear_vector_registers(foundation::vector_registers::avx512);
}

// The lanes' numbers, exponents and start values; unused lanes repeat the
// first, whose verdict is then ignored.
template <std::size_t G>
void prepare(workspace<G>& w, const limb_number* const* lane, std::size_t count,
             std::size_t& loop_bits, std::uint64_t& max_s)
{
    limb_number scratch{};
    std::size_t exponent_bits = 0;
    max_s = 0;
    for (std::size_t l = 0; l < w.width; ++l) {
        const limb_number& n = *lane[l < count ? l : 0];
        put(w.n, l, n);
        at(w.neg_inverse, l) = (0 - primes::inverse_mod_word(n[0])) & limb_mask;
        std::size_t s = 1;
        while (((n[s / 64] >> (s % 64)) & 1) == 0) {
            ++s;
        }
        at(w.s, l) = s;
        // d = (n - 1) >> s; bit 0 of n is not among its bits.
        for (std::size_t i = 0; i < number_limbs; ++i) {
            scratch[i] = bits_at(n, 64 * i + s);
        }
        put(w.d, l, scratch);
        exponent_bits = std::max(exponent_bits, bit_length(scratch));
        max_s = std::max<std::uint64_t>(max_s, s);
    }
    loop_bits = std::max<std::size_t>(exponent_bits, start_bits) - start_bits;
    for (std::size_t l = 0; l < w.width; ++l) {
        const limb_number& n = *lane[l < count ? l : 0];
        const std::uint64_t top = bits_at(n, loop_bits + at(w.s, l));
        const auto e = static_cast<unsigned>(top & ((1U << start_bits) - 1));
        montgomery_power_of_two(n, bit_length(n), e, scratch);
        put(w.x, l, scratch);
    }
    foundation::wipe(scratch.data(), sizeof scratch);
}

template <std::size_t G>
void test_lanes(const limb_number* const* lane, std::size_t count, bool* verdict)
{
    workspace<G> w;
    std::size_t loop_bits = 0;
    std::uint64_t max_s = 0;
    prepare(w, lane, count, loop_bits, max_s);
    run_kernel<G>(w, loop_bits, max_s);
    // The kernel's frame, where the compiler spilled limbs, lies where the
    // scrub's does: 3 KiB for two groups in an optimised build, more under
    // the sanitizers.
    foundation::scrub_stack<std::size_t{16} * 1024>();
    for (std::size_t l = 0; l < count; ++l) {
        verdict[l] = ((w.pass >> l) & 1) != 0;
    }
}

}  // namespace

#endif

bool ifma_available() noexcept
{
#if defined(__x86_64__) && !defined(KEYGEN_NO_IFMA)
    // The run-time check reads the processor's flags once; its result cannot change.
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma");
    }();
    return available;
#else
    return false;
#endif
}

bool ifma_kernel_accepts(const limb_number& n) noexcept
{
    return primes::base2_sprp_accepts(n) && n[number_limbs - 1] < (std::uint64_t{1} << (360 - 320));
}

void base2_sprp_ifma(const limb_number* n, std::size_t count, bool* verdict,
                     std::size_t width) noexcept
{
#if defined(__x86_64__)
    const limb_number* lane[ifma_max_width];
    std::size_t position[ifma_max_width];
    bool lane_verdict[ifma_max_width];
    width = std::min(width, ifma_max_width);
    for (std::size_t i = 0; i < count;) {
        std::size_t used = 0;
        for (; i < count && used < width; ++i) {
            if (ifma_kernel_accepts(n[i])) {
                lane[used] = &n[i];
                position[used++] = i;
            } else {
                verdict[i] = primes::is_base2_sprp(n[i]);
            }
        }
        if (used == 0) {
            continue;
        }
        if (used <= ifma_lanes) {
            test_lanes<1>(lane, used, lane_verdict);
        } else {
            test_lanes<2>(lane, used, lane_verdict);
        }
        for (std::size_t l = 0; l < used; ++l) {
            verdict[position[l]] = lane_verdict[l];
        }
    }
#else
    (void)width;
    for (std::size_t i = 0; i < count; ++i) {
        verdict[i] = primes::is_base2_sprp(n[i]);
    }
#endif
}

void montgomery_square_ifma(limb_number* x, const limb_number* n, std::size_t count,
                            unsigned twice) noexcept
{
#if defined(__x86_64__)
    workspace<1> w;
    for (std::size_t l = 0; l < ifma_lanes; ++l) {
        const std::size_t from = l < count ? l : 0;
        put(w.n, l, n[from]);
        put(w.x, l, x[from]);
        at(w.neg_inverse, l) = (0 - primes::inverse_mod_word(n[from][0])) & limb_mask;
    }
    square_kernel(w, static_cast<__mmask8>(twice));
    // The kernel's frame, where the compiler spilled limbs, lies where the
    // scrub's does: 3 KiB for two groups in an optimised build, more under
    // the sanitizers.
    foundation::scrub_stack<std::size_t{16} * 1024>();
    // Limbs joined by or, so that one of 2^52 or over would show.
    for (std::size_t l = 0; l < count; ++l) {
        x[l].fill(0);
        for (std::size_t j = 0; j < limbs; ++j) {
            const std::size_t at = limb_bits * j;
            x[l][at / 64] |= w.x[0][j][l] << (at % 64);
            if (at % 64 > 64 - limb_bits && at / 64 + 1 < number_limbs) {
                x[l][at / 64 + 1] |= w.x[0][j][l] >> (64 - at % 64);
            }
        }
    }
#else
    (void)x;
    (void)n;
    (void)count;
    (void)twice;
#endif
}

}  // namespace keyaudit
