#include "keygen/blum_prime.hpp"

#include "keygen/base2_sprp.hpp"
#include "keygen/drawn_candidate.hpp"
#include "foundation/secure_memory.hpp"
#include "keygen/small_factors.hpp"

#include <gmp.h>

#include <memory>
#include <vector>

namespace keygen {

namespace {

static_assert(prime_digits == candidate_digits);

// Since GMP 6.2, mpz_probab_prime_p(n, reps) for reps up to 24 is trial
// division and BPSW, whose first half is a base-2 strong test (GMP's NEWS
// for 6.2.0). So every composite that fails that test is rejected by GMP,
// and the pre-test below may reject it first. Older versions ran
// Miller-Rabin with random bases instead.
static_assert(__GNU_MP_VERSION > 6 || (__GNU_MP_VERSION == 6 && __GNU_MP_VERSION_MINOR >= 2),
              "the base-2 pre-test relies on GMP's BPSW");

// Rejects only numbers mpz_probab_prime_p rejects: those with a small
// factor (other than themselves) and those failing the base-2 strong test.
// Numbers the kernel does not take (a draw that began with zeros) go
// straight to GMP.
bool passes_pretests(const limb_number& n)
{
    if (has_small_factor(n)) {
        return false;
    }
    return !base2_sprp_accepts(n) || is_base2_sprp(n);
}

// Limbs up to the highest nonzero one, as GMP wants its sizes.
mp_size_t used_limbs(const limb_number& n)
{
    auto size = static_cast<mp_size_t>(number_limbs);
    while (size > 0 && n[static_cast<std::size_t>(size - 1)] == 0) {
        --size;
    }
    return size;
}

// GMP's test on the limbs in place, through a read-only view.
bool is_probable_prime(const limb_number& n)
{
    mpz_t view;
    return mpz_probab_prime_p(mpz_roinit_n(view, n.data(), used_limbs(n)), primality_reps) != 0;
}

void store(mpz_class& p, const limb_number& n)
{
    mp_limb_t* out = mpz_limbs_write(p.get_mpz_t(), number_limbs);
    for (std::size_t i = 0; i < number_limbs; ++i) {
        out[i] = n[i];
    }
    mpz_limbs_finish(p.get_mpz_t(), number_limbs);
}

// One stream's search: its candidate, once it is through the sieve.
struct lane_numbers {
    drawn_values drawn;
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
        draw_candidate_from(c.drawn, [&stream] { return stream.next(); });
        if (!is_three_mod_four(c.drawn)) {
            continue;
        }
        candidate_number(c.drawn, c.n);
        if (has_small_factor(c.n, sieve)) {
            continue;
        }
        if (base2_sprp_accepts(c.n)) {
            return true;
        }
        if (is_probable_prime(c.n)) {
            store(prime, c.n);
            l.done = true;
            return false;
        }
    }
}

}  // namespace

// Every check before mpz_probab_prime_p only rejects what it would reject
// (and a prime of class 1 is rejected whichever test comes first), so the
// primes and the values consumed are those of the plain search.
void find_blum_prime(mpz_class& p) { find_blum_prime(p, next_value); }

void find_blum_prime(mpz_class& p, const value_source& source)
{
    drawn_candidate drawn;
    foundation::wiped<limb_number> n;
    for (;;) {
        draw_candidate(drawn, source);
        if (!is_three_mod_four(drawn)) {
            continue;
        }
        candidate_number(drawn, n);
        if (passes_pretests(n) && is_probable_prime(n)) {
            store(p, n);
            return;
        }
    }
}

void find_blum_primes(std::span<search_stream* const> streams, std::span<mpz_class> primes,
                      prime_check check)
{
    // Timed on the audit of 3,000 seeds: with the batched IFMA test, any
    // bound from 300 to 6000 costs the same, and a short sieve leaves the
    // cheap test more to do; with the single-number test, 6000 is 1.2 times
    // as fast as 1000.
    const unsigned sieve = ifma_available() ? 1000 : sieve_bound;
    const std::unique_ptr<lane[]> lanes(new lane[streams.size()]);
    std::vector<std::size_t> waiting;
    foundation::wiped<std::array<limb_number, sprp_batch>> batch;
    std::array<bool, sprp_batch> verdict{};
    for (;;) {
        waiting.clear();
        for (std::size_t i = 0; i < streams.size(); ++i) {
            if (!lanes[i].done && next_survivor(*streams[i], lanes[i], primes[i], sieve)) {
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
                if (verdict[k] && (check == prime_check::base2 || is_probable_prime(l.numbers.n))) {
                    store(primes[waiting[first + k]], l.numbers.n);
                    l.done = true;
                }
            }
        }
    }
}

}  // namespace keygen
