#include "keyaudit/index_lookup.hpp"

#include "foundation/secure_memory.hpp"
#include "keyaudit/batch_gcd.hpp"
#include "keyaudit/replay.hpp"
#include "keyaudit/shared_primes.hpp"

#include <algorithm>
#include <iterator>

namespace keyaudit {

namespace {

// Enough streams to fill the batched tests, few enough that a stop is
// soon seen.
constexpr std::size_t chunk = 256;

// Which of the matches from first on (a chunk) make their key: P, the
// stream's first Blum prime, divides N; Q, the next, is N / P; both pass.
void prove_chunk(const std::vector<index_match>& all, std::size_t first, const std::vector<suspect>& suspects,
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
    std::vector<char> proven(matches.size(), 0);  // each chunk's by one thread
    bool finished = true;
    try {
        batch::runner(&stop, threads).for_each((matches.size() + chunk - 1) / chunk, [&](std::size_t c) {
            prove_chunk(matches, c * chunk, suspects, check, proven);
            // The replayed primes passed through this stack.
            foundation::scrub_stack();
        });
    } catch (const comparison_stopped&) {
        finished = false;
    }
    for (std::size_t i = 0; i < matches.size(); ++i) {
        suspect& key = suspects[matches[i].key];
        if (proven[i] != 0 && !key.made_at) {
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
