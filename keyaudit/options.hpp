#pragma once
// keyaudit's command line.
#include "foundation/program.hpp"
#include "keyaudit/libc_stream.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace keyaudit {

enum class verb { audit, make_index, merge_index, help, version };

// Where an earlier run that a signal stopped left its search: every window
// starts at first, and the seeds at which it found keys are searched again.
struct resume_point {
    std::uint32_t first = 0;
    std::vector<std::uint32_t> found;
};

struct options {
    verb action = verb::audit;
    std::optional<std::uint32_t> from;  // without it, a file's time less --days (1)
    std::optional<std::uint32_t> to;    // without it, a file's time
    unsigned threads = 0;               // 0: every online processor
    bool quiet = false;
    bool recover = false;
    std::vector<libc> libcs = default_libcs();
    bool exact = false;  // GMP's test on every candidate
    std::optional<unsigned> days;  // the window before a file's time, without --from; 1 by default
    bool recursive = false;
    std::optional<std::string> files_from;  // a list of names; "-": standard input
    bool null_separated = false;
    bool json = false;
    std::string output;  // where --recover writes; "": standard output
    std::optional<resume_point> resume;
    std::vector<std::string> indexes;  // looked up instead of replaying
    std::string index_out;             // what --make-index or --merge-index writes
    bool libcs_given = false;
    std::vector<std::string> files;    // for --merge-index, its shards
};

// Its name, options, help and teardown.
extern const foundation::program program;

// Throws foundation::usage_error for anything it cannot act on.
options parse_options(int argc, char** argv);

// -j, or one thread per online processor.
unsigned thread_count(const options& o);

}  // namespace keyaudit
