#include "keyaudit/shared_primes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

using keyaudit::find_shared_primes;

namespace {

using indices = std::vector<std::size_t>;

// With every N = P*Q, the factor is a prime of N that another N holds.
void expect_factor(const std::vector<mpz_class>& moduli,
                   const std::vector<keyaudit::shared_prime_result>& found, std::size_t i)
{
    const mpz_class& f = found[i].factor;
    if (found[i].shares_with.empty()) {
        EXPECT_EQ(f, 0) << i;
        return;
    }
    ASSERT_GT(f, 1) << i;
    EXPECT_LT(f, moduli[i]) << i;
    EXPECT_NE(mpz_divisible_p(moduli[i].get_mpz_t(), f.get_mpz_t()), 0) << i;
    EXPECT_NE(mpz_probab_prime_p(f.get_mpz_t(), 30), 0) << i;
    EXPECT_TRUE(std::any_of(found[i].shares_with.begin(), found[i].shares_with.end(),
                            [&](std::size_t j) {
                                return mpz_divisible_p(moduli[j].get_mpz_t(), f.get_mpz_t()) != 0;
                            }))
        << i;
}

struct small_case {
    const char* name;
    std::vector<mpz_class> moduli;
    std::vector<indices> shares_with;
    std::vector<indices> same_key_as;
};

TEST(FindSharedPrimes, SmallFleets)
{
    const mpz_class m89 = (mpz_class(1) << 89) - 1;  // primes of other sizes
    const mpz_class m61 = (mpz_class(1) << 61) - 1;
    const std::vector<small_case> cases = {
        {"empty", {}, {}, {}},
        {"one", {15}, {{}}, {{}}},
        {"all identical", {15, 15, 15}, {{}, {}, {}}, {{1, 2}, {0, 2}, {0, 1}}},
        {"two share", {15, 143, 21}, {{2}, {}, {0}}, {{}, {}, {}}},
        {"both primes to two keys", {15, 21, 55}, {{1, 2}, {0}, {0}}, {{}, {}, {}}},
        {"cycle", {15, 35, 21}, {{1, 2}, {0, 2}, {0, 1}}, {{}, {}, {}}},
        {"duplicate that shares", {21, 15, 21}, {{1}, {0, 2}, {1}}, {{2}, {}, {0}}},
        {"sizes", {3 * m89, 15, m89 * m61, 7 * 11}, {{1, 2}, {0}, {0}, {}}, {{}, {}, {}, {}}},
    };
    for (const small_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto found = find_shared_primes(c.moduli);
        ASSERT_EQ(found.size(), c.moduli.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].shares_with, c.shares_with[i]) << i;
            EXPECT_EQ(found[i].same_key_as, c.same_key_as[i]) << i;
            expect_factor(c.moduli, found, i);
        }
    }
}

TEST(FindSharedPrimes, RefusesModuliBelowTwo)
{
    EXPECT_THROW(find_shared_primes({15, 1}), std::domain_error);
    EXPECT_THROW(find_shared_primes({0}), std::domain_error);
}

// Planted relations among unrelated keys of two 100-digit primes, checked
// against the GCD of every pair.
TEST(FindSharedPrimes, FleetAgainstEveryPair)
{
    gmp_randclass random(gmp_randinit_mt);
    random.seed(2012);
    const auto prime = [&random](int digits) {
        const mpz_class low("1" + std::string(static_cast<std::size_t>(digits) - 1, '0'));
        mpz_class p = low + random.get_z_range(9 * low);
        mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
        return p;
    };
    struct key {
        mpz_class p, q;
    };
    const mpz_class a = prime(100);
    const mpz_class b = prime(100);
    const mpz_class c = prime(100);
    const mpz_class d = prime(100);
    const key first{a, prime(100)};
    const key lone{prime(100), prime(100)};
    const std::vector<key> planted = {
        first,           {a, prime(100)},                   // two share, one of them twice
        {b, c},          {b, prime(100)}, {c, prime(100)},  // both primes, to two keys
        lone,            lone,            lone,             // the same key thrice
        {prime(40), d},  {d, prime(100)},  first,           // other sizes
    };
    std::vector<key> keys(250);
    for (key& k : keys) {
        k = {prime(100), prime(100)};
    }
    // Spread out, so that neither input order nor value order groups them.
    for (std::size_t j = 0; j < planted.size(); ++j) {
        keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(j * 23), planted[j]);
    }

    std::vector<mpz_class> moduli(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        moduli[i] = keys[i].p * keys[i].q;
    }
    const auto found = find_shared_primes(moduli);
    ASSERT_EQ(found.size(), moduli.size());
    std::size_t sharing = 0;
    mpz_class g;
    for (std::size_t i = 0; i < moduli.size(); ++i) {
        indices shares;
        indices same;
        for (std::size_t j = 0; j < moduli.size(); ++j) {
            mpz_gcd(g.get_mpz_t(), moduli[i].get_mpz_t(), moduli[j].get_mpz_t());
            if (j != i && moduli[j] == moduli[i]) {
                same.push_back(j);
            } else if (j != i && g != 1) {
                shares.push_back(j);
            }
        }
        EXPECT_EQ(found[i].shares_with, shares) << i;
        EXPECT_EQ(found[i].same_key_as, same) << i;
        expect_factor(moduli, found, i);
        if (!shares.empty()) {
            EXPECT_TRUE(found[i].factor == keys[i].p || found[i].factor == keys[i].q) << i;
            ++sharing;
        }
    }
    EXPECT_EQ(sharing, 8U);
}


// What every key's result must be, from the GCD of every pair.
std::vector<keyaudit::shared_prime_result> every_pair(const std::vector<mpz_class>& moduli,
                                                      bool small_factors)
{
    const std::size_t n = moduli.size();
    mpz_class below_a_million;
    mpz_primorial_ui(below_a_million.get_mpz_t(), 999999);
    std::vector<bool> invalid(n, false);
    mpz_class g;
    for (std::size_t i = 0; i < n && small_factors; ++i) {
        mpz_gcd(g.get_mpz_t(), moduli[i].get_mpz_t(), below_a_million.get_mpz_t());
        invalid[i] = g != 1;
    }
    std::vector<keyaudit::shared_prime_result> expected(n);
    std::vector<std::size_t> group(n);
    for (std::size_t i = 0; i < n; ++i) {
        group[i] = i;
    }
    const auto root = [&group](std::size_t x) {
        while (group[x] != x) {
            x = group[x];
        }
        return x;
    };
    for (std::size_t i = 0; i < n; ++i) {
        keyaudit::shared_prime_result& r = expected[i];
        r.small_factor = invalid[i];
        for (std::size_t j = 0; j < n && !invalid[i]; ++j) {
            mpz_gcd(g.get_mpz_t(), moduli[i].get_mpz_t(), moduli[j].get_mpz_t());
            if (j == i || invalid[j] || g == 1) {
                continue;
            }
            const bool same = moduli[j] == moduli[i];
            std::vector<std::size_t>& list = same ? r.same_key_as : r.shares_with;
            ++(same ? r.same_key_count : r.shares_with_count);
            if (list.size() < keyaudit::listed_most) {
                list.push_back(j);
            }
            group[std::max(root(i), root(j))] = std::min(root(i), root(j));
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        expected[i].group = expected[i].shares_with_count == 0 ? keyaudit::no_group : root(i);
    }
    return expected;
}

gmp_randclass& scripted()
{
    static gmp_randclass random(gmp_randinit_mt);
    return random;
}

mpz_class prime(unsigned bits)
{
    mpz_class p = scripted().get_z_bits(bits);
    mpz_setbit(p.get_mpz_t(), bits - 1);
    mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
    return p;
}

std::vector<mpz_class> primes(std::size_t count)
{
    std::vector<mpz_class> p(count);
    for (mpz_class& x : p) {
        x = prime(64);
    }
    return p;
}

std::vector<mpz_class> chain(std::size_t count, bool closed)
{
    const std::vector<mpz_class> p = primes(count + 1);
    std::vector<mpz_class> keys;
    for (std::size_t i = 0; i < count; ++i) {
        keys.emplace_back(p[i] * (closed && i + 1 == count ? p[0] : p[i + 1]));
    }
    return keys;
}

std::vector<mpz_class> star(std::size_t count)
{
    const std::vector<mpz_class> p = primes(count + 1);
    std::vector<mpz_class> keys;
    for (std::size_t i = 1; i <= count; ++i) {
        keys.emplace_back(p[0] * p[i]);
    }
    return keys;
}

std::vector<mpz_class> copies(std::size_t count)
{
    const std::vector<mpz_class> p = primes(3);
    std::vector<mpz_class> keys(count, p[0] * p[1]);
    keys.insert(keys.begin() + 5, p[1] * p[2]);
    return keys;
}

std::vector<mpz_class> mixed(bool small)
{
    std::vector<mpz_class> keys = primes(60);
    for (std::size_t i = 0; i + 1 < keys.size(); i += 2) {
        keys[i] *= keys[i + 1];
        keys[i + 1] = prime(64) * prime(64);
    }
    const std::vector<mpz_class> p = primes(6);
    const std::vector<mpz_class> planted = {p[0] * p[1], p[1] * p[2], p[2] * p[3], p[0] * p[4],
                                            p[0] * p[3]};
    for (const mpz_class& k : planted) {
        keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / 3), k);
    }
    if (small) {  // no keys: one shares p[5] with a valid key alone, one p[0] with several
        keys.insert(keys.begin() + 7, 999983 * p[5]);
        keys.insert(keys.begin() + 30, p[5] * prime(64));
        keys.insert(keys.begin() + 12, mpz_class(3) * p[0]);
        keys.insert(keys.begin() + 40, mpz_class(7919) * prime(64));
        keys.insert(keys.begin() + 2, mpz_class(15));
    }
    return keys;
}

// Past the subtrees of 1,024 leaves under the shared top, the last of
// them a single leaf.
std::vector<mpz_class> past_one_subtree()
{
    const std::size_t count = 3 * 1024 + 1;
    const std::vector<mpz_class> p = primes(2 * count);
    std::vector<mpz_class> keys;
    for (std::size_t i = 0; i < count; ++i) {
        keys.emplace_back(p[2 * i] * p[2 * i + 1]);
    }
    for (const std::size_t k : {511, 1024, 2047, 3072}) {
        keys[k] = p[0] * p[2 * k + 1];
    }
    keys[2500] = p[201] * p[2 * 2500 + 1];
    return keys;
}

struct fleet_case {
    const char* name;
    std::vector<mpz_class> moduli;
    bool small_factors;
};

TEST(FindSharedPrimes, ShapesAgainstEveryPair)
{
    scripted().seed(2012);
    const std::vector<fleet_case> cases = {
        {"chain", chain(40, false), false},
        {"cycle", chain(30, true), true},
        {"star", star(40), false},
        {"copies", copies(40), false},
        {"mixed", mixed(false), false},
        {"mixed with small factors", mixed(true), true},
        {"past one subtree", past_one_subtree(), true},
    };
    for (const fleet_case& c : cases) {
        SCOPED_TRACE(c.name);
        keyaudit::shared_prime_settings settings;
        settings.small_factors = c.small_factors;
        settings.threads = 2;
        const auto found = find_shared_primes(c.moduli, settings);
        const auto expected = every_pair(c.moduli, c.small_factors);
        ASSERT_EQ(found.size(), expected.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].small_factor, expected[i].small_factor) << i;
            EXPECT_EQ(found[i].shares_with, expected[i].shares_with) << i;
            EXPECT_EQ(found[i].shares_with_count, expected[i].shares_with_count) << i;
            EXPECT_EQ(found[i].same_key_as, expected[i].same_key_as) << i;
            EXPECT_EQ(found[i].same_key_count, expected[i].same_key_count) << i;
            EXPECT_EQ(found[i].group, expected[i].group) << i;
            if (expected[i].shares_with_count == 0) {
                EXPECT_EQ(found[i].factor, 0) << i;
            } else {
                expect_factor(c.moduli, found, i);
            }
        }
    }
}

TEST(FindSharedPrimes, StopSetBeforeTheCall)
{
    const std::atomic<int> stop{1};
    keyaudit::shared_prime_settings settings;
    settings.stop = &stop;
    EXPECT_THROW(find_shared_primes({15, 21, 35}, settings), keyaudit::comparison_stopped);
}

// GMP's allocations of a megabyte and more are those of the upper levels
// of a large tree: the first one tells the stopping thread that the call
// is well under way.
std::mutex big_lock;
std::condition_variable big_seen;
bool big_allocated = false;
void* (*plain_allocate)(std::size_t) = nullptr;

void* watching_allocate(std::size_t size)
{
    if (size >= (std::size_t{1} << 20)) {
        const std::lock_guard<std::mutex> hold(big_lock);
        big_allocated = true;
        big_seen.notify_all();
    }
    return plain_allocate(size);
}

TEST(FindSharedPrimes, StopFromAnotherThreadDuringALargeCall)
{
    scripted().seed(1);
    std::vector<mpz_class> moduli(40000);
    for (mpz_class& n : moduli) {
        n = scripted().get_z_bits(664);
        mpz_setbit(n.get_mpz_t(), 0);
    }
    void* (*reallocate)(void*, std::size_t, std::size_t) = nullptr;
    void (*release)(void*, std::size_t) = nullptr;
    mp_get_memory_functions(&plain_allocate, &reallocate, &release);
    mp_set_memory_functions(watching_allocate, reallocate, release);
    std::atomic<int> stop{0};
    std::thread stopper([&stop] {
        std::unique_lock<std::mutex> hold(big_lock);
        big_seen.wait_for(hold, std::chrono::minutes(2), [] { return big_allocated; });
        stop = 1;
    });
    keyaudit::shared_prime_settings settings;
    settings.stop = &stop;
    settings.threads = 2;
    EXPECT_THROW(find_shared_primes(moduli, settings), keyaudit::comparison_stopped);
    stopper.join();
    EXPECT_TRUE(big_allocated);
    // The watch stays: the comparison's own thread may still be allocating.
}
}  // namespace
