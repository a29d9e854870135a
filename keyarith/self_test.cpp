#include "keyarith/self_test.hpp"

#include "keyarith/modular.hpp"

#include <stdexcept>

namespace keyarith {

bool passes_self_test(const mpz_class& p, const mpz_class& q, const mpz_class& n)
{
    try {
        mpz_class x;
        random_coprime_square(x, n);
        mpz_class rp;
        mpz_class rq;
        sqrt_mod_prime(rp, x, p);
        sqrt_mod_prime(rq, x, q);
        mpz_class r;
        mpz_class r2;
        crt_combine(r, rp, rq, p, q);
        crt_combine(r2, rp, mpz_class(q - rq), p, q);
        mpz_mod(r.get_mpz_t(), r.get_mpz_t(), n.get_mpz_t());
        mpz_mod(r2.get_mpz_t(), r2.get_mpz_t(), n.get_mpz_t());
        for (const mpz_class& root : {r, mpz_class(n - r), r2, mpz_class(n - r2)}) {
            mpz_class back;
            square_mod(back, root, n);
            if (back != x) {
                return false;
            }
        }
        return r != r2 && r != n - r2;
    } catch (const std::domain_error&) {
        return false;
    }
}

}  // namespace keyarith
