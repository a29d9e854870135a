#include "keyarith/fixed_digits.hpp"

#include "foundation/secure_memory.hpp"

#include <cstring>

namespace keyarith {

void format_fixed_digits(const mpz_class& z, char* out, int width)
{
    if (sgn(z) < 0 || width <= 0) {
        return;
    }
    const std::size_t field = static_cast<std::size_t>(width);
    // GMP's estimate is exact or one too large, so a value it puts two or
    // more past the field cannot fit, and the rendering below stays within
    // field + 2 bytes.
    const std::size_t estimate = mpz_sizeinbase(z.get_mpz_t(), 10);
    if (estimate > field + 1) {
        return;
    }
    foundation::secure_buffer text(estimate + 1);
    mpz_get_str(text.data(), 10, z.get_mpz_t());
    const std::size_t digits = std::strlen(text.data());
    if (digits > field) {
        return;
    }
    std::memset(out, '0', field - digits);
    std::memcpy(out + (field - digits), text.data(), digits);
}

}  // namespace keyarith
