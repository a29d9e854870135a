#pragma once
// The prime search written the straightforward way, as a yardstick for the
// optimised one: same results, no shortcuts.
#include <gmpxx.h>

namespace testing_support {

void reference_random_decimal(mpz_class& z, int ndigits);
void reference_find_blum_prime(mpz_class& p);

}  // namespace testing_support
