#pragma once
// A C library's stream after srandom(seed), drawn by the batched prime
// search; and the whole keys of many streams at once, as the fleet lookup
// and the index make them.
#include "keyaudit/batch_search.hpp"
#include "keyaudit/libc_stream.hpp"

#include <gmpxx.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

namespace keyaudit {

class replay final : public value_stream {
public:
    replay(libc which, std::uint32_t seed);

    void fill(std::uint32_t* out, std::size_t count) override
    {
        std::visit(
            [out, count](auto& s) {
                for (std::size_t i = 0; i < count; ++i) {
                    out[i] = s.next();
                }
            },
            stream_);
    }

    search_stream& search() { return search_; }

private:
    std::variant<table_stream, lcg64_stream, lcg48_stream> stream_;
    search_stream search_{*this};
};

// Streams, one a seed and library, with where each came from.
struct replays {
    std::vector<std::unique_ptr<replay>> streams;
    std::vector<search_stream*> searches;
    std::vector<std::pair<std::uint32_t, libc>> origin;

    void add(std::uint32_t seed, libc which);
};

// Each stream's next Blum prime, searched together.
std::vector<mpz_class> next_primes(replays& r, prime_check check);

// A P and Q found by the base-2 test alone pass GMP's too before they
// make a key.
bool confirmed(prime_check check, const mpz_class& p, const mpz_class& q);

}  // namespace keyaudit
