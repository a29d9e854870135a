#include "keyaudit/index_lookup.hpp"

#include "foundation/secure_memory.hpp"
#include "keyaudit/replay.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

namespace keyaudit {

namespace {

using candidate = index_match;

// Enough streams to fill the batched tests, few enough that a stop is
// soon seen.
constexpr std::size_t chunk = 256;

// Which of the candidates from first on (a chunk) make their key: P, the
// stream's first Blum prime, divides N; Q, the next, is N / P; both pass.
void prove_chunk(const std::vector<candidate>& all, std::size_t first, const std::vector<suspect>& suspects,
                 prime_check check, std::vector<char>& proven)
{
    const std::size_t end = std::min(all.size(), first + chunk);
    replays r;
    for (std::size_t i = first; i < end; ++i) {
        r.add(all[i].seed, all[i].by);
    }
    const std::vector<mpz_class> p = next_primes(r, check);
    std::vector<search_stream*> dividing;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (mpz_divisible_p(suspects[all[first + i].key].n.get_mpz_t(), p[i].get_mpz_t()) != 0) {
            dividing.push_back(r.searches[i]);
            which.push_back(i);
        }
    }
    std::vector<mpz_class> q(which.size());
    find_blum_primes(dividing, q, check);
    for (std::size_t d = 0; d < which.size(); ++d) {
        const std::size_t i = which[d];
        proven[first + i] = p[i] * q[d] == suspects[all[first + i].key].n && confirmed(check, p[i], q[d]) ? 1 : 0;
    }
}

class prover {
public:
    prover(const std::vector<candidate>& all, const std::vector<suspect>& suspects, prime_check check,
           const std::atomic<int>& stop)
        : all_(all), suspects_(suspects), check_(check), stop_(stop), proven_(all.size(), 0)
    {
    }

    // False when stopped before the end.
    bool run(unsigned threads)
    {
        std::vector<std::thread> workers;
        for (unsigned t = 1; t < threads; ++t) {
            try {
                workers.emplace_back([this] {
                    work();
                    foundation::scrub_stack();
                });
            } catch (const std::system_error&) {
                break;
            }
        }
        work();
        for (std::thread& w : workers) {
            w.join();
        }
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return !stopped_;
    }

    bool proven(std::size_t i) const { return proven_[i] != 0; }

private:
    void work()
    {
        try {
            for (std::size_t c = next_++; c * chunk < all_.size() && !failed_; c = next_++) {
                if (stop_.load(std::memory_order_relaxed) != 0) {
                    stopped_ = true;
                    return;
                }
                prove_chunk(all_, c * chunk, suspects_, check_, proven_);
            }
        } catch (...) {
            const std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            failed_ = true;
        }
    }

    const std::vector<candidate>& all_;
    const std::vector<suspect>& suspects_;
    prime_check check_;
    const std::atomic<int>& stop_;
    std::vector<char> proven_;  // each chunk's by one thread
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<bool> failed_{false};
    std::mutex mutex_;
    std::exception_ptr failure_;
};

}  // namespace

std::vector<index_match> index_matches(const std::vector<std::unique_ptr<index_file>>& indexes,
                                       const std::vector<const mpz_class*>& n)
{
    std::vector<index_match> all;
    for (const auto& index : indexes) {
        for (std::size_t k = 0; k < index->shape().libcs.size(); ++k) {
            for (std::size_t j = 0; j < n.size(); ++j) {
                const std::vector<std::uint32_t> seeds = index->candidates(k, *n[j]);
                std::transform(seeds.begin(), seeds.end(), std::back_inserter(all), [&index, k, j](std::uint32_t seed) {
                    return index_match{seed, index->shape().libcs[k], j};
                });
            }
        }
    }
    // Indexes that overlap name a second twice.
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return all;
}

bool prove_matches(const std::vector<index_match>& matches, std::vector<suspect>& suspects, prime_check check,
                   unsigned threads, const std::atomic<int>& stop, const std::function<void(std::size_t)>& found)
{
    prover proofs(matches, suspects, check, stop);
    const bool finished = proofs.run(threads);
    for (std::size_t i = 0; i < matches.size(); ++i) {
        suspect& key = suspects[matches[i].key];
        if (proofs.proven(i) && !key.made_at) {
            key.made_at = matches[i].seed;
            key.made_by = matches[i].by;
            if (found) {
                found(matches[i].key);
            }
        }
    }
    return finished;
}

}  // namespace keyaudit
