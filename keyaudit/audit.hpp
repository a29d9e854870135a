#pragma once
// The search: every seed of the windows replayed once, each seed's first
// Blum prime P tried against every key whose window holds the seed. A key
// matches when P divides its N and Q = N / P is the stream's next Blum
// prime, which rules out chance.
#include "keyaudit/seed_window.hpp"

#include <gmpxx.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace keyaudit {

// A key under audit.
struct suspect {
    mpz_class n;
    window seeds;
    std::optional<std::uint32_t> made_at;  // the seed that made it, once found
};

struct progress {
    std::uint64_t searched;  // seeds, in any order
    std::uint64_t total;
    double seconds;
};

class audit {
public:
    explicit audit(std::vector<suspect>& suspects);

    // Searches with the given number of threads until every seed is done or
    // stop turns nonzero; calls show about four times a second, from the
    // calling thread. Rethrows what a thread threw.
    void run(unsigned threads, const std::atomic<int>& stop,
             const std::function<void(const progress&)>& show);

    // The last seed before which every seed was searched, in the order of
    // the joined windows; nothing when not even the first was.
    std::optional<std::uint32_t> searched_through() const;

private:
    struct shared;
    void work(shared& s, const std::atomic<int>& stop);
    void check_seed(std::uint32_t seed, shared& s);
    std::uint32_t seed_at(std::uint64_t index) const;

    std::vector<suspect>& suspects_;
    std::vector<window> windows_;
    std::vector<std::uint64_t> starts_;  // index of each window's first seed
    std::uint64_t total_ = 0;
    std::vector<std::uint8_t> done_;     // per block, once run returns
};

}  // namespace keyaudit
