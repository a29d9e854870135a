#include "keyaudit/batch_search.hpp"

#include "keyaudit/base2_sprp_batch.hpp"
#include "keyaudit/base2_sprp_ifma.hpp"
#include "primes/primes.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace keyaudit {

namespace {

// One stream's search: its candidate, once it is through the sieve.
struct lane_numbers {
    primes::drawn_values drawn;
    limb_number n;
};

struct lane {
    foundation::wiped<lane_numbers> numbers;
    bool done = false;
};

// Draws until a candidate of class 3 passes the sieve; true when it is
// for the base-2 test, false when it is settled here: a number the kernel
// does not take (a draw that began with zeros) goes to GMP at once.
bool next_survivor(search_stream& stream, lane& l, mpz_class& prime, unsigned sieve)
{
    lane_numbers& c = l.numbers;
    for (;;) {
        primes::draw_candidate_from(c.drawn, [&stream] { return stream.next(); });
        if (!primes::is_three_mod_four(c.drawn)) {
            continue;
        }
        primes::candidate_number(c.drawn, c.n);
        if (primes::has_small_factor(c.n, sieve)) {
            continue;
        }
        if (primes::base2_sprp_accepts(c.n)) {
            return true;
        }
        if (primes::is_probable_prime(c.n)) {
            primes::store_limbs(prime, c.n);
            l.done = true;
            return false;
        }
    }
}

}  // namespace

void find_blum_primes(std::span<search_stream* const> streams, std::span<mpz_class> found,
                      prime_check check)
{
    // Timed on the audit of 3,000 seeds: with the batched IFMA test, any
    // bound from 300 to 6000 costs the same, and a short sieve leaves the
    // cheap test more to do; with the single-number test, 6000 is 1.2 times
    // as fast as 1000.
    const unsigned sieve = ifma_available() ? 1000 : primes::sieve_bound;
    const std::unique_ptr<lane[]> lanes(new lane[streams.size()]);
    std::vector<std::size_t> waiting;
    foundation::wiped<std::array<limb_number, sprp_batch>> batch;
    std::array<bool, sprp_batch> verdict{};
    for (;;) {
        waiting.clear();
        for (std::size_t i = 0; i < streams.size(); ++i) {
            if (!lanes[i].done && next_survivor(*streams[i], lanes[i], found[i], sieve)) {
                waiting.push_back(i);
            }
        }
        if (waiting.empty()) {
            return;
        }
        for (std::size_t first = 0; first < waiting.size(); first += sprp_batch) {
            const std::size_t count = std::min(sprp_batch, waiting.size() - first);
            for (std::size_t k = 0; k < count; ++k) {
                batch[k] = lanes[waiting[first + k]].numbers.n;
            }
            base2_sprp_batch(batch.data(), count, verdict.data());
            for (std::size_t k = 0; k < count; ++k) {
                lane& l = lanes[waiting[first + k]];
                if (verdict[k] &&
                    (check == prime_check::base2 || primes::is_probable_prime(l.numbers.n))) {
                    primes::store_limbs(found[waiting[first + k]], l.numbers.n);
                    l.done = true;
                }
            }
        }
    }
}

}  // namespace keyaudit
