// The modular operations with arbitrary arguments: a broken precondition
// may only throw std::domain_error, and every result is checked against
// GMP directly.
#include "fuzz/fuzz_input.hpp"
#include "keyarith/modular.hpp"
#include "keygen/random_decimal.hpp"

#include <stdexcept>

namespace {

using fuzzing::check;

mpz_class mod(const mpz_class& a, const mpz_class& m)
{
    mpz_class r;
    mpz_mod(r.get_mpz_t(), a.get_mpz_t(), m.get_mpz_t());
    return r;
}

void square(fuzzing::input& in)
{
    const mpz_class b = in.take_number();
    const mpz_class m = in.take_number();
    mpz_class r;
    keyarith::square_mod(r, b, m);
    check(r == mod(b * b, m), "square_mod wrong");
}

void root(fuzzing::input& in)
{
    const mpz_class a = in.take_number();
    const mpz_class p = in.take_number();
    mpz_class r;
    keyarith::sqrt_mod_prime(r, a, p);
    mpz_class expected;
    const mpz_class e = (p + 1) / 4;
    mpz_powm(expected.get_mpz_t(), a.get_mpz_t(), e.get_mpz_t(), p.get_mpz_t());
    check(r == expected && r >= 0 && r < p, "sqrt_mod_prime wrong");
}

void combine(fuzzing::input& in)
{
    const mpz_class rp = in.take_number();
    const mpz_class rq = in.take_number();
    const mpz_class p = in.take_number();
    const mpz_class q = in.take_number();
    mpz_class r;
    keyarith::crt_combine(r, rp, rq, p, q);
    check(mod(r, p) == mod(rp, p) && mod(r, q) == mod(rq, q), "crt_combine misses a congruence");
}

void coprime_square(fuzzing::input& in)
{
    const mpz_class n = in.take_number(24);
    // The input's values first, then a fixed generator, so the search ends.
    std::uint32_t state = 12345;
    keygen::set_value_source([&] {
        state = state * 1103515245U + 12345U;
        return (in.left() >= 4 ? in.take<std::uint32_t>() : state) & 0x7fffffffU;
    });
    mpz_class x;
    try {
        keyarith::random_coprime_square(x, n);
    } catch (...) {
        keygen::set_value_source({});
        throw;
    }
    keygen::set_value_source({});
    mpz_class g;
    mpz_gcd(g.get_mpz_t(), x.get_mpz_t(), n.get_mpz_t());
    check(x >= 0 && x < n && g == 1, "random_coprime_square wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::input in(data, size);
    try {
        switch (in.take<std::uint8_t>() % 4) {
        case 0:
            square(in);
            break;
        case 1:
            root(in);
            break;
        case 2:
            combine(in);
            break;
        default:
            coprime_square(in);
            break;
        }
    } catch (const std::domain_error&) {
        // A documented refusal of a broken precondition.
    }
    return 0;
}
