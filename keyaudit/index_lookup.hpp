#pragma once
// An audit by index: each key's N looked up, each match proven by
// replaying its one second on its one stream, as a replay's hit is.
#include "keyaudit/audit.hpp"
#include "keyaudit/key_index.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace keyaudit {

// Marks each suspect an index proves and calls found with its index, in
// the order of the seeds, then of the streams, as audit::run does. Throws
// unusable_index for a block found damaged, before any key is marked.
// False when stop came before every match was proven.
bool look_up_keys(const std::vector<std::unique_ptr<index_file>>& indexes, std::vector<suspect>& suspects,
                  prime_check check, unsigned threads, const std::atomic<int>& stop,
                  const std::function<void(std::size_t)>& found);

}  // namespace keyaudit
