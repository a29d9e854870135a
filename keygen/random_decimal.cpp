#include "keygen/random_decimal.hpp"

#include "keygen/system_random.hpp"
#include "primes/primes.hpp"

#include <stdexcept>
#include <utility>

namespace keygen {

namespace {

value_source installed_source;

constexpr auto digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes the plain decimal text of v at out and returns its length. Two
// digits a step, as the search spends a fifth of its time here. No
// temporary copy: the digits are the secret.
std::size_t put_decimal(char* out, std::uint32_t v)
{
    const std::size_t n = primes::decimal_length(v);
    std::size_t end = n;
    for (; v >= 100; v /= 100, end -= 2) {
        const std::size_t pair = 2 * static_cast<std::size_t>(v % 100);
        out[end - 2] = digit_pairs[pair];
        out[end - 1] = digit_pairs[pair + 1];
    }
    if (v >= 10) {
        const std::size_t pair = 2 * static_cast<std::size_t>(v);
        out[end - 2] = digit_pairs[pair];
        out[end - 1] = digit_pairs[pair + 1];
    } else {
        out[end - 1] = static_cast<char>('0' + v);
    }
    return n;
}

}  // namespace

void set_value_source(value_source source) { installed_source = std::move(source); }

std::uint32_t next_value()
{
    return installed_source ? installed_source() : system_value();
}

void draw_digits(digit_text& text, int ndigits) { draw_digits(text, ndigits, next_value); }

void draw_digits(digit_text& text, int ndigits, const value_source& source)
{
    if (ndigits < 0 || ndigits > max_digits) {
        throw std::invalid_argument("random_decimal: digit count out of range");
    }
    const auto wanted = static_cast<std::size_t>(ndigits);
    std::size_t length = 0;
    do {
        length += put_decimal(text.chars.data() + length, source());
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
