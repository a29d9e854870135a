// random_decimal with any count, on values fed from the input: the result is
// the cut concatenation of the values' decimal texts, drawn whole, and a
// count out of range throws before drawing.
#include "fuzz/fuzz_input.hpp"
#include "keygen/random_decimal.hpp"

#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::input in(data, size);
    const int ndigits = in.take<std::int16_t>();
    std::size_t consumed = 0;
    std::string drawn;
    keygen::set_value_source([&] {
        // Once the input runs out the values are 0: still one digit each.
        const std::uint32_t v = in.take<std::uint32_t>() & 0x7fffffffU;
        ++consumed;
        drawn += std::to_string(v);
        return v;
    });
    mpz_class z = 424242;
    try {
        keygen::random_decimal(z, ndigits);
    } catch (const std::invalid_argument&) {
        fuzzing::check(ndigits < 0 || ndigits > keygen::max_digits, "valid count refused");
        fuzzing::check(consumed == 0 && z == 424242, "refused call drew or wrote");
        keygen::set_value_source({});
        return 0;
    }
    keygen::set_value_source({});
    const auto wanted = static_cast<std::size_t>(ndigits);
    fuzzing::check(drawn.size() >= wanted && (consumed == 1 || drawn.size() - wanted < 10),
                   "drew too few or too many values");
    const mpz_class expected = ndigits == 0 ? mpz_class(424242) : mpz_class(drawn.substr(0, wanted), 10);
    fuzzing::check(z == expected, "wrong number");
    return 0;
}
