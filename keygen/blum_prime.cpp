#include "keygen/blum_prime.hpp"

#include "primes/primes.hpp"

namespace keygen {

namespace {

using primes::limb_number;

static_assert(prime_digits == primes::candidate_digits && primes::candidate_digits <= max_digits);

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
    if (primes::has_small_factor(n)) {
        return false;
    }
    return !primes::base2_sprp_accepts(n) || primes::is_base2_sprp(n);
}

}  // namespace

// Every check before mpz_probab_prime_p only rejects what it would reject
// (and a prime of class 1 is rejected whichever test comes first), so the
// primes and the values consumed are those of the plain search.
void find_blum_prime(mpz_class& p) { find_blum_prime(p, next_value); }

void find_blum_prime(mpz_class& p, const value_source& source)
{
    primes::drawn_candidate drawn;
    foundation::wiped<limb_number> n;
    for (;;) {
        primes::draw_candidate_from(drawn, source);
        if (!primes::is_three_mod_four(drawn)) {
            continue;
        }
        primes::candidate_number(drawn, n);
        if (passes_pretests(n) && primes::is_probable_prime(n)) {
            primes::store_limbs(p, n);
            return;
        }
    }
}

}  // namespace keygen
