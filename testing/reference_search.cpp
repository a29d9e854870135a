#include "testing/reference_search.hpp"

#include "keygen/random_decimal.hpp"

#include <cstdio>
#include <cstring>

namespace testing_support {

void reference_random_decimal(mpz_class& z, int ndigits)
{
    char text[1024] = "";
    char piece[128] = {};
    do {
        std::snprintf(piece, sizeof piece, "%lu", static_cast<unsigned long>(keygen::next_value()));
        std::strcat(text, piece);
    } while (std::strlen(text) < static_cast<std::size_t>(ndigits));
    text[ndigits] = '\0';
    mpz_set_str(z.get_mpz_t(), text, 10);
}

void reference_find_blum_prime(mpz_class& p)
{
    for (;;) {
        do {
            reference_random_decimal(p, 100);
        } while (mpz_probab_prime_p(p.get_mpz_t(), 5) == 0);
        mpz_class r;
        mpz_mod_ui(r.get_mpz_t(), p.get_mpz_t(), 4);
        if (r == 3) {
            return;
        }
    }
}

}  // namespace testing_support
