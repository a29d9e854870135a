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

// Timed on the audit of 3,000 seeds: with the batched IFMA test, any bound
// from 300 to 6000 costs the same, and a short sieve leaves the cheap test
// more to do; with the single-number test, 6000 is 1.2 times as fast as
// 1000.
unsigned sieve_for_batches() { return ifma_available() ? 1000 : primes::sieve_bound; }

struct prime_pipeline::slot {
    lane search;
    search_stream* stream = nullptr;
    mpz_class* found = nullptr;
    std::size_t tag = 0;
};

prime_pipeline::prime_pipeline(prime_check check) : check_(check), sieve_(sieve_for_batches()) {}

prime_pipeline::~prime_pipeline() = default;

// Draws l's next candidate for the base-2 test: false when the stream
// settled its prime without one.
bool prime_pipeline::advance(slot& l)
{
    if (next_survivor(*l.stream, l.search, *l.found, sieve_)) {
        pending_.emplace(l.tag, &l);
        return true;
    }
    settled_.push_back(l.tag);
    free_.push_back(&l);
    return false;
}

void prime_pipeline::add(search_stream& stream, mpz_class& found, std::size_t tag)
{
    if (free_.empty()) {
        lanes_.push_back(std::make_unique<slot>());
        free_.push_back(lanes_.back().get());
    }
    slot& l = *free_.back();
    free_.pop_back();
    l.search.done = false;
    l.stream = &stream;
    l.found = &found;
    l.tag = tag;
    advance(l);
}

void prime_pipeline::step(std::vector<std::size_t>& finished)
{
    finished.insert(finished.end(), settled_.begin(), settled_.end());
    settled_.clear();
    foundation::wiped<std::array<limb_number, sprp_batch>> batch;
    std::array<slot*, sprp_batch> tested{};
    std::array<bool, sprp_batch> verdict{};
    const std::size_t count = std::min(sprp_batch, pending_.size());
    for (std::size_t k = 0; k < count; ++k) {
        tested[k] = pending_.top().second;
        pending_.pop();
        batch[k] = tested[k]->search.numbers.n;
    }
    base2_sprp_batch(batch.data(), count, verdict.data());
    for (std::size_t k = 0; k < count; ++k) {
        slot& l = *tested[k];
        if (verdict[k] && (check_ == prime_check::base2 || primes::is_probable_prime(l.search.numbers.n))) {
            primes::store_limbs(*l.found, l.search.numbers.n);
            finished.push_back(l.tag);
            free_.push_back(&l);
        } else {
            advance(l);
        }
    }
    finished.insert(finished.end(), settled_.begin(), settled_.end());
    settled_.clear();
}

void find_blum_primes(std::span<search_stream* const> streams, std::span<mpz_class> found,
                      prime_check check)
{
    prime_pipeline pipeline(check);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        pipeline.add(*streams[i], found[i], i);
    }
    std::vector<std::size_t> finished;
    while (pipeline.searching() > 0) {
        pipeline.step(finished);
    }
}

}  // namespace keyaudit
