#include "primes/internal/montgomery.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace primes {

#if defined(__x86_64__)

// One pass adds rdx times the six limbs at src to the seven words a..g:
// low halves ride the carry flag (adcx), high halves the overflow flag
// (adox), so the two chains run side by side. With x below 4n and n below
// 2^380 the running sum stays below 5n * 2^64, so no carry leaves g.
#define KEYGEN_STEP(src, off, lo_dst, hi_dst) \
    "mulxq " #off "(%[" #src "]), %[lo], %[hi]\n\t" \
    "adcxq %[lo], %[" #lo_dst "]\n\t" \
    "adoxq %[hi], %[" #hi_dst "]\n\t"

#define KEYGEN_PASS(src, a, b, c, d, e, f, g) \
    "xorq %[lo], %[lo]\n\t" \
    KEYGEN_STEP(src, 0, a, b) \
    KEYGEN_STEP(src, 8, b, c) \
    KEYGEN_STEP(src, 16, c, d) \
    KEYGEN_STEP(src, 24, d, e) \
    KEYGEN_STEP(src, 32, e, f) \
    KEYGEN_STEP(src, 40, f, g) \
    "movq $0, %[hi]\n\t" \
    "adcxq %[hi], %[" #g "]\n\t"

// A round of the interleaved (CIOS) method: add x[i] times x, then the
// multiple of n that clears word a, which then serves as the next round's
// top word (the names turn by one each round).
#define KEYGEN_ROUND(off, a, b, c, d, e, f, g) \
    "movq " #off "(%[x]), %%rdx\n\t" \
    KEYGEN_PASS(x, a, b, c, d, e, f, g) \
    "movq %[" #a "], %%rdx\n\t" \
    "imulq %[ninv], %%rdx\n\t" \
    KEYGEN_PASS(n, a, b, c, d, e, f, g)

void square_adx(limb_number& a, const montgomery_modulus& m, std::uint64_t twice) noexcept
{
    std::uint64_t t0 = 0;
    std::uint64_t t1 = 0;
    std::uint64_t t2 = 0;
    std::uint64_t t3 = 0;
    std::uint64_t t4 = 0;
    std::uint64_t t5 = 0;
    std::uint64_t t6 = 0;
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    // A copy on the stack: its address needs no register of its own, and
    // the sanitizers' frame pointer leaves few.
    const std::uint64_t neg_inverse = m.neg_inverse;
    asm(KEYGEN_ROUND(0, t0, t1, t2, t3, t4, t5, t6)
        KEYGEN_ROUND(8, t1, t2, t3, t4, t5, t6, t0)
        KEYGEN_ROUND(16, t2, t3, t4, t5, t6, t0, t1)
        KEYGEN_ROUND(24, t3, t4, t5, t6, t0, t1, t2)
        KEYGEN_ROUND(32, t4, t5, t6, t0, t1, t2, t3)
        KEYGEN_ROUND(40, t5, t6, t0, t1, t2, t3, t4)
        : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [t4] "+&r"(t4),
          [t5] "+&r"(t5), [t6] "+&r"(t6), [lo] "+&r"(lo), [hi] "+&r"(hi)
        : [x] "r"(a.data()), [n] "r"(m.n.data()), [ninv] "m"(neg_inverse)
        : "rdx", "cc", "memory");
    a = {t6, t0, t1, t2, t3, t4};
    double_if(a, twice);
}

#undef KEYGEN_ROUND
#undef KEYGEN_PASS
#undef KEYGEN_STEP

bool adx_available() noexcept
{
    // Leaf 7 of cpuid: BMI2 is bit 8 of ebx, ADX bit 19.
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return (ebx & (1U << 8)) != 0 && (ebx & (1U << 19)) != 0;
}

#else

void square_adx(limb_number& a, const montgomery_modulus& m, std::uint64_t twice) noexcept
{
    square_portable(a, m, twice);
}

bool adx_available() noexcept { return false; }

#endif

}  // namespace primes
