#pragma once
// keygen's command line.
#include "foundation/program.hpp"

#include <string>
#include <vector>

namespace keygen {

enum class verb { generate, check, public_key, help, version };

struct options {
    verb action = verb::generate;
    std::string output;  // "" or "-": standard output
    bool force = false;
    std::vector<std::string> files;  // keys to read; none: standard input
};

// Its name, options, help and teardown.
extern const foundation::program program;

// Throws usage_error for anything it cannot act on.
options parse_options(int argc, char** argv);

}  // namespace keygen
