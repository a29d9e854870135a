#include "keyaudit/audit.hpp"
#include "keyaudit/libc_stream.hpp"
#include "keygen/blum_prime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using keyaudit::libc;

mpz_class old_modulus(libc which, std::uint32_t seed)
{
    mpz_class p;
    mpz_class q;
    keyaudit::old_key(which, seed, p, q);
    return p * q;
}

// The old generator's key from values that do not come from the replay
// under test: P, then Q, from one stream.
mpz_class modulus_of(const keygen::value_source& source)
{
    mpz_class p;
    mpz_class q;
    keygen::find_blum_prime(p, source);
    keygen::find_blum_prime(q, source);
    return p * q;
}

// The C library's own random(), when it is glibc's.
mpz_class glibc_own_modulus(std::uint32_t seed)
{
    srandom(seed);
    return modulus_of([] { return static_cast<std::uint32_t>(random()); });
}

// musl's own random() after srandom(seed), from musl_random's file when
// musl-gcc built it; else the replay.
mpz_class musl_modulus(std::uint32_t seed)
{
#ifdef MUSL_KEY_VALUES
    const auto in = std::make_shared<std::ifstream>(MUSL_KEY_VALUES);
    std::uint32_t file_seed = 0;
    EXPECT_TRUE(*in >> file_seed && file_seed == seed) << MUSL_KEY_VALUES;
    return modulus_of([in] {
        std::uint32_t v = 0;
        if (!(*in >> v)) {
            throw std::runtime_error("musl_key.txt ran out of values");
        }
        return v;
    });
#else
    return old_modulus(libc::musl, seed);
#endif
}

// Each way of matching finds the same keys, with their seeds and streams,
// whether the candidates get GMP's test or the base-2 test alone.
class AuditModes : public testing::TestWithParam<std::tuple<std::size_t, keyaudit::prime_check>> {};

// The glibc key, and the musl one where musl-gcc is here, come from the C
// libraries' own random().
TEST_P(AuditModes, FindEveryOldKeyInItsWindowOnly)
{
#ifndef __GLIBC__
    GTEST_SKIP() << "the C library here is not glibc, whose own random() makes the first key";
#endif
    constexpr std::uint32_t s = 1700000000;
    std::vector<keyaudit::suspect> keys{
        {glibc_own_modulus(s + 3), {s, s + 9}, std::nullopt},
        {musl_modulus(s), {s, s + 9}, std::nullopt},
        {old_modulus(libc::bionic, s + 9), {s, s + 9}, std::nullopt},
        {old_modulus(libc::freebsd, s + 5), {s, s + 4}, std::nullopt},  // outside its window
        {mpz_class(old_modulus(libc::glibc, s) + 2), {s, s + 9}, std::nullopt},
    };
    keyaudit::search_settings settings;
    settings.libcs = {libc::glibc, libc::freebsd, libc::musl, libc::bionic};
    // 5 keys: tried each, by the remainders, or looked up whole.
    const std::size_t mode = std::get<0>(GetParam());
    settings.remainders_from = mode == 0 ? 1500 : 0;
    settings.lookup_from = mode == 2 ? 0 : 1500;
    settings.check = std::get<1>(GetParam());
    std::vector<std::size_t> order;
    const std::atomic<int> stop{0};
    keyaudit::audit(keys, settings).run(2, stop, [](const auto&) {}, [&order](std::size_t k) { order.push_back(k); });

    const std::vector<std::size_t> by_seed{1, 0, 2};
    EXPECT_EQ(order, by_seed);
    EXPECT_EQ(keys[0].made_at, s + 3);
    EXPECT_EQ(keys[0].made_by, libc::glibc);
    EXPECT_EQ(keys[1].made_at, s);
    EXPECT_EQ(keys[1].made_by, libc::musl);
    EXPECT_EQ(keys[2].made_at, s + 9);
    EXPECT_EQ(keys[2].made_by, libc::bionic);
    EXPECT_FALSE(keys[3].made_at);
    EXPECT_FALSE(keys[4].made_at);
}

INSTANTIATE_TEST_SUITE_P(TryOrLookUp, AuditModes,
                         testing::Combine(testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{2}),
                                          testing::Values(keyaudit::prime_check::base2,
                                                          keyaudit::prime_check::exact)));

}  // namespace
