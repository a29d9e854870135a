// Keys and primes per second, the optimised search beside the plain one,
// on scripted streams (the same streams for both) and on the system source.
#include "keyaudit/audit.hpp"
#include "keyarith/self_test.hpp"
#include "keyaudit/libc_stream.hpp"
#include "keyaudit/shared_primes.hpp"
#include "keyfile/key_check.hpp"
#include "keyaudit/base2_sprp_ifma.hpp"
#include "keyaudit/fermat_ifma.hpp"
#include "keygen/blum_prime.hpp"
#include "keygen/generate_key.hpp"
#include "primes/primes.hpp"
#include "testing/limb_convert.hpp"
#include "testing/reference_search.hpp"
#include "testing/scripted_source.hpp"

#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using search = void (*)(mpz_class&);

void plain_generate_key()
{
    mpz_class p;
    mpz_class q;
    testing_support::reference_find_blum_prime(p);
    testing_support::reference_find_blum_prime(q);
    const mpz_class n = p * q;
    keyfile::store_key(keygen::key_text, p, q, n);
}

// Each iteration gets stream number i, so both searches see the same values.
template <typename Work>
void run(benchmark::State& state, bool scripted, Work work)
{
    unsigned seed = 1;
    for (auto _ : state) {
        std::unique_ptr<testing_support::scripted_stream> stream;
        if (scripted) {
            stream = std::make_unique<testing_support::scripted_stream>(
                std::vector<std::uint32_t>{}, seed++);
        }
        work();
    }
    state.counters["per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void prime(benchmark::State& state, search find, bool scripted)
{
    mpz_class p;
    run(state, scripted, [&] { find(p); });
}

void key(benchmark::State& state, void (*generate)(), bool scripted)
{
    run(state, scripted, generate);
}

// The round trip every new key passes before it is written.
void self_test(benchmark::State& state)
{
    keygen::generate_key();
    mpz_class p;
    mpz_class q;
    mpz_class n;
    keyfile::numbers_of(keygen::key_text, p, q, n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(keyarith::passes_self_test(p, q, n));
    }
}

// The audit's cost per seed, to set beside one prime search: the replay of
// 256 seeds a pass, against a key none of them made.
void audit_seeds(benchmark::State& state)
{
    constexpr std::uint32_t seeds = 256;
    std::uint32_t first = 1700000000;
    const mpz_class n = mpz_class("1000000000000000000000000000000000000000000000000000000007") * 11;
    const std::atomic<int> stop{0};
    keyaudit::search_settings glibc_only;
    glibc_only.libcs = {keyaudit::libc::glibc};
    for (auto _ : state) {
        std::vector<keyaudit::suspect> keys{{n, {first, first + seeds - 1}, std::nullopt}};
        keyaudit::audit(keys, glibc_only).run(static_cast<unsigned>(state.range(0)), stop, [](const auto&) {});
        first += seeds;
    }
    state.counters["per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * seeds, benchmark::Counter::kIsRate);
}

// The cost per seed of a fleet: range(0) keys none of the seeds made, with
// each seed's P tried against every N (range(1) = 0), against all at once
// by the remainders of their product (1), or each seed's whole key looked
// up (2). One thread, glibc's stream, 16384 seeds a pass.
void audit_fleet(benchmark::State& state)
{
    constexpr std::uint32_t seeds = 16384;
    gmp_randclass random(gmp_randinit_mt);
    random.seed(7);
    std::vector<mpz_class> moduli(static_cast<std::size_t>(state.range(0)));
    for (mpz_class& n : moduli) {
        n = random.get_z_bits(660) | 1;
    }
    keyaudit::search_settings settings;
    settings.libcs = {keyaudit::libc::glibc};
    settings.remainders_from = state.range(1) == 0 ? moduli.size() + 1 : 0;
    settings.lookup_from = state.range(1) == 2 ? 0 : moduli.size() + 1;
    std::uint32_t first = 1700000000;
    const std::atomic<int> stop{0};
    for (auto _ : state) {
        // The fleet's product is made once a run, not a second.
        state.PauseTiming();
        std::vector<keyaudit::suspect> keys;
        for (const mpz_class& n : moduli) {
            keys.push_back({n, {first, first + seeds - 1}, std::nullopt});
        }
        keyaudit::audit search(keys, settings);
        state.ResumeTiming();
        search.run(1, stop, [](const auto&) {});
        first += seeds;
    }
    state.counters["seeds_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * seeds, benchmark::Counter::kIsRate);
}

// Values per second of the replayed streams, and of glibc's own random_r,
// which the glibc stream must not fall behind.
constexpr int values_per_pass = 1024;

void stream_values(benchmark::State& state, keyaudit::libc which)
{
    keyaudit::with_stream(which, 1700000000, [&state](auto& stream) {
        for (auto _ : state) {
            std::uint32_t sum = 0;
            for (int i = 0; i < values_per_pass; ++i) {
                sum += stream.next();
            }
            benchmark::DoNotOptimize(sum);
        }
    });
    state.counters["per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * values_per_pass, benchmark::Counter::kIsRate);
}

void random_r_values(benchmark::State& state)
{
    std::array<char, 128> table{};
    random_data data{};
    (void)initstate_r(1700000000, table.data(), table.size(), &data);
    for (auto _ : state) {
        std::uint32_t sum = 0;
        for (int i = 0; i < values_per_pass; ++i) {
            std::int32_t value = 0;
            (void)random_r(&data, &value);
            sum += static_cast<std::uint32_t>(value);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * values_per_pass, benchmark::Counter::kIsRate);
}

// srandom's cost, paid once a seed: the table and the values thrown away.
void stream_seeding(benchmark::State& state, keyaudit::libc which)
{
    std::uint32_t seed = 1700000000;
    for (auto _ : state) {
        keyaudit::with_stream(which, seed++,
                              [](auto& stream) { benchmark::DoNotOptimize(stream.next()); });
    }
}

void initstate_r_seeding(benchmark::State& state)
{
    std::array<char, 128> table{};
    std::uint32_t seed = 1700000000;
    for (auto _ : state) {
        random_data data{};
        (void)initstate_r(seed++, table.data(), table.size(), &data);
        std::int32_t value = 0;
        (void)random_r(&data, &value);
        benchmark::DoNotOptimize(value);
    }
}


// The base-2 strong test alone, numbers per second, every form on the same
// odd 100-digit numbers.
const std::vector<primes::limb_number>& hundred_digit_numbers()
{
    static const std::vector<primes::limb_number> numbers = [] {
        gmp_randclass random(gmp_randinit_mt);
        random.seed(17);
        const mpz_class low("1" + std::string(99, '0'));
        std::vector<primes::limb_number> drawn;
        for (int i = 0; i < 1024; ++i) {
            drawn.push_back(testing_support::limbs_of((low + random.get_z_range(9 * low)) | 1));
        }
        return drawn;
    }();
    return numbers;
}

void count_numbers(benchmark::State& state)
{
    state.counters["per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * hundred_digit_numbers().size()),
        benchmark::Counter::kIsRate);
}

void sprp_single(benchmark::State& state, primes::sprp_arithmetic arithmetic)
{
    if (arithmetic == primes::sprp_arithmetic::adx && !primes::adx_available()) {
        state.SkipWithError("no ADX on this processor");
        return;
    }
    for (auto _ : state) {
        for (const auto& n : hundred_digit_numbers()) {
            benchmark::DoNotOptimize(primes::is_base2_sprp(n, arithmetic));
        }
    }
    count_numbers(state);
}

void sprp_ifma(benchmark::State& state, std::size_t width)
{
    if (!keyaudit::ifma_available()) {
        state.SkipWithError("no AVX-512 IFMA on this processor");
        return;
    }
    const auto& numbers = hundred_digit_numbers();
    std::vector<char> verdict(numbers.size());
    for (auto _ : state) {
        keyaudit::base2_sprp_ifma(numbers.data(), numbers.size(),
                                  reinterpret_cast<bool*>(verdict.data()), width);
        benchmark::DoNotOptimize(verdict.data());
    }
    count_numbers(state);
}

// Fleets for the batch GCD, of keys of two 100-digit primes. The primes are
// runs of a sieved interval from scripted starts, tested by BPSW, on two
// threads: a million keys' two million primes still take minutes, so that
// fleet is read from the file KEYGEN_BENCH_MILLION names, made there first
// when it is not, and left out when the variable is not set.
std::vector<mpz_class> sieved_primes(std::size_t count, unsigned long seed)
{
    std::vector<mpz_class> primes(count);
    const auto share = [&](std::size_t first) {
        gmp_randclass random(gmp_randinit_mt);
        random.seed(seed * 2 + first);
        const mpz_class low("1" + std::string(99, '0'));
        constexpr std::size_t span = 1U << 15;  // odd numbers from each start
        std::vector<bool> composite(span);
        for (std::size_t i = first; i < count;) {
            mpz_class start = low + random.get_z_range(8 * low);
            mpz_setbit(start.get_mpz_t(), 0);
            std::fill(composite.begin(), composite.end(), false);
            for (unsigned long p = 3; p < 65536; p += 2) {
                const unsigned long r = mpz_fdiv_ui(start.get_mpz_t(), p);  // start + 2k = 0 mod p
                for (std::size_t k = (r == 0 ? 0 : (r % 2 == 1 ? p - r : 2 * p - r) / 2); k < span; k += p) {
                    composite[k] = true;
                }
            }
            for (std::size_t k = 0; k < span && i < count; ++k) {
                mpz_class n = start + 2 * k;
                if (!composite[k] && mpz_probab_prime_p(n.get_mpz_t(), 1) != 0) {
                    primes[i] = n;
                    i += 2;
                }
            }
        }
    };
    std::thread other(share, 1);
    share(0);
    other.join();
    return primes;
}

enum class shape { distinct, chain, star, copies };

std::vector<mpz_class> make_fleet(shape s, std::size_t count)
{
    const std::vector<mpz_class> p =
        sieved_primes(s == shape::distinct ? 2 * count : s == shape::copies ? 2 : count + 1, 2012);
    std::vector<mpz_class> keys;
    for (std::size_t i = 0; i < count; ++i) {
        switch (s) {
        case shape::distinct: keys.emplace_back(p[2 * i] * p[2 * i + 1]); break;
        case shape::chain: keys.emplace_back(p[i] * p[i + 1]); break;  // both primes shared
        case shape::star: keys.emplace_back(p[0] * p[i + 1]); break;   // one prime in all
        case shape::copies: keys.emplace_back(p[0] * p[1]); break;     // one N in every file
        }
    }
    return keys;
}

std::vector<mpz_class> million_fleet(const char* path)
{
    std::vector<mpz_class> keys;
    if (FILE* in = std::fopen(path, "r")) {
        mpz_class n;
        while (gmp_fscanf(in, "%Zx", n.get_mpz_t()) == 1) {
            keys.push_back(n);
        }
        (void)std::fclose(in);
        return keys;
    }
    keys = make_fleet(shape::distinct, 1000000);
    if (FILE* out = std::fopen(path, "w")) {
        for (const mpz_class& n : keys) {
            gmp_fprintf(out, "%Zx\n", n.get_mpz_t());
        }
        (void)std::fclose(out);
    }
    return keys;
}

// range(0) keys, range(1) threads; made once per shape and size.
void shared_primes(benchmark::State& state, shape s)
{
    const auto count = static_cast<std::size_t>(state.range(0));
    const std::vector<mpz_class> moduli =
        count == 1000000 ? million_fleet(std::getenv("KEYGEN_BENCH_MILLION")) : make_fleet(s, count);
    keyaudit::shared_prime_settings settings;
    settings.threads = static_cast<unsigned>(state.range(1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(keyaudit::find_shared_primes(moduli, settings));
    }
    state.counters["keys_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(count),
        benchmark::Counter::kIsRate);
}

void shared_primes_sizes(benchmark::internal::Benchmark* b, std::initializer_list<std::int64_t> counts)
{
    for (const std::int64_t c : counts) {
        b->Args({c, 2});
    }
    b->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
}

const bool million_registered = [] {
    if (std::getenv("KEYGEN_BENCH_MILLION") != nullptr) {
        shared_primes_sizes(benchmark::RegisterBenchmark("shared_primes/distinct", shared_primes,
                                                         shape::distinct),
                            {1000000});
    }
    return true;
}();

// The test that a public N is not prime, as keyaudit checks each key it
// reads: GMP's alone, and the Fermat test on IFMA that spares it.
const std::vector<mpz_class>& public_moduli()
{
    static const std::vector<mpz_class> n = make_fleet(shape::distinct, 1024);
    return n;
}

void count_moduli(benchmark::State& state)
{
    state.counters["per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * public_moduli().size()), benchmark::Counter::kIsRate);
}

void n_not_prime_gmp(benchmark::State& state)
{
    for (auto _ : state) {
        int primes = 0;
        for (const mpz_class& n : public_moduli()) {
            primes += mpz_probab_prime_p(n.get_mpz_t(), keyfile::check_reps);
        }
        benchmark::DoNotOptimize(primes);
    }
    count_moduli(state);
}

void n_not_prime_ifma(benchmark::State& state)
{
    if (!keyaudit::ifma_available()) {
        state.SkipWithError("no AVX-512 IFMA on this processor");
        return;
    }
    std::vector<const mpz_class*> n;
    for (const mpz_class& m : public_moduli()) {
        n.push_back(&m);
    }
    const auto composite = std::make_unique<bool[]>(n.size());
    for (auto _ : state) {
        keyaudit::fermat_composite_ifma(n.data(), n.size(), composite.get());
        benchmark::DoNotOptimize(composite.get());
    }
    count_moduli(state);
}

BENCHMARK(n_not_prime_gmp);
BENCHMARK(n_not_prime_ifma);
BENCHMARK_CAPTURE(sprp_single, portable, primes::sprp_arithmetic::portable);
BENCHMARK_CAPTURE(sprp_single, adx, primes::sprp_arithmetic::adx);
BENCHMARK_CAPTURE(sprp_ifma, lanes_8, keyaudit::ifma_lanes);
BENCHMARK_CAPTURE(sprp_ifma, lanes_16, keyaudit::ifma_max_width);
BENCHMARK_CAPTURE(shared_primes, distinct, shape::distinct)->Apply([](auto* b) {
    shared_primes_sizes(b, {10000, 100000});
});
BENCHMARK_CAPTURE(shared_primes, chain, shape::chain)->Apply([](auto* b) {
    shared_primes_sizes(b, {4000, 100000});
});
BENCHMARK_CAPTURE(shared_primes, star, shape::star)->Apply([](auto* b) { shared_primes_sizes(b, {8000}); });
BENCHMARK_CAPTURE(shared_primes, copies, shape::copies)->Apply([](auto* b) {
    shared_primes_sizes(b, {16000});
});
BENCHMARK(self_test);
BENCHMARK(audit_seeds)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(audit_fleet)
    ->ArgsProduct({{1, 16, 32, 64, 128}, {0, 1}})
    ->ArgsProduct({{1000, 20000, 100000, 400000}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(prime, fast_scripted, static_cast<search>(keygen::find_blum_prime), true);
BENCHMARK_CAPTURE(prime, plain_scripted, testing_support::reference_find_blum_prime, true);
BENCHMARK_CAPTURE(prime, fast_system, static_cast<search>(keygen::find_blum_prime), false);
BENCHMARK_CAPTURE(prime, plain_system, testing_support::reference_find_blum_prime, false);
BENCHMARK_CAPTURE(key, fast_scripted, keygen::generate_key, true);
BENCHMARK_CAPTURE(key, plain_scripted, plain_generate_key, true);
BENCHMARK_CAPTURE(key, fast_system, keygen::generate_key, false);
BENCHMARK_CAPTURE(key, plain_system, plain_generate_key, false);
BENCHMARK(random_r_values);
BENCHMARK_CAPTURE(stream_values, glibc, keyaudit::libc::glibc);
BENCHMARK_CAPTURE(stream_values, freebsd, keyaudit::libc::freebsd);
BENCHMARK_CAPTURE(stream_values, musl, keyaudit::libc::musl);
BENCHMARK_CAPTURE(stream_values, solaris, keyaudit::libc::solaris);
BENCHMARK_CAPTURE(stream_values, newlib, keyaudit::libc::newlib);
BENCHMARK_CAPTURE(stream_values, bionic, keyaudit::libc::bionic);
BENCHMARK(initstate_r_seeding);
BENCHMARK_CAPTURE(stream_seeding, glibc, keyaudit::libc::glibc);
BENCHMARK_CAPTURE(stream_seeding, musl, keyaudit::libc::musl);

}  // namespace

BENCHMARK_MAIN();
