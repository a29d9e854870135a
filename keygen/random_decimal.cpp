#include "keygen/random_decimal.hpp"

#include "keygen/secure_memory.hpp"
#include "keygen/system_random.hpp"

#include <stdexcept>
#include <utility>

namespace keygen {

namespace {

value_source installed_source;

// Appends the plain decimal text of v at out and returns its length.
std::size_t put_decimal(char* out, std::uint32_t v)
{
    char reversed[10];
    std::size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = reversed[n - 1 - i];
    }
    wipe(reversed, sizeof reversed);
    return n;
}

}  // namespace

void set_value_source(value_source source) { installed_source = std::move(source); }

std::uint32_t next_value()
{
    return installed_source ? installed_source() : system_value();
}

digit_text::~digit_text() { wipe(chars.data(), chars.size()); }

void draw_digits(digit_text& text, int ndigits)
{
    if (ndigits < 0 || ndigits > max_digits) {
        throw std::invalid_argument("random_decimal: digit count out of range");
    }
    const auto wanted = static_cast<std::size_t>(ndigits);
    std::size_t length = 0;
    do {
        length += put_decimal(text.chars.data() + length, next_value());
    } while (length < wanted);
    text.chars[wanted] = '\0';
}

void random_decimal(mpz_class& z, int ndigits)
{
    digit_text text;
    draw_digits(text, ndigits);
    if (ndigits > 0) {
        mpz_set_str(z.get_mpz_t(), text.chars.data(), 10);
    }
}

}  // namespace keygen
