#pragma once
// The random stream of the clock-seeded generator that keys used to come
// from: glibc's random() after srandom(seed), the seed being the second the
// key was made. Replayed with the reentrant calls, so that each thread can
// replay seeds of its own. It lives here and only here: keygen never
// contains it.
#include "keygen/random_decimal.hpp"

#include <gmpxx.h>
#include <stdlib.h>

#include <array>
#include <cstdint>

namespace keyaudit {

class old_stream {
public:
    explicit old_stream(std::uint32_t seed);
    ~old_stream();
    old_stream(const old_stream&) = delete;
    old_stream& operator=(const old_stream&) = delete;

    std::uint32_t next();

    // A source for the prime search that draws from this stream.
    keygen::value_source source();

private:
    // The size of glibc's own state for random(), so the sequence is its.
    std::array<char, 128> state_{};
    random_data data_{};
};

// The primes of the key the old generator made at seed: P is the first
// Blum prime of its stream, Q the next.
void old_key(std::uint32_t seed, mpz_class& p, mpz_class& q);

}  // namespace keyaudit
