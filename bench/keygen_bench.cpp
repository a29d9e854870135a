// Keys and primes per second, the optimised search beside the plain one,
// on scripted streams (the same streams for both) and on the system source.
#include "keyaudit/audit.hpp"
#include "keygen/blum_prime.hpp"
#include "keygen/key_check.hpp"
#include "keygen/generate_key.hpp"
#include "tests/reference_search.hpp"
#include "tests/scripted_source.hpp"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using search = void (*)(mpz_class&);

void plain_generate_key()
{
    mpz_class p;
    mpz_class q;
    testing_support::reference_find_blum_prime(p);
    keygen::store_chunks(p, keyfile::p_rows.rows, keyfile::p_rows.selector);
    testing_support::reference_find_blum_prime(q);
    keygen::store_chunks(q, keyfile::q_rows.rows, keyfile::q_rows.selector);
    const mpz_class n = p * q;
    keygen::store_chunks(n, keyfile::n_rows.rows, keyfile::n_rows.selector);
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
        benchmark::DoNotOptimize(keygen::passes_self_test(p, q, n));
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
    for (auto _ : state) {
        std::vector<keyaudit::suspect> keys{{n, {first, first + seeds - 1}, std::nullopt}};
        keyaudit::audit(keys).run(static_cast<unsigned>(state.range(0)), stop, [](const auto&) {});
        first += seeds;
    }
    state.counters["per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * seeds, benchmark::Counter::kIsRate);
}

BENCHMARK(self_test);
BENCHMARK(audit_seeds)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK_CAPTURE(prime, fast_scripted, static_cast<search>(keygen::find_blum_prime), true);
BENCHMARK_CAPTURE(prime, plain_scripted, testing_support::reference_find_blum_prime, true);
BENCHMARK_CAPTURE(prime, fast_system, static_cast<search>(keygen::find_blum_prime), false);
BENCHMARK_CAPTURE(prime, plain_system, testing_support::reference_find_blum_prime, false);
BENCHMARK_CAPTURE(key, fast_scripted, keygen::generate_key, true);
BENCHMARK_CAPTURE(key, plain_scripted, plain_generate_key, true);
BENCHMARK_CAPTURE(key, fast_system, keygen::generate_key, false);
BENCHMARK_CAPTURE(key, plain_system, plain_generate_key, false);

}  // namespace

BENCHMARK_MAIN();
