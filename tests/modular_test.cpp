#include "keyarith/modular.hpp"
#include "keygen/generate_key.hpp"
#include "keygen/random_decimal.hpp"
#include "testing/scripted_source.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace keyarith;
using testing_support::scripted_stream;

namespace {

TEST(SquareMod, ResidueIsNonNegativeAndMayAliasTheBase)
{
    mpz_class r;
    square_mod(r, -3, 7);
    EXPECT_EQ(r, 2);
    mpz_class x = 123456789;
    square_mod(x, x, 1000);
    EXPECT_EQ(x, 521);
    square_mod(r, 5, 1);
    EXPECT_EQ(r, 0);
}

TEST(CrtCombine, KeepsGmpsBezoutPairUnreduced)
{
    mpz_class r;
    crt_combine(r, 3, 5, 7, 11);
    EXPECT_EQ(r, -39);
    mpz_class rp = 3;
    crt_combine(rp, rp, 5, 7, 11);
    EXPECT_EQ(rp, -39);
}

TEST(CrtCombine, MeetsBothCongruences)
{
    mpz_class p("1000000000000000000000000000000");
    mpz_class q("340282366920938463463374607431768211456");
    mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
    mpz_nextprime(q.get_mpz_t(), q.get_mpz_t());
    for (const mpz_class& rp : {mpz_class(0), mpz_class(1), mpz_class(p - 1), mpz_class("-98765432109876543")}) {
        const mpz_class rq = rp * 7 + 3;
        mpz_class r;
        crt_combine(r, rp, rq, p, q);
        EXPECT_EQ(mpz_class(r - rp) % p, 0);
        EXPECT_EQ(mpz_class(r - rq) % q, 0);
    }
}

TEST(SqrtModPrime, RootsSquaresAndNegatesNonSquares)
{
    const mpz_class p = 10007;  // 3 mod 4
    mpz_class r;
    sqrt_mod_prime(r, 0, p);
    EXPECT_EQ(r, 0);
    for (int a = 1; a < 200; ++a) {
        sqrt_mod_prime(r, a, p);
        mpz_class sq;
        square_mod(sq, r, p);
        const bool is_square = mpz_legendre(mpz_class(a).get_mpz_t(), p.get_mpz_t()) == 1;
        EXPECT_EQ(sq, is_square ? mpz_class(a) : mpz_class(p - a)) << "a = " << a;
    }
    mpz_class a = 4;
    sqrt_mod_prime(a, a, 7);
    EXPECT_EQ(a, 2);
}

struct broken_call {
    const char* name;
    std::function<void(mpz_class&)> call;
};

void PrintTo(const broken_call& c, std::ostream* os) { *os << c.name; }

class BrokenPrecondition : public testing::TestWithParam<broken_call> {};

TEST_P(BrokenPrecondition, ThrowsDomainErrorAndKeepsTheResult)
{
    scripted_stream stream;
    mpz_class result = 4242;
    EXPECT_THROW(GetParam().call(result), std::domain_error);
    EXPECT_EQ(result, 4242);
    EXPECT_EQ(stream.consumed(), 0U);
}

const mpz_class too_large = [] {
    mpz_class n;
    mpz_ui_pow_ui(n.get_mpz_t(), 10, keygen::max_digits + 1);
    return n;
}();

INSTANTIATE_TEST_SUITE_P(
    Calls, BrokenPrecondition,
    testing::Values(
        broken_call{"SquareModZero", [](mpz_class& r) { square_mod(r, 3, 0); }},
        broken_call{"SquareModNegative", [](mpz_class& r) { square_mod(r, 3, -7); }},
        broken_call{"SqrtZero", [](mpz_class& r) { sqrt_mod_prime(r, 2, 0); }},
        broken_call{"SqrtNegative", [](mpz_class& r) { sqrt_mod_prime(r, 2, -5); }},
        broken_call{"SqrtOneModFour", [](mpz_class& r) { sqrt_mod_prime(r, 2, 13); }},
        broken_call{"SqrtEven", [](mpz_class& r) { sqrt_mod_prime(r, 2, 10); }},
        broken_call{"CrtZeroP", [](mpz_class& r) { crt_combine(r, 1, 2, 0, 11); }},
        broken_call{"CrtNegativeQ", [](mpz_class& r) { crt_combine(r, 1, 2, 7, -11); }},
        broken_call{"CrtNotCoprime", [](mpz_class& r) { crt_combine(r, 1, 2, 6, 15); }},
        broken_call{"SquareOfZero", [](mpz_class& r) { random_coprime_square(r, 0); }},
        broken_call{"SquareOfNegative", [](mpz_class& r) { random_coprime_square(r, -77); }},
        broken_call{"SquareOfHuge", [](mpz_class& r) { random_coprime_square(r, too_large); }}),
    [](const auto& info) { return std::string(info.param.name); });

struct square_case {
    const char* name;
    long n;
    std::vector<std::uint32_t> values;
    long expected;
    std::size_t consumed;
};

void PrintTo(const square_case& c, std::ostream* os) { *os << c.name; }

class RandomCoprimeSquare : public testing::TestWithParam<square_case> {};

TEST_P(RandomCoprimeSquare, RedrawsUntilCoprime)
{
    const square_case& c = GetParam();
    scripted_stream stream(c.values);
    mpz_class x = -1;
    random_coprime_square(x, c.n);
    EXPECT_EQ(x, c.expected);
    EXPECT_EQ(stream.consumed(), c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RandomCoprimeSquare,
    testing::Values(
        // 1001 = 7*11*13 draws three digits: 700 squares to 511 = 7*73,
        // 200 to 961.
        square_case{"SharedFactorIsRedrawn", 1001, {700, 200}, 961, 2},
        square_case{"DrawsOneDigitLessThanN", 10007, {123456}, 1692, 1},
        // GMP sizes 77 as three digits, so it draws two.
        square_case{"DrawsAsManyWhenGmpOverestimates", 77, {73}, 16, 1},
        square_case{"SmallModulusStillDraws", 5, {0, 2}, 4, 2},
        square_case{"ModulusOneGivesZero", 1, {8}, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// GMP sizes 10^1015 - 1 as 1016 digits: the limit must follow the true
// count, and the draw stay within what random_decimal accepts.
TEST(RandomCoprimeSquareLimit, FollowsTheTrueDigitCount)
{
    mpz_class n = too_large - 1;
    ASSERT_EQ(mpz_sizeinbase(n.get_mpz_t(), 10), static_cast<std::size_t>(keygen::max_digits) + 2);
    scripted_stream stream(std::vector<std::uint32_t>(102, 2147483647));
    mpz_class x;
    random_coprime_square(x, n);
    EXPECT_EQ(stream.consumed(), 102U);  // 1014 digits of ten-digit values
    mpz_class g;
    mpz_gcd(g.get_mpz_t(), x.get_mpz_t(), n.get_mpz_t());
    EXPECT_TRUE(x > 0 && x < n && g == 1);
}

TEST(RandomCoprimeSquareAlias, ResultMayBeTheModulus)
{
    scripted_stream stream({700, 200});
    mpz_class n = 1001;
    random_coprime_square(n, n);
    EXPECT_EQ(n, 961);
}

// The scheme end to end on a fresh key: the message is among the four
// square roots of its square that the two prime roots combine into.
TEST(RabinRoundTrip, MessageIsAmongTheFourRoots)
{
    keygen::generate_key();
    const auto& k = keygen::key_text;
    const mpz_class p(std::string(k.auth_p[0]) + k.auth_p[1], 10);
    const mpz_class q(std::string(k.auth_q[0]) + k.auth_q[1], 10);
    const mpz_class n(std::string(k.auth_n[0]) + k.auth_n[1] + k.auth_n[2] + k.auth_n[3], 10);
    keygen::wipe_key_text();

    mpz_class message;
    mpz_class g;
    do {
        keygen::random_decimal(message, 150);
        mpz_gcd(g.get_mpz_t(), message.get_mpz_t(), n.get_mpz_t());
    } while (g != 1);
    mpz_class c;
    square_mod(c, message, n);

    mpz_class rp;
    mpz_class rq;
    sqrt_mod_prime(rp, c, p);
    sqrt_mod_prime(rq, c, q);
    int found = 0;
    for (const mpz_class& sp : {rp, mpz_class(p - rp)}) {
        for (const mpz_class& sq : {rq, mpz_class(q - rq)}) {
            mpz_class root;
            crt_combine(root, sp, sq, p, q);
            mpz_mod(root.get_mpz_t(), root.get_mpz_t(), n.get_mpz_t());
            mpz_class back;
            square_mod(back, root, n);
            EXPECT_EQ(back, c);
            found += root == message ? 1 : 0;
        }
    }
    EXPECT_EQ(found, 1);

    mpz_class x;
    random_coprime_square(x, n);
    mpz_gcd(g.get_mpz_t(), x.get_mpz_t(), n.get_mpz_t());
    EXPECT_TRUE(x > 0 && x < n && g == 1);
    sqrt_mod_prime(rp, x, p);
    square_mod(rp, rp, p);
    EXPECT_EQ(rp, mpz_class(x % p));
}

}  // namespace
