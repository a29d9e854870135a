#pragma once
// Making an index: every second of a window replayed on each stream, its
// whole key made; and joining indexes of windows side by side.
#include "keyaudit/batch_search.hpp"
#include "keyaudit/key_index.hpp"

#include <functional>
#include <memory>
#include <vector>

namespace keyaudit {

struct build_settings {
    window seeds{};
    std::vector<libc> libcs = default_libcs();
    prime_check check = prime_check::base2;
    unsigned print_bits = 0;  // 0: default_print_bits; fewer make fingerprints meet, for tests
};

struct build_progress {
    std::uint64_t done;  // seconds
    std::uint64_t total;
    double seconds;
};

// An index's entries, ready to write.
struct index_entries {
    index_shape shape;
    std::vector<std::unique_ptr<entry_source>> streams;

    std::vector<entry_source*> sources() const;
};

// Replays the window on up to threads threads, calling show from this one
// about four times a second. Rethrows what a thread threw. Holds 8 bytes a
// second and stream.
index_entries build_index(const build_settings& settings, unsigned threads,
                          const std::function<void(const build_progress&)>& show);

// The entries of indexes of the same streams whose windows follow one
// another without a gap, read as they are written: memory does not grow
// with them. Throws std::invalid_argument naming what does not fit.
index_entries merge_indexes(const std::vector<std::unique_ptr<index_file>>& shards);

}  // namespace keyaudit
