#include "keyaudit/options.hpp"

#include "foundation/diagnostics.hpp"
#include "keyaudit/seed_window.hpp"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace keyaudit {

namespace {

using foundation::usage_error;

enum long_only {
    from_option = 256,
    to_option,
    days_option,
    recover_option,
    libc_option,
    exact_option,
    files_from_option,
    json_option,
    resume_option,
    index_option,
    make_index_option,
    merge_index_option,
};

const foundation::option_spec option_table[] = {
    {from_option, "from", "WHEN",
     "first second of the window; default: the file's\n"
     "modification time less a day"},
    {to_option, "to", "WHEN",
     "last second of the window; default: the file's\n"
     "modification time\n"
     "WHEN is YYYY-MM-DD, YYYY-MM-DDTHH:MM:SSZ,\n"
     "'YYYY-MM-DD HH:MM:SS UTC' or @SECONDS (UTC)"},
    {days_option, "days", "N", "search the N days before each file's time (not with\n--from)"},
    {recover_option, "recover", nullptr,
     "print the first FILE's key if it is recovered; the\n"
     "report goes to standard error"},
    {'o', "output", "FILE", "with --recover, write the key to a new private FILE"},
    {libc_option, "libc", "NAMES",
     "the C libraries whose random() to replay, by comma:\n"
     "glibc, freebsd, musl, solaris, newlib, bionic or all\n"
     "(default: glibc,freebsd,musl)"},
    {exact_option, "exact", nullptr,
     "GMP's primality test on every candidate, not only\n"
     "on a key's P and Q"},
    {'r', "recursive", nullptr, "audit every key in the folders given as FILE"},
    {files_from_option, "files-from", "LIST",
     "audit the files named in LIST too, one a line\n"
     "(-: standard input)"},
    {'0', "null", nullptr, "with --files-from, names end with NUL, not a line feed"},
    {json_option, "json", nullptr, "one JSON object per input and line"},
    {resume_option, "resume", "@S[,@SEED...]",
     "go on from where a stopped run left off, as its\n"
     "last words say"},
    {index_option, "index", "INDEX",
     "look the keys up in INDEX (again for more) instead\n"
     "of replaying; not with --from, --to, --days,\n"
     "--resume or --libc"},
    {make_index_option, "make-index", "INDEX",
     "write to INDEX every key made from --from to --to,\n"
     "no FILE"},
    {merge_index_option, "merge-index", "INDEX",
     "join the SHARDs, indexes of windows that follow\n"
     "one another, into INDEX"},
    {'j', "jobs", "N", "check, compare and search with N threads\n(default: every processor)"},
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

// A whole number from 1 to most.
unsigned count(const std::string& text, const char* what, unsigned most)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoul(text) < 1 || std::stoul(text) > most) {
        throw usage_error("not a number of " + std::string(what) + " from 1 to " +
                          std::to_string(most) + ": " + text);
    }
    return static_cast<unsigned>(std::stoul(text));
}

// @S, then the seeds where keys were found: "@S,@X,@Y".
resume_point resume_at(const std::string& text)
{
    resume_point point;
    std::size_t from = 0;
    for (bool first = true;; first = false) {
        const std::size_t comma = text.find(',', from);
        const std::string part = text.substr(from, comma == std::string::npos ? comma : comma - from);
        if (part.empty() || part.front() != '@') {
            throw usage_error("not a point to resume at: " + text);
        }
        const std::uint32_t second = when(part, bound::from);
        if (first) {
            point.first = second;
        } else {
            point.found.push_back(second);
        }
        if (comma == std::string::npos) {
            return point;
        }
        from = comma + 1;
    }
}

// What only an audit takes, named for the message; nullptr: none given.
const char* audit_option_given(const options& o)
{
    return o.recover ? "--recover"
         : o.recursive ? "-r"
         : o.files_from ? "--files-from"
         : o.json ? "--json"
         : o.days ? "--days"
         : o.resume ? "--resume"
         : !o.indexes.empty() ? "--index"
         : !o.output.empty() ? "-o"
         : o.null_separated ? "-0"
                            : nullptr;
}

void check_index_verb(const options& o)
{
    const char* verb_name = o.action == verb::make_index ? "--make-index" : "--merge-index";
    if (const char* other = audit_option_given(o); other != nullptr) {
        throw usage_error(std::string(other) + " does not go with " + verb_name);
    }
    if (o.action == verb::make_index) {
        if (!o.files.empty()) {
            throw usage_error("unexpected argument: " + o.files.front());
        }
        if (!o.from || !o.to) {
            throw usage_error("--make-index needs --from and --to");
        }
        if (*o.from > *o.to) {
            throw usage_error("--from is after --to");
        }
        return;
    }
    if (o.from || o.to || o.libcs_given || o.exact) {
        throw usage_error("--merge-index takes the windows and streams of its indexes");
    }
    if (o.files.empty()) {
        throw usage_error("no index to merge");
    }
}

void check_index_audit(const options& o)
{
    if (o.from || o.to || o.days || o.resume) {
        throw usage_error("--index covers what it covers: no --from, --to, --days or --resume");
    }
    if (o.libcs_given) {
        throw usage_error("--index holds its own streams: no --libc");
    }
}

void check_combination(const options& o)
{
    if (o.action == verb::help || o.action == verb::version) {
        if (!o.files.empty()) {
            throw usage_error("unexpected argument: " + o.files.front());
        }
        return;
    }
    if (o.action != verb::audit) {
        check_index_verb(o);
        return;
    }
    if (!o.indexes.empty()) {
        check_index_audit(o);
    }
    if (o.files.empty() && !o.files_from) {
        throw usage_error("no key to audit");
    }
    if (!o.output.empty() && !o.recover) {
        throw usage_error("-o goes with --recover");
    }
    if (o.null_separated && !o.files_from) {
        throw usage_error("-0 goes with --files-from");
    }
    if (o.days && o.from) {
        throw usage_error("--days does not go with --from");
    }
    if (o.from && o.to && *o.from > *o.to) {
        throw usage_error("--from is after --to");
    }
    const bool reads_standard_input = std::find(o.files.begin(), o.files.end(), "-") != o.files.end();
    if (reads_standard_input && o.files_from == "-") {
        throw usage_error("standard input cannot be both a key and the list");
    }
    if (reads_standard_input && !(o.from && o.to) && o.indexes.empty()) {
        throw usage_error("standard input has no time: give --from and --to");
    }
}

}  // namespace

const foundation::program program{
    "keyaudit",
    foundation::exit_usage,  // an audit that fails has not audited
    "usage: keyaudit [-qr] [-j N] [--json] [--libc NAMES] [--exact]\n"
    "                [--from WHEN] [--to WHEN | --days N] [--files-from LIST [-0]]\n"
    "                [--recover [-o FILE]] [--resume @S[,@SEED...]] FILE...\n"
    "       keyaudit --index INDEX... [-qr] [-j N] [--json] [--exact]\n"
    "                [--files-from LIST [-0]] [--recover [-o FILE]] FILE...\n"
    "       keyaudit --make-index INDEX --from WHEN --to WHEN [-q] [-j N] [--libc NAMES]\n"
    "                [--exact]\n"
    "       keyaudit --merge-index INDEX SHARD...\n"
    "       keyaudit -h | -V\n",
    "Find the keys that keygen's clock-seeded predecessor made, by replaying\n"
    "its random stream for every second of a window or by looking them up in\n"
    "an index of every key of its windows, and recover them.\n"
    "Each FILE is a whole key or its public part (-: standard input).\n",
    option_table,
    18,
    nullptr,  // the recovered key wipes itself
};

namespace {

// What is searched: the window, the streams, the test; false for any
// other option.
bool take_search_option(options& o, int id, const char* arg)
{
    switch (id) {
    case from_option:
        o.from = when(arg, bound::from);
        return true;
    case to_option:
        o.to = when(arg, bound::to);
        return true;
    case days_option:
        o.days = count(arg, "days", 36500);
        return true;
    case resume_option:
        o.resume = resume_at(arg);
        return true;
    case libc_option:
        o.libcs = libcs(arg);
        o.libcs_given = true;
        return true;
    case exact_option:
        o.exact = true;
        return true;
    default:
        return false;
    }
}

void take_option(options& o, int id, const char* arg, foundation::verb_choice<verb>& action)
{
    switch (id) {
    case index_option:
        o.indexes.emplace_back(arg);
        break;
    case make_index_option:
    case merge_index_option:
        action.choose(id == make_index_option ? verb::make_index : verb::merge_index);
        o.index_out = foundation::output_name(arg);
        break;
    case recover_option:
        o.recover = true;
        break;
    case 'o':
        o.output = foundation::output_name(arg);
        break;
    case 'r':
        o.recursive = true;
        break;
    case files_from_option:
        o.files_from = arg;
        break;
    case '0':
        o.null_separated = true;
        break;
    case json_option:
        o.json = true;
        break;
    case 'j':
        o.threads = count(arg, "threads", 1024);
        break;
    case 'q':
        o.quiet = true;
        break;
    }
}

}  // namespace

unsigned thread_count(const options& o)
{
    if (o.threads != 0) {
        return o.threads;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

options parse_options(int argc, char** argv)
{
    options o;
    o.files = foundation::parse_verbs<verb>(
        program, argc, argv, o.action, "only one of -h, -V, --make-index and --merge-index may be given",
        [&o](int id, const char* arg, foundation::verb_choice<verb>& action) {
            if (!take_search_option(o, id, arg)) {
                take_option(o, id, arg, action);
            }
        });
    check_combination(o);
    return o;
}

}  // namespace keyaudit
