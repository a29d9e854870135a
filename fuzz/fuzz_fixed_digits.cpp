// format_fixed_digits with any value and any width: the field holds the
// zero-padded digits or is untouched, and the bytes around it never change.
#include "fuzz/fuzz_input.hpp"
#include "keyarith/fixed_digits.hpp"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::input in(data, size);
    const int width = in.take<std::int16_t>() % 3000;
    const mpz_class z = in.take_number(512);

    constexpr std::size_t guard = 16;
    const std::size_t field = width > 0 ? static_cast<std::size_t>(width) : 0;
    std::string area(field + 2 * guard, '#');
    keyarith::format_fixed_digits(z, area.data() + guard, width);

    const std::string digits = z.get_str();
    std::string expected(field, '#');
    if (z >= 0 && digits.size() <= field) {
        expected = std::string(field - digits.size(), '0') + digits;
    }
    fuzzing::check(area == std::string(guard, '#') + expected + std::string(guard, '#'),
                   "field or guard bytes wrong");
    return 0;
}
