#pragma once
// The search: every seed of the windows replayed once for every C library
// chosen, the first Blum prime P of each stream tried against the keys
// whose window holds the seed. A key matches when P divides its N and
// Q = N / P is the stream's next Blum prime, which rules out chance. With
// many keys, each stream's whole key is made and N looked up instead.
#include "keyaudit/batch_search.hpp"
#include "keyaudit/libc_stream.hpp"
#include "keyaudit/replay.hpp"
#include "keyaudit/seed_window.hpp"

#include <gmpxx.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace keyaudit {

// A key under audit.
struct suspect {
    mpz_class n;
    window seeds;
    std::optional<std::uint32_t> made_at;  // the seed that made it, once found
    libc made_by = libc::glibc;            // and the stream, then
};

struct progress {
    std::uint64_t searched;  // seeds, in any order
    std::uint64_t total;
    double seconds;
    std::size_t found;  // keys
};

struct search_settings {
    std::vector<libc> libcs = default_libcs();
    prime_check check = prime_check::base2;
    // From this many keys on, each stream's P is tested against all keys
    // at once, by the remainders of their product down a tree of many P.
    std::size_t remainders_from = 64;
    // From this many on, each stream's whole key is made and looked up,
    // which costs the same for any number of keys.
    std::size_t lookup_from = 150000;
    // Resuming a stopped search: every window from this seed on, and the
    // seeds before it at which keys were found.
    std::optional<std::uint32_t> resume_from;
    std::vector<std::uint32_t> found_before;
};

class audit {
public:
    audit(std::vector<suspect>& suspects, search_settings settings);

    // Searches with the given number of threads until every seed is done,
    // every key is found, or stop turns nonzero. From the calling thread,
    // calls show about four times a second and found with each key's index
    // as soon as it is proven, in the order of the seeds. Rethrows what a
    // thread threw. Returns the number of threads that ran: when the
    // system starts fewer, the search runs on those, on this one if none.
    unsigned run(unsigned threads, const std::atomic<int>& stop,
                 const std::function<void(const progress&)>& show,
                 const std::function<void(std::size_t)>& found = {});

    // The last seed before which every seed was searched, in the order of
    // the joined windows; nothing when not even the first was.
    std::optional<std::uint32_t> searched_through() const;

    // True when run searched every seed, or found every key.
    bool finished() const { return finished_; }

private:
    struct shared;
    struct hit;
    struct open_block;
    class worker;
    enum class matching { each_key, remainders, whole_key };
    void work(shared& s, const std::atomic<int>& stop);
    void wait_and_publish(shared& s, const std::function<void(const progress&)>& show,
                          const std::function<void(std::size_t)>& found);
    open_block open(std::uint64_t block) const;
    void look_up(const open_block& b, std::vector<hit>& hits) const;
    void try_each(open_block& b, std::size_t k, std::vector<hit>& hits) const;
    void finish(shared& s, std::uint64_t block, std::vector<hit> hits) const;
    static std::vector<std::thread> start_workers(shared& s, unsigned threads, const std::function<void()>& worker);
    void publish(shared& s, const std::function<void(std::size_t)>& found);
    std::uint32_t seed_at(std::uint64_t index) const;
    std::size_t group_target() const;

    std::vector<suspect>& suspects_;
    search_settings settings_;
    std::vector<window> windows_;
    std::vector<std::uint64_t> starts_;  // index of each window's first seed
    std::uint64_t total_ = 0;
    std::vector<std::uint8_t> done_;     // per block, once run returns
    bool finished_ = false;
    matching matching_ = matching::each_key;
    std::unordered_multimap<mp_limb_t, std::size_t> by_low_limb_;  // keys by N's lowest limb
    mpz_class product_;  // of every key's N, for the remainders
};

}  // namespace keyaudit
