#include "keygen/blum_prime.hpp"

#include "keygen/base2_sprp.hpp"
#include "keygen/drawn_candidate.hpp"
#include "foundation/secure_memory.hpp"
#include "keygen/small_factors.hpp"

#include <gmp.h>

namespace keygen {

namespace {

static_assert(prime_digits == candidate_digits);

// Since GMP 6.2, mpz_probab_prime_p(n, reps) for reps up to 24 is trial
// division and BPSW, whose first half is a base-2 strong test (GMP's NEWS
// for 6.2.0). So every composite that fails that test is rejected by GMP,
// and the pre-test below may reject it first. Older versions ran
// Miller-Rabin with random bases instead.
static_assert(__GNU_MP_VERSION > 6 || (__GNU_MP_VERSION == 6 && __GNU_MP_VERSION_MINOR >= 2),
              "the base-2 pre-test relies on GMP's BPSW");

// Rejects only numbers mpz_probab_prime_p rejects: those with a small
// factor (other than themselves) and those failing the base-2 strong test.
// Numbers the kernel does not take (a draw that began with zeros) go
// straight to GMP.
bool passes_pretests(const limb_number& n)
{
    if (has_small_factor(n)) {
        return false;
    }
    return !base2_sprp_accepts(n) || is_base2_sprp(n);
}

// Limbs up to the highest nonzero one, as GMP wants its sizes.
mp_size_t used_limbs(const limb_number& n)
{
    auto size = static_cast<mp_size_t>(number_limbs);
    while (size > 0 && n[static_cast<std::size_t>(size - 1)] == 0) {
        --size;
    }
    return size;
}

// GMP's test on the limbs in place, through a read-only view.
bool is_probable_prime(const limb_number& n)
{
    mpz_t view;
    return mpz_probab_prime_p(mpz_roinit_n(view, n.data(), used_limbs(n)), primality_reps) != 0;
}

void store(mpz_class& p, const limb_number& n)
{
    mp_limb_t* out = mpz_limbs_write(p.get_mpz_t(), number_limbs);
    for (std::size_t i = 0; i < number_limbs; ++i) {
        out[i] = n[i];
    }
    mpz_limbs_finish(p.get_mpz_t(), number_limbs);
}

}  // namespace

// Every check before mpz_probab_prime_p only rejects what it would reject
// (and a prime of class 1 is rejected whichever test comes first), so the
// primes and the values consumed are those of the plain search.
void find_blum_prime(mpz_class& p) { find_blum_prime(p, next_value); }

void find_blum_prime(mpz_class& p, const value_source& source)
{
    drawn_candidate drawn;
    foundation::wiped<limb_number> n;
    for (;;) {
        draw_candidate(drawn, source);
        if (!is_three_mod_four(drawn)) {
            continue;
        }
        candidate_number(drawn, n);
        if (passes_pretests(n) && is_probable_prime(n)) {
            store(p, n);
            return;
        }
    }
}

}  // namespace keygen
