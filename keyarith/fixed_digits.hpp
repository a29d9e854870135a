#pragma once
// A number as a fixed-width decimal field.
#include <gmpxx.h>

namespace keyarith {

// Writes z into out[0 .. width) right-aligned with leading zeros, with no
// terminator. Writes nothing when z has more digits than width, when z is
// negative, or when width <= 0.
void format_fixed_digits(const mpz_class& z, char* out, int width);

}  // namespace keyarith
