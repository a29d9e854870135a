#include "primes/primes.hpp"

namespace primes {

namespace {

// Limbs up to the highest nonzero one, as GMP wants its sizes.
mp_size_t used_limbs(const limb_number& n)
{
    auto size = static_cast<mp_size_t>(number_limbs);
    while (size > 0 && n[static_cast<std::size_t>(size - 1)] == 0) {
        --size;
    }
    return size;
}

}  // namespace

bool is_probable_prime(const limb_number& n)
{
    mpz_t view;
    return mpz_probab_prime_p(mpz_roinit_n(view, n.data(), used_limbs(n)), primality_reps) != 0;
}

void store_limbs(mpz_class& z, const limb_number& n)
{
    mp_limb_t* out = mpz_limbs_write(z.get_mpz_t(), number_limbs);
    for (std::size_t i = 0; i < number_limbs; ++i) {
        out[i] = n[i];
    }
    mpz_limbs_finish(z.get_mpz_t(), number_limbs);
}

}  // namespace primes
