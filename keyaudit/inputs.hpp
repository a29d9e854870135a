#pragma once
// What keyaudit audits: the files named, found in folders or listed, each
// read as a key with its window of seeds.
#include "keyaudit/options.hpp"
#include "keyaudit/seed_window.hpp"

#include <gmpxx.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace keyaudit {

struct input {
    enum class state { unread, failed, ready };
    std::string path;  // as named or found
    std::string name;  // the path, or "(standard input)"
    state what = state::unread;
    std::string error;  // why it failed
    mpz_class n;        // when ready
    window seeds{};     // when ready
    // What the other inputs tell: those that share a prime with it (and a
    // prime it shares, the secret that breaks it), those with its very N.
    std::vector<std::size_t> shares_with;
    mpz_class shared_factor;
    std::vector<std::size_t> same_key_as;
};

struct gathered {
    std::vector<input> inputs;
    std::size_t skipped = 0;  // files in folders that are not keys
};

// The inputs of the command line in order: each FILE, the files below a
// FILE that is a folder when recursive (sorted, links to folders not
// followed), then the names of the list. Each is read as a key, until a
// stop signal: then the rest stay unread. A FILE that cannot be read or is
// no key fails, with a message on standard error; a file in a folder that
// is no key is skipped and counted. Throws std::system_error when the list
// cannot be read.
gathered gather_inputs(const options& o);

}  // namespace keyaudit
