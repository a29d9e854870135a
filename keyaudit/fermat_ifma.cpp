#include "keyaudit/fermat_ifma.hpp"

#include "keyaudit/base2_sprp_ifma.hpp"
#include "primes/primes.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace keyaudit {

namespace {

constexpr std::size_t limbs = 13;
constexpr unsigned limb_bits = 52;
constexpr std::uint64_t limb_mask = (std::uint64_t{1} << limb_bits) - 1;
constexpr unsigned r_bits = limbs * limb_bits;  // R = 2^676
constexpr std::size_t lanes = ifma_lanes;

// Limb j of z in 52-bit limbs.
std::uint64_t limb_of(const mpz_class& z, std::size_t j)
{
    const std::size_t bit = j * limb_bits;
    const auto word = static_cast<mp_size_t>(bit / 64);
    const unsigned shift = bit % 64;
    std::uint64_t v = mpz_getlimbn(z.get_mpz_t(), word) >> shift;
    if (shift + limb_bits > 64) {
        v |= mpz_getlimbn(z.get_mpz_t(), word + 1) << (64 - shift);
    }
    return v & limb_mask;
}

// A group of eight moduli, the start of each power and its exponent's bits.
struct group {
    alignas(64) std::uint64_t n[limbs][lanes];
    alignas(64) std::uint64_t x[limbs][lanes];
    alignas(64) std::uint64_t neg_inverse[lanes];
    std::uint64_t exponent[lanes][(r_bits + 63) / 64];
    std::size_t loop_bits = std::numeric_limits<std::size_t>::max();
};

// Each lane's exponent n - 1, its bits below loop_bits for the kernel and
// the ones above in the start value, 2^top R mod n (Montgomery's form).
void prepare(const mpz_class* const* n, std::size_t count, group& g)
{
    mpz_class e[lanes];
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        e[lane] = *n[std::min(lane, count - 1)] - 1;
        g.loop_bits = std::min(g.loop_bits, mpz_sizeinbase(e[lane].get_mpz_t(), 2) - 1);
    }
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        const mpz_class& m = *n[std::min(lane, count - 1)];
        mpz_class start;
        mpz_tdiv_q_2exp(start.get_mpz_t(), e[lane].get_mpz_t(), g.loop_bits);
        start += r_bits;
        mpz_powm(start.get_mpz_t(), mpz_class(2).get_mpz_t(), start.get_mpz_t(), m.get_mpz_t());
        for (std::size_t j = 0; j < limbs; ++j) {
            g.n[j][lane] = limb_of(m, j);
            g.x[j][lane] = limb_of(start, j);
        }
        g.neg_inverse[lane] = (0 - primes::inverse_mod_word(mpz_getlimbn(m.get_mpz_t(), 0))) & limb_mask;
        for (std::size_t w = 0; w < std::size(g.exponent[lane]); ++w) {
            g.exponent[lane][w] = mpz_getlimbn(e[lane].get_mpz_t(), static_cast<mp_size_t>(w));
        }
    }
}

// Bit i of each lane's exponent, lane k at bit k.
unsigned bits_at(const group& g, std::size_t i)
{
    unsigned mask = 0;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        mask |= static_cast<unsigned>((g.exponent[lane][i / 64] >> (i % 64)) & 1U) << lane;
    }
    return mask;
}

#if defined(__x86_64__)

#define KEYAUDIT_IFMA __attribute__((target("avx512f,avx512ifma")))
#define KEYAUDIT_IFMA_INLINE __attribute__((target("avx512f,avx512ifma"), always_inline)) inline

// The vector extension's shift: GCC 12's intrinsic trips -Wuninitialized.
using lanes_u64 = std::uint64_t __attribute__((vector_size(64)));

KEYAUDIT_IFMA_INLINE __m512i carry_of(__m512i a)
{
    return reinterpret_cast<__m512i>(reinterpret_cast<lanes_u64>(a) >> limb_bits);
}

using vec = __m512i[limbs];
using columns = __m512i[2 * limbs];

// t / R modulo n into columns 13 to 25, one 52-bit digit at a time. No
// column nears 2^64: each holds fewer than 80 terms below 2^52.
KEYAUDIT_IFMA_INLINE void reduce(columns& t, const group& g, __m512i neg_inverse)
{
    for (std::size_t i = 0; i < limbs; ++i) {
        const __m512i m = _mm512_madd52lo_epu64(_mm512_setzero_si512(), t[i], neg_inverse);
        for (std::size_t j = 0; j < limbs; ++j) {
            const __m512i n = _mm512_load_si512(g.n[j]);
            t[i + j] = _mm512_madd52lo_epu64(t[i + j], m, n);
            t[i + j + 1] = _mm512_madd52hi_epu64(t[i + j + 1], m, n);
        }
        t[i + 1] = _mm512_add_epi64(t[i + 1], carry_of(t[i]));
    }
}

// x = columns 13 to 25, doubled in the lanes of twice, in 52-bit limbs.
KEYAUDIT_IFMA_INLINE void normalise(const columns& t, __mmask8 twice, vec& x)
{
    const __m512i mask = _mm512_set1_epi64(static_cast<long long>(limb_mask));
    __m512i c = _mm512_setzero_si512();
    for (std::size_t j = 0; j < limbs; ++j) {
        const __m512i column = _mm512_mask_add_epi64(t[limbs + j], twice, t[limbs + j], t[limbs + j]);
        const __m512i sum = _mm512_add_epi64(column, c);
        x[j] = j + 1 < limbs ? _mm512_and_si512(sum, mask) : sum;
        c = carry_of(sum);
    }
}

// x = x^2 / R modulo n, times 2 in the lanes of twice: below 2n before the
// doubling for x below 4n, since 16n < R.
KEYAUDIT_IFMA_INLINE void square(vec& x, const group& g, __m512i neg_inverse, __mmask8 twice)
{
    columns t{};
    for (std::size_t i = 0; i < limbs; ++i) {
        for (std::size_t j = i + 1; j < limbs; ++j) {
            t[i + j] = _mm512_madd52lo_epu64(t[i + j], x[i], x[j]);
            t[i + j + 1] = _mm512_madd52hi_epu64(t[i + j + 1], x[i], x[j]);
        }
    }
    for (__m512i& column : t) {
        column = _mm512_add_epi64(column, column);
    }
    for (std::size_t i = 0; i < limbs; ++i) {
        t[2 * i] = _mm512_madd52lo_epu64(t[2 * i], x[i], x[i]);
        t[2 * i + 1] = _mm512_madd52hi_epu64(t[2 * i + 1], x[i], x[i]);
    }
    reduce(t, g, neg_inverse);
    normalise(t, twice, x);
}

// The lanes where x / R modulo n is 1: for x below 4n, x / R reduced is at
// most n, so 1 is the only value congruent to 1.
KEYAUDIT_IFMA_INLINE __mmask8 is_one(const vec& x, const group& g, __m512i neg_inverse)
{
    columns t;
    for (std::size_t j = 0; j < limbs; ++j) {
        t[j] = x[j];
        t[limbs + j] = _mm512_setzero_si512();
    }
    reduce(t, g, neg_inverse);
    vec y;
    normalise(t, 0, y);
    __mmask8 one = _mm512_cmpeq_epu64_mask(y[0], _mm512_set1_epi64(1));
    for (std::size_t j = 1; j < limbs; ++j) {
        one = _mm512_mask_testn_epi64_mask(one, y[j], y[j]);
    }
    return one;
}

KEYAUDIT_IFMA unsigned fermat_kernel(const group& g) noexcept
{
    vec x;
    for (std::size_t j = 0; j < limbs; ++j) {
        x[j] = _mm512_load_si512(g.x[j]);
    }
    const __m512i neg_inverse = _mm512_load_si512(g.neg_inverse);
    for (std::size_t i = g.loop_bits; i-- > 0;) {
        square(x, g, neg_inverse, static_cast<__mmask8>(bits_at(g, i)));
    }
    return is_one(x, g, neg_inverse);
}

#else

// Never called without the kernel; if it were, proving nothing is safe.
unsigned fermat_kernel(const group&) noexcept { return 0xFFU; }

#endif

}  // namespace

bool fermat_ifma_accepts(const mpz_class& n) noexcept
{
    const std::size_t bits = mpz_sizeinbase(n.get_mpz_t(), 2);
    return mpz_odd_p(n.get_mpz_t()) != 0 && bits > 64 && bits <= r_bits - 4;
}

void fermat_composite_ifma(const mpz_class* const* n, std::size_t count, bool* composite)
{
    for (std::size_t first = 0; first < count; first += lanes) {
        const std::size_t here = std::min(lanes, count - first);
        group g;
        prepare(n + first, here, g);
        const unsigned one = fermat_kernel(g);
        for (std::size_t lane = 0; lane < here; ++lane) {
            composite[first + lane] = ((one >> lane) & 1U) == 0;
        }
    }
}

}  // namespace keyaudit
