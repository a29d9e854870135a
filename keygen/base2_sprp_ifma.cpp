#include "keygen/base2_sprp_ifma.hpp"

#include "keygen/base2_sprp.hpp"
#include "keygen/secure_memory.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace keygen {

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

// Lanes as the kernel reads them: limb j of every lane side by side. All
// of it derives from the candidates, so it is wiped.
template <std::size_t G>
struct workspace {
    static constexpr std::size_t width = ifma_lanes * G;

    workspace() = default;
    ~workspace() { wipe(this, sizeof *this); }
    workspace(const workspace&) = delete;
    workspace& operator=(const workspace&) = delete;

    void put(std::uint64_t (&to)[limbs][width], std::size_t lane, const limb_number& a)
    {
        for (std::size_t j = 0; j < limbs; ++j) {
            to[j][lane] = bits_at(a, limb_bits * j) & limb_mask;
        }
    }

    alignas(64) std::uint64_t n[limbs][width]{};
    alignas(64) std::uint64_t x[limbs][width]{};
    alignas(64) std::uint64_t d[limbs][width]{};  // n - 1 without its trailing zeros
    alignas(64) std::uint64_t neg_inverse[width]{};
    alignas(64) std::uint64_t s[width]{};  // trailing zeros of n - 1
    std::uint32_t pass = 0;
};

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

template <std::size_t G>
using vec = __m512i[limbs][G];

template <std::size_t G>
using columns = __m512i[2 * limbs][G];

template <std::size_t G>
KEYGEN_IFMA_INLINE void load(const std::uint64_t (&from)[limbs][ifma_lanes * G], vec<G>& to)
{
    for (std::size_t j = 0; j < limbs; ++j) {
        for (std::size_t g = 0; g < G; ++g) {
            to[j][g] = _mm512_load_si512(&from[j][ifma_lanes * g]);
        }
    }
}

// t = x^2, unnormalised columns of 52 bits. Each product off the diagonal
// is summed once and the sums doubled; low and high halves go to separate
// accumulators, which halves the longest chain of dependent additions.
template <std::size_t G>
KEYGEN_IFMA_INLINE void square_columns(const vec<G>& x, columns<G>& t)
{
    const __m512i zero = _mm512_setzero_si512();
    columns<G> low;
    columns<G> high;
#pragma GCC unroll 14
    for (std::size_t k = 0; k < 2 * limbs; ++k) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            low[k][g] = zero;
            high[k][g] = zero;
        }
    }
#pragma GCC unroll 7
    for (std::size_t i = 0; i < limbs; ++i) {
#pragma GCC unroll 7
        for (std::size_t j = i + 1; j < limbs; ++j) {
#pragma GCC unroll 2
            for (std::size_t g = 0; g < G; ++g) {
                low[i + j][g] = _mm512_madd52lo_epu64(low[i + j][g], x[i][g], x[j][g]);
                high[i + j + 1][g] = _mm512_madd52hi_epu64(high[i + j + 1][g], x[i][g], x[j][g]);
            }
        }
    }
#pragma GCC unroll 14
    for (std::size_t k = 0; k < 2 * limbs; ++k) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            const __m512i sum = _mm512_add_epi64(low[k][g], high[k][g]);
            t[k][g] = _mm512_add_epi64(sum, sum);
        }
    }
#pragma GCC unroll 7
    for (std::size_t i = 0; i < limbs; ++i) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            t[2 * i][g] = _mm512_madd52lo_epu64(t[2 * i][g], x[i][g], x[i][g]);
            t[2 * i + 1][g] = _mm512_madd52hi_epu64(t[2 * i + 1][g], x[i][g], x[i][g]);
        }
    }
}

// Montgomery reduction of the columns, one 52-bit digit at a time; the
// result (t / R modulo n, below t / R + n) is left unnormalised in columns
// 7 to 13. The carry out of a digit is taken before the multiple of n is
// added: that multiple only rounds the digit up to 2^52, so the carry is
// (t + 2^52 - 1) >> 52, off the critical path.
template <std::size_t G>
KEYGEN_IFMA_INLINE void reduce(columns<G>& t, const vec<G>& n, const __m512i (&neg_inverse)[G])
{
    const __m512i zero = _mm512_setzero_si512();
    const __m512i mask = _mm512_set1_epi64(static_cast<long long>(limb_mask));
#pragma GCC unroll 7
    for (std::size_t i = 0; i < limbs; ++i) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            const __m512i m = _mm512_madd52lo_epu64(zero, t[i][g], neg_inverse[g]);
            const __m512i carry = carry_of(_mm512_add_epi64(t[i][g], mask));
            const __m512i next_high = _mm512_madd52hi_epu64(zero, m, n[0][g]);
            const __m512i next = _mm512_add_epi64(t[i + 1][g], carry);
            t[i + 1][g] = _mm512_add_epi64(_mm512_madd52lo_epu64(next, m, n[1][g]), next_high);
#pragma GCC unroll 7
            for (std::size_t j = 2; j < limbs; ++j) {
                t[i + j][g] = _mm512_madd52lo_epu64(t[i + j][g], m, n[j][g]);
            }
#pragma GCC unroll 7
            for (std::size_t j = 1; j < limbs; ++j) {
                t[i + j + 1][g] = _mm512_madd52hi_epu64(t[i + j + 1][g], m, n[j][g]);
            }
        }
    }
}

// Every carry taken in turn: exact for any columns, but a chain of 12 steps.
template <std::size_t G>
KEYGEN_IFMA_INLINE void normalise_exact(vec<G>& r)
{
    const __m512i mask = _mm512_set1_epi64(static_cast<long long>(limb_mask));
#pragma GCC unroll 6
    for (std::size_t j = 0; j + 1 < limbs; ++j) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            r[j + 1][g] = _mm512_add_epi64(r[j + 1][g], carry_of(r[j][g]));
            r[j][g] = _mm512_and_si512(r[j][g], mask);
        }
    }
}

// r = columns 7 to 13 of t, doubled in the lanes of twice, in 52-bit
// limbs. One pass moves each column's carry up a limb at once; a limb it
// pushes to 2^52 or over (about once in 2^45) sends every lane through
// the exact pass. The value is below 2^364, so the top limb never carries.
template <std::size_t G>
KEYGEN_IFMA_INLINE void normalise(const columns<G>& t, const __mmask8 (&twice)[G], vec<G>& r)
{
    const __m512i mask = _mm512_set1_epi64(static_cast<long long>(limb_mask));
    __m512i over = _mm512_setzero_si512();
#pragma GCC unroll 2
    for (std::size_t g = 0; g < G; ++g) {
        __m512i c[limbs];
#pragma GCC unroll 7
        for (std::size_t j = 0; j < limbs; ++j) {
            const __m512i v = t[limbs + j][g];
            c[j] = _mm512_mask_add_epi64(v, twice[g], v, v);
        }
        r[0][g] = _mm512_and_si512(c[0], mask);
#pragma GCC unroll 6
        for (std::size_t j = 1; j < limbs; ++j) {
            const __m512i below = carry_of(c[j - 1]);
            r[j][g] = j + 1 < limbs ? _mm512_add_epi64(_mm512_and_si512(c[j], mask), below)
                                    : _mm512_add_epi64(c[j], below);
            over = _mm512_or_si512(over, r[j][g]);
        }
    }
    if (__builtin_expect(_mm512_test_epi64_mask(over, _mm512_set1_epi64(~static_cast<long long>(limb_mask))) != 0, 0)) {
        normalise_exact<G>(r);
    }
}

template <std::size_t G>
KEYGEN_IFMA_INLINE void square(vec<G>& x, const vec<G>& n, const __m512i (&neg_inverse)[G],
                               const __mmask8 (&twice)[G])
{
    columns<G> t;
    square_columns<G>(x, t);
    reduce<G>(t, n, neg_inverse);
    normalise<G>(t, twice, x);
}

// y = x / R modulo n, for x below 4n: at most n, and n only when n divides x.
template <std::size_t G>
KEYGEN_IFMA_INLINE void from_montgomery(const vec<G>& x, const vec<G>& n, const __m512i (&neg_inverse)[G],
                                        vec<G>& y)
{
    columns<G> t;
#pragma GCC unroll 7
    for (std::size_t j = 0; j < limbs; ++j) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            t[j][g] = x[j][g];
            t[limbs + j][g] = _mm512_setzero_si512();
        }
    }
    reduce<G>(t, n, neg_inverse);
#pragma GCC unroll 7
    for (std::size_t j = 0; j < limbs; ++j) {
#pragma GCC unroll 2
        for (std::size_t g = 0; g < G; ++g) {
            y[j][g] = t[limbs + j][g];
        }
    }
    normalise_exact<G>(y);
}

// The lanes of group g where y is 1, and where it is n - 1.
template <std::size_t G>
KEYGEN_IFMA_INLINE __mmask8 is_one(const vec<G>& y, std::size_t g)
{
    __mmask8 same = _mm512_cmpeq_epu64_mask(y[0][g], _mm512_set1_epi64(1));
    for (std::size_t j = 1; j < limbs; ++j) {
        same = _mm512_mask_testn_epi64_mask(same, y[j][g], y[j][g]);
    }
    return same;
}

template <std::size_t G>
KEYGEN_IFMA_INLINE __mmask8 is_minus_one(const vec<G>& y, const vec<G>& n, std::size_t g)
{
    __mmask8 same =
        _mm512_cmpeq_epu64_mask(y[0][g], _mm512_sub_epi64(n[0][g], _mm512_set1_epi64(1)));
    for (std::size_t j = 1; j < limbs; ++j) {
        same = _mm512_mask_cmpeq_epu64_mask(same, y[j][g], n[j][g]);
    }
    return same;
}

// The registers held the candidates and the bits of their exponents.
KEYGEN_IFMA_INLINE void clear_vector_registers()
{
    asm volatile(
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31\n\t"
        "kxorw %%k0, %%k0, %%k0\n\tkxorw %%k1, %%k1, %%k1\n\t"
        "kxorw %%k2, %%k2, %%k2\n\tkxorw %%k3, %%k3, %%k3\n\t"
        "kxorw %%k4, %%k4, %%k4\n\tkxorw %%k5, %%k5, %%k5\n\t"
        "kxorw %%k6, %%k6, %%k6\n\tkxorw %%k7, %%k7, %%k7\n\t"
        "vzeroall"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
          "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18",
          "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27",
          "xmm28", "xmm29", "xmm30", "xmm31", "k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7");
}

// 2^d by squaring, over the last loop_bits bits of every lane's d (the
// bits above are in the start value), then the strong test's squarings.
template <std::size_t G>
KEYGEN_IFMA void run_kernel(workspace<G>& w, std::size_t loop_bits, std::uint64_t max_s) noexcept
{
    vec<G> n;
    vec<G> x;
    __m512i neg_inverse[G];
    load<G>(w.n, n);
    load<G>(w.x, x);
    for (std::size_t g = 0; g < G; ++g) {
        neg_inverse[g] = _mm512_load_si512(&w.neg_inverse[ifma_lanes * g]);
    }
    for (std::size_t i = loop_bits; i-- > 0;) {
        const __m512i bit = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << (i % limb_bits)));
        __mmask8 twice[G];
        for (std::size_t g = 0; g < G; ++g) {
            twice[g] = _mm512_test_epi64_mask(_mm512_load_si512(&w.d[i / limb_bits][ifma_lanes * g]), bit);
        }
        square<G>(x, n, neg_inverse, twice);
    }

    // 2^d is 1 or -1, or squares to -1 within s - 1 steps: lanes stop
    // counting once past their own s.
    vec<G> y;
    from_montgomery<G>(x, n, neg_inverse, y);
    __mmask8 pass[G];
    for (std::size_t g = 0; g < G; ++g) {
        pass[g] = is_one<G>(y, g) | is_minus_one<G>(y, n, g);
    }
    for (std::uint64_t r = 1; r < max_s; ++r) {
        __mmask8 active[G];
        unsigned undecided = 0;
        for (std::size_t g = 0; g < G; ++g) {
            active[g] = _mm512_cmpgt_epu64_mask(_mm512_load_si512(&w.s[ifma_lanes * g]),
                                                _mm512_set1_epi64(static_cast<long long>(r)));
            undecided |= active[g] & ~pass[g] & 0xffU;
        }
        if (undecided == 0) {
            break;
        }
        const __mmask8 none[G] = {};
        square<G>(x, n, neg_inverse, none);
        from_montgomery<G>(x, n, neg_inverse, y);
        for (std::size_t g = 0; g < G; ++g) {
            pass[g] |= active[g] & is_minus_one<G>(y, n, g);
        }
    }
    w.pass = 0;
    for (std::size_t g = 0; g < G; ++g) {
        w.pass |= std::uint32_t{pass[g]} << (ifma_lanes * g);
    }
    clear_vector_registers();
}

// One square of every lane, for the tests.
KEYGEN_IFMA void square_kernel(workspace<1>& w, __mmask8 twice) noexcept
{
    vec<1> n;
    vec<1> x;
    load<1>(w.n, n);
    load<1>(w.x, x);
    const __m512i neg_inverse[1] = {_mm512_load_si512(w.neg_inverse)};
    const __mmask8 twice_lanes[1] = {twice};
    square<1>(x, n, neg_inverse, twice_lanes);
    for (std::size_t j = 0; j < limbs; ++j) {
        _mm512_store_si512(w.x[j], x[j][0]);
    }
    clear_vector_registers();
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
        w.put(w.n, l, n);
        w.neg_inverse[l] = (0 - inverse_mod_word(n[0])) & limb_mask;
        std::size_t s = 1;
        while (((n[s / 64] >> (s % 64)) & 1) == 0) {
            ++s;
        }
        w.s[l] = s;
        // d = (n - 1) >> s; bit 0 of n is not among its bits.
        for (std::size_t i = 0; i < number_limbs; ++i) {
            scratch[i] = bits_at(n, 64 * i + s);
        }
        w.put(w.d, l, scratch);
        exponent_bits = std::max(exponent_bits, bit_length(scratch));
        max_s = std::max<std::uint64_t>(max_s, s);
    }
    loop_bits = std::max<std::size_t>(exponent_bits, start_bits) - start_bits;
    for (std::size_t l = 0; l < w.width; ++l) {
        const limb_number& n = *lane[l < count ? l : 0];
        const auto e = static_cast<unsigned>(bits_at(n, loop_bits + w.s[l]) & ((1U << start_bits) - 1));
        montgomery_power_of_two(n, bit_length(n), e, scratch);
        w.put(w.x, l, scratch);
    }
    wipe(scratch.data(), sizeof scratch);
}

template <std::size_t G>
void test_lanes(const limb_number* const* lane, std::size_t count, bool* verdict)
{
    workspace<G> w;
    std::size_t loop_bits = 0;
    std::uint64_t max_s = 0;
    prepare(w, lane, count, loop_bits, max_s);
    run_kernel<G>(w, loop_bits, max_s);
    for (std::size_t l = 0; l < count; ++l) {
        verdict[l] = ((w.pass >> l) & 1) != 0;
    }
}

}  // namespace

#endif

bool ifma_available() noexcept
{
#if defined(__x86_64__)
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
    return base2_sprp_accepts(n) && n[number_limbs - 1] < (std::uint64_t{1} << (360 - 320));
}

void base2_sprp_ifma(const limb_number* n, std::size_t count, bool* verdict,
                     std::size_t width) noexcept
{
#if defined(__x86_64__)
    const limb_number* lane[ifma_max_width];
    std::size_t index[ifma_max_width];
    bool lane_verdict[ifma_max_width];
    width = std::min(width, ifma_max_width);
    for (std::size_t i = 0; i < count;) {
        std::size_t used = 0;
        for (; i < count && used < width; ++i) {
            if (ifma_kernel_accepts(n[i])) {
                lane[used] = &n[i];
                index[used++] = i;
            } else {
                verdict[i] = is_base2_sprp(n[i]);
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
            verdict[index[l]] = lane_verdict[l];
        }
    }
#else
    (void)width;
    for (std::size_t i = 0; i < count; ++i) {
        verdict[i] = is_base2_sprp(n[i]);
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
        w.put(w.n, l, n[from]);
        w.put(w.x, l, x[from]);
        w.neg_inverse[l] = (0 - inverse_mod_word(n[from][0])) & limb_mask;
    }
    square_kernel(w, static_cast<__mmask8>(twice));
    // Limbs joined by or, so that one of 2^52 or over would show.
    for (std::size_t l = 0; l < count; ++l) {
        x[l].fill(0);
        for (std::size_t j = 0; j < limbs; ++j) {
            const std::size_t at = limb_bits * j;
            x[l][at / 64] |= w.x[j][l] << (at % 64);
            if (at % 64 > 64 - limb_bits && at / 64 + 1 < number_limbs) {
                x[l][at / 64 + 1] |= w.x[j][l] >> (64 - at % 64);
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

}  // namespace keygen
