#pragma once
// What keyaudit audits: the files named, found in folders or listed, each
// read as a key with its window of seeds.
#include "foundation/stop_signals.hpp"
#include "keyaudit/options.hpp"
#include "keyaudit/seed_window.hpp"

#include <gmpxx.h>

#include <cstddef>
#include <string>
#include <vector>

namespace keyaudit {

struct input {
    // unread: a stop came first; skipped: not a key, met in a folder or a
    // list; failed: not audited, error says why; ready: a valid key.
    enum class state { unread, skipped, failed, ready };
    std::string path;  // as named or found
    std::string name;  // the path, "(standard input)" or LIST:LINE
    state what = state::unread;
    std::string error;  // why it failed or was skipped
    bool whole = false;
    mpz_class n;     // when read as a key
    window seeds{};  // when ready
    // What the other inputs tell: those that share a prime with it (the
    // first few of them, and how many in all), a prime it shares, the
    // secret that breaks it, and those with its very N.
    std::vector<std::size_t> shares_with;
    std::size_t shares_with_count = 0;
    std::size_t shared_group = 0;
    mpz_class shared_factor;
    std::vector<std::size_t> same_key_as;
    std::size_t same_key_count = 0;
};

// A name to read, and what is known of it before it is opened.
struct named {
    enum class origin { command_line, folder, list };
    std::string path;
    std::string name;
    origin from = origin::command_line;
    input::state what = input::state::unread;  // failed or skipped when known already
    std::string error;
};

struct collected {
    std::vector<named> names;
    // Whether the same command line would read the same inputs again:
    // not when standard input or a pipe supplies them.
    bool repeatable = true;
};

// The names of the command line in order: each FILE, the files below a
// FILE that is a folder when recursive (sorted; links to folders are not
// followed), then the names of the list; the same name once. What cannot
// be listed or examined is a failed name; a stop ends the collection with
// an unread name for what was left.
collected collect_names(const options& o, const foundation::stop_flag& stop);

// Reads each name as a key, until a stop: then the rest stay unread. A
// file reached by two names is read once, the second skipped. Valid keys
// are ready; their small factors are the comparison's to find. The keys
// read are checked on that many threads while the reading goes on.
std::vector<input> read_inputs(const options& o, const std::vector<named>& names,
                               const foundation::stop_flag& stop, unsigned threads);

}  // namespace keyaudit
