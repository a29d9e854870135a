#include "keyaudit/shared_primes.hpp"

#include "keyaudit/batch_gcd.hpp"
#include "keyaudit/coprime_base.hpp"
#include "keyaudit/sharing_lists.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <numeric>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace keyaudit {

namespace {

using batch::level;
using batch::runner;

// The same N twice would give gcd = N: the tree holds each value once.
distinct_moduli distinct_of(const std::vector<mpz_class>& moduli)
{
    std::vector<std::size_t> order(moduli.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&moduli](std::size_t a, std::size_t b) { return moduli[a] < moduli[b]; });
    distinct_moduli d;
    for (const std::size_t i : order) {
        if (d.values.empty() || moduli[i] != d.values.back()) {
            d.values.push_back(moduli[i]);
            d.inputs.emplace_back();
        }
        d.inputs.back().push_back(i);  // ascending, by the stable sort
    }
    return d;
}

void list_same_keys(const distinct_moduli& d, std::vector<shared_prime_result>& results)
{
    for (const std::vector<std::size_t>& inputs : d.inputs) {
        for (const std::size_t i : inputs) {
            results[i].same_key_count = inputs.size() - 1;
            for (std::size_t j = 0; j < inputs.size() && results[i].same_key_as.size() < listed_most;
                 ++j) {
                if (inputs[j] != i) {
                    results[i].same_key_as.push_back(inputs[j]);
                }
            }
        }
    }
}

mpz_class primes_below_a_million()
{
    mpz_class product;
    mpz_primorial_ui(product.get_mpz_t(), 999999);
    return product;
}

// The hits with a factor below 10^6: no keys, they leave the results.
std::vector<std::size_t> valid_hits(const distinct_moduli& d, const mpz_class& small,
                                    const std::vector<std::size_t>& hits,
                                    std::vector<shared_prime_result>& results, const runner& run)
{
    level values(hits.size());
    std::transform(hits.begin(), hits.end(), values.begin(),
                   [&d](std::size_t k) { return d.values[k]; });
    const level r = batch::remainders_of_squares(batch::product_tree(values, run), small, run);
    std::vector<std::size_t> valid;
    mpz_class g;
    for (std::size_t h = 0; h < hits.size(); ++h) {
        mpz_gcd(g.get_mpz_t(), r[h].get_mpz_t(), values[h].get_mpz_t());
        if (g == 1) {
            valid.push_back(hits[h]);
            continue;
        }
        for (const std::size_t i : d.inputs[hits[h]]) {
            results[i] = shared_prime_result{};
            results[i].small_factor = true;
        }
    }
    return valid;
}

// When a valid hit may owe its part to an invalid one, the valid hits'
// parts are found again among themselves alone: the rare case, rather than
// two batches always. All that share with a valid key are hits.
void drop_small_factors(const distinct_moduli& d, const mpz_class& small,
                        std::vector<std::size_t>& hits, level& parts,
                        std::vector<shared_prime_result>& results, const runner& run)
{
    std::vector<std::size_t> valid = valid_hits(d, small, hits, results, run);
    if (valid.size() != hits.size() && !valid.empty()) {
        level kept(valid.size());
        std::transform(valid.begin(), valid.end(), kept.begin(),
                       [&d](std::size_t k) { return d.values[k]; });
        const level again = batch::shared_parts(batch::product_tree(kept, run), 1, run);
        std::vector<std::size_t> still;
        for (std::size_t v = 0; v < again.size(); ++v) {
            parts[valid[v]] = again[v];
            if (again[v] != 1) {
                still.push_back(valid[v]);
            }
        }
        valid = std::move(still);
    }
    hits = std::move(valid);
}

std::vector<shared_prime_result> compare(const distinct_moduli& d, std::size_t count,
                                         bool small_factors, const runner& run)
{
    std::vector<shared_prime_result> results(count);
    list_same_keys(d, results);
    const mpz_class small = small_factors ? primes_below_a_million() : mpz_class(1);
    level parts = batch::shared_parts(d.values, small, run);
    std::vector<std::size_t> hits;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (parts[k] != 1) {
            hits.push_back(k);
        }
    }
    if (small_factors && !hits.empty()) {
        drop_small_factors(d, small, hits, parts, results, run);
    }
    if (!hits.empty()) {
        list_sharing(d, hits, parts, results, run);
    }
    return results;
}

// What the comparison's own thread shares with the caller, for as long as
// either needs it.
struct comparison {
    distinct_moduli d;
    std::atomic<int> stop{0};
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::vector<shared_prime_result> results;
    std::exception_ptr failure;
};

// One GMP operation cannot be interrupted, and the largest of a million
// keys' trees take many seconds: the work runs on a thread of its own,
// which a stopped caller leaves behind. That thread sees its own flag at its
// next node and frees what it holds, the caller's flag being gone by then.
std::vector<shared_prime_result> compare_apart(distinct_moduli d, std::size_t count,
                                               const shared_prime_settings& settings)
{
    const auto shared = std::make_shared<comparison>();
    shared->d = std::move(d);
    auto work = [shared, count, settings] {
        try {
            shared->results = compare(shared->d, count, settings.small_factors,
                                      runner(&shared->stop, settings.threads));
        } catch (...) {
            shared->failure = std::current_exception();
        }
        const std::lock_guard<std::mutex> hold(shared->lock);
        shared->done = true;
        shared->ended.notify_all();
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the work runs here, and stops at its next node.
        return compare(shared->d, count, settings.small_factors, runner(settings.stop, settings.threads));
    }
    std::unique_lock<std::mutex> hold(shared->lock);
    while (!shared->ended.wait_for(hold, std::chrono::milliseconds(50), [&] { return shared->done; })) {
        if (settings.stop->load() != 0) {
            shared->stop = 1;
            throw comparison_stopped();
        }
    }
    if (shared->failure) {
        std::rethrow_exception(shared->failure);
    }
    return std::move(shared->results);
}

}  // namespace

std::vector<shared_prime_result> find_shared_primes(const std::vector<mpz_class>& moduli,
                                                    const shared_prime_settings& settings)
{
    if (std::any_of(moduli.begin(), moduli.end(), [](const mpz_class& n) { return n <= 1; })) {
        throw std::domain_error("find_shared_primes: a modulus is not above 1");
    }
    const runner run(settings.stop, settings.threads);
    run.check();
    if (moduli.empty()) {
        return {};
    }
    distinct_moduli d = distinct_of(moduli);
    run.check();
    if (settings.stop == nullptr) {
        return compare(d, moduli.size(), settings.small_factors, run);
    }
    return compare_apart(std::move(d), moduli.size(), settings);
}

}  // namespace keyaudit
