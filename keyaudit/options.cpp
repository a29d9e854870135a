#include "keyaudit/options.hpp"

#include "keyaudit/seed_window.hpp"
#include "keygen/diagnostics.hpp"

#include <getopt.h>

#include <algorithm>

namespace keyaudit {

const char* const usage =
    "usage: keyaudit [-q] [-j N] [--from WHEN] [--to WHEN] [--recover] FILE...\n"
    "       keyaudit -h | -V\n";

namespace {

using keygen::usage_error;

enum long_only { from_option = 256, to_option, recover_option };

const option long_options[] = {
    {"from", required_argument, nullptr, from_option},
    {"to", required_argument, nullptr, to_option},
    {"recover", no_argument, nullptr, recover_option},
    {"jobs", required_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

unsigned parse_threads(const std::string& text)
{
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoul(text) < 1 || std::stoul(text) > 1024) {
        throw usage_error("not a number of threads from 1 to 1024: " + text);
    }
    return static_cast<unsigned>(std::stoul(text));
}

void set_verb(options& o, verb v)
{
    if (o.action != verb::audit && o.action != v) {
        throw usage_error("only one of -h and -V may be given");
    }
    o.action = v;
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

options parse_options(int argc, char** argv)
{
    options o;
    opterr = 0;
    optind = 1;
    for (int c = 0; (c = getopt_long(argc, argv, ":j:qhV", long_options, nullptr)) != -1;) {
        switch (c) {
        case from_option:
            o.from = parse_when(optarg, bound::from);
            break;
        case to_option:
            o.to = parse_when(optarg, bound::to);
            break;
        case recover_option:
            o.recover = true;
            break;
        case 'j':
            o.threads = parse_threads(optarg);
            break;
        case 'q':
            o.quiet = true;
            break;
        case 'h':
            set_verb(o, verb::help);
            break;
        case 'V':
            set_verb(o, verb::version);
            break;
        default:
            throw keygen::option_error(c, argv, long_options);
        }
    }
    o.files.assign(argv + optind, argv + argc);
    check_combination(o);
    return o;
}

}  // namespace keyaudit
