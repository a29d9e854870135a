#include "keyaudit/options.hpp"

#include "keyaudit/seed_window.hpp"
#include "foundation/diagnostics.hpp"
#include "keyaudit/commands.hpp"

#include <algorithm>
#include <stdexcept>

namespace keyaudit {

namespace {

using foundation::usage_error;

enum long_only { from_option = 256, to_option, recover_option, libc_option, exact_option };

const foundation::option_spec option_table[] = {
    {from_option, "from", "WHEN",
     "first second of the window; default: the file's\n"
     "modification time less a day"},
    {to_option, "to", "WHEN",
     "last second of the window; default: the file's\n"
     "modification time\n"
     "WHEN is YYYY-MM-DD, YYYY-MM-DDTHH:MM:SSZ or @SECONDS (UTC)"},
    {recover_option, "recover", nullptr,
     "print the recovered key (one FILE); the report goes to\n"
     "standard error"},
    {libc_option, "libc", "NAMES",
     "the C libraries whose random() to replay, by comma:\n"
     "glibc, freebsd, musl, solaris, newlib, bionic or all\n"
     "(default: glibc,freebsd,musl)"},
    {exact_option, "exact", nullptr,
     "GMP's primality test on every candidate, not only\n"
     "on a key's P and Q"},
    {'j', "jobs", "N", "search with N threads (default: every processor)"},
    {'q', "quiet", nullptr, "no progress line"},
    {'h', "help", nullptr, "print this help and exit"},
    {'V', "version", nullptr, "print the version and exit"},
};

std::uint32_t when(const std::string& text, bound which)
{
    try {
        return parse_when(text, which);
    } catch (const std::invalid_argument& e) {
        throw usage_error(e.what());
    }
}

std::vector<libc> libcs(const std::string& text)
{
    try {
        return parse_libc_list(text);
    } catch (const std::invalid_argument& e) {
        throw usage_error(e.what());
    }
}

unsigned parse_threads(const std::string& text)
{
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoul(text) < 1 || std::stoul(text) > 1024) {
        throw usage_error("not a number of threads from 1 to 1024: " + text);
    }
    return static_cast<unsigned>(std::stoul(text));
}

void check_combination(const options& o)
{
    if (o.action != verb::audit) {
        if (!o.files.empty()) {
            throw usage_error("unexpected argument: " + o.files.front());
        }
        return;
    }
    if (o.files.empty()) {
        throw usage_error("no key to audit");
    }
    if (o.recover && o.files.size() != 1) {
        throw usage_error("--recover takes one key");
    }
    if (o.from && o.to && *o.from > *o.to) {
        throw usage_error("--from is after --to");
    }
    const bool reads_standard_input = std::find(o.files.begin(), o.files.end(), "-") != o.files.end();
    if (reads_standard_input && !(o.from && o.to)) {
        throw usage_error("standard input has no time: give --from and --to");
    }
}

}  // namespace

const foundation::program program{
    "keyaudit",
    exit_trouble,
    "usage: keyaudit [-q] [-j N] [--libc NAMES] [--exact] [--from WHEN] [--to WHEN]\n"
    "                [--recover] FILE...\n"
    "       keyaudit -h | -V\n",
    "Find the keys that keygen's clock-seeded predecessor made, by replaying\n"
    "its random stream for every second of a window, and recover them.\n"
    "Each FILE is a whole key or its public part (-: standard input).\n",
    option_table,
    18,
    nullptr,  // the recovered key wipes itself
};

options parse_options(int argc, char** argv)
{
    options o;
    foundation::verb_choice action(verb::audit, "only one of -h and -V may be given");
    o.files = foundation::parse_command_line(program, argc, argv, [&](int id, const char* arg) {
        if (action.choose_common(id)) {
            return;
        }
        switch (id) {
        case from_option:
            o.from = when(arg, bound::from);
            break;
        case to_option:
            o.to = when(arg, bound::to);
            break;
        case recover_option:
            o.recover = true;
            break;
        case libc_option:
            o.libcs = libcs(arg);
            break;
        case exact_option:
            o.exact = true;
            break;
        case 'j':
            o.threads = parse_threads(arg);
            break;
        case 'q':
            o.quiet = true;
            break;
        }
    });
    o.action = action.get();
    check_combination(o);
    return o;
}

}  // namespace keyaudit
