#pragma once
// An audit by index: each key's N looked up, each match proven by
// replaying its one second on its one stream, as a replay's hit is.
// Looking up reads the index; proving does not, so a damaged block is
// found before the first line of a report.
#include "keyaudit/audit.hpp"
#include "keyaudit/key_index.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace keyaudit {

// A second and stream whose key has the fingerprint of an N: a match, to
// be proven.
struct index_match {
    std::uint32_t seed;
    libc by;
    std::size_t key;

    auto operator<=>(const index_match&) const = default;
};

// Every match of *n[k] (key k) in the indexes, in the order of the seeds,
// then of the streams, then of the keys. Throws unusable_index for a
// damaged block.
std::vector<index_match> index_matches(const std::vector<std::unique_ptr<index_file>>& indexes,
                                       const std::vector<const mpz_class*>& n);

// Replays each match's second to prove it (key: an index of suspects),
// marks each suspect proven and calls found with its index, in the order of
// the matches. False when stop came before every match was proven.
bool prove_matches(const std::vector<index_match>& matches, std::vector<suspect>& suspects, prime_check check,
                   unsigned threads, const std::atomic<int>& stop, const std::function<void(std::size_t)>& found);

}  // namespace keyaudit
