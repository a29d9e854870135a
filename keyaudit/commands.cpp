#include "keyaudit/commands.hpp"

#include "keyaudit/audit.hpp"
#include "keyaudit/libc_stream.hpp"
#include "keyfile/key_file.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/diagnostics.hpp"
#include "keygen/key_record.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <system_error>

#ifndef KEYGEN_VERSION
#error "KEYGEN_VERSION must be defined by the build"
#endif

namespace keyaudit {

namespace {

const char* const help =
    "\n"
    "Find the keys that keygen's clock-seeded predecessor made, by replaying\n"
    "its random stream for every second of a window, and recover them.\n"
    "Each FILE is a whole key or its public part (-: standard input).\n"
    "\n"
    "  --from WHEN     first second of the window; default: the file's\n"
    "                  modification time less a day\n"
    "  --to WHEN       last second of the window; default: the file's\n"
    "                  modification time\n"
    "                  WHEN is YYYY-MM-DD, YYYY-MM-DDTHH:MM:SSZ or @SECONDS (UTC)\n"
    "  --recover       print the recovered key (one FILE); the report goes to\n"
    "                  standard error\n"
    "  -j, --jobs N    search with N threads (default: every processor)\n"
    "  -q, --quiet     no progress line\n"
    "  -h, --help      print this help and exit\n"
    "  -V, --version   print the version and exit\n";

// One FILE of the command line, and what became of it.
struct input {
    std::string name;
    bool readable = false;
    std::size_t suspect = 0;  // index in the suspects, when readable
};

std::string period(std::uint32_t first, std::uint32_t last)
{
    return "from " + utc_text(first) + " to " + utc_text(last);
}

window window_for(const options& o, const keyfile::source& in)
{
    const std::int64_t time = o.from && o.to ? 0 : in.modified();
    const std::int64_t first = o.from ? *o.from : std::clamp<std::int64_t>(time - 86400, 0, last_seed);
    const std::int64_t last = o.to ? *o.to : std::clamp<std::int64_t>(time, 0, last_seed);
    return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
}

// Reads every FILE it can; one it cannot is reported and left out.
std::vector<input> read_inputs(const options& o, std::vector<suspect>& suspects)
{
    std::vector<input> inputs;
    for (const std::string& path : o.files) {
        input in{path == "-" ? "(standard input)" : path};
        try {
            const keyfile::source file(path);
            keyfile::read_key_result key;
            file.read(key);
            suspects.push_back({key.n, window_for(o, file), std::nullopt});
            in.readable = true;
            in.suspect = suspects.size() - 1;
        } catch (const keyfile::key_error& e) {
            keygen::report(e);
        } catch (const std::system_error& e) {
            keygen::report(e);
        }
        inputs.push_back(in);
    }
    return inputs;
}

std::string verdict(const suspect& s, const std::optional<std::uint32_t>& through, bool stopped)
{
    if (s.made_at) {
        return "COMPROMISED: made at " + utc_text(*s.made_at) + " (seed " +
               std::to_string(*s.made_at) + ")";
    }
    if (s.seeds.first > s.seeds.last) {
        return "not searched: the window " + period(s.seeds.first, s.seeds.last) + " is empty";
    }
    if (!stopped || (through && *through >= s.seeds.last)) {
        return "not found " + period(s.seeds.first, s.seeds.last);
    }
    if (through && *through >= s.seeds.first) {
        return "not found " + period(s.seeds.first, *through) + " (interrupted)";
    }
    return "not searched (interrupted)";
}

void print(std::FILE* out, const std::string& line)
{
    keyfile::write_text(out, line, "cannot write the report");
}

// The progress line, on a terminal only: share done, speed, time left.
void show_progress(const progress& p)
{
    if (p.total == 0 || p.seconds <= 0) {
        return;
    }
    const double rate = static_cast<double>(p.searched) / p.seconds;
    const double left = rate > 0 ? static_cast<double>(p.total - p.searched) / rate : 0;
    const auto secs = static_cast<long>(left);
    (void)std::fprintf(stderr, "\rkeyaudit: %5.1f%% of %llu seeds, %.0f seeds/s, %ld:%02ld:%02ld left ",
                       100.0 * static_cast<double>(p.searched) / static_cast<double>(p.total),
                       static_cast<unsigned long long>(p.total), rate, secs / 3600, secs / 60 % 60,
                       secs % 60);
}

void clear_progress() { (void)std::fputs("\r\033[K", stderr); }

// The old key itself, byte for byte as the old generator printed it.
void print_recovered(const suspect& s)
{
    mpz_class p;
    mpz_class q;
    old_key(libc::glibc, *s.made_at, p, q);
    keygen::store_chunks(p, 2, 1);
    keygen::store_chunks(q, 2, 2);
    keygen::store_chunks(s.n, 4, 3);
    try {
        keyfile::write_key(stdout, keygen::key_text, "cannot write the recovered key");
    } catch (...) {
        keygen::wipe_key_text();
        throw;
    }
    keygen::wipe_key_text();
}

unsigned thread_count(const options& o)
{
    if (o.threads != 0) {
        return o.threads;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

int audit_files(const options& o, const std::atomic<int>& stop)
{
    std::vector<suspect> suspects;
    const std::vector<input> inputs = read_inputs(o, suspects);
    audit search(suspects);
    const bool progress_line = !o.quiet && isatty(STDERR_FILENO) != 0;
    search.run(thread_count(o), stop, [progress_line](const progress& p) {
        if (progress_line) {
            show_progress(p);
        }
    });
    if (progress_line) {
        clear_progress();
    }
    const bool stopped = stop != 0;
    const std::optional<std::uint32_t> through = search.searched_through();
    bool compromised = false;
    bool unreadable = false;
    for (const input& in : inputs) {
        if (!in.readable) {
            unreadable = true;
            continue;
        }
        const suspect& s = suspects[in.suspect];
        print(o.recover ? stderr : stdout, in.name + ": " + verdict(s, through, stopped) + "\n");
        if (s.made_at) {
            compromised = true;
            if (o.recover) {
                print_recovered(s);
            }
        }
    }
    if (stopped) {
        const std::uint32_t last = std::max_element(suspects.begin(), suspects.end(),
            [](const suspect& a, const suspect& b) { return a.seeds.last < b.seeds.last; })->seeds.last;
        print(stderr, "keyaudit: interrupted; to go on: --from @" +
                          std::to_string(through ? std::int64_t{*through} + 1 : 0) + " --to @" +
                          std::to_string(last) + "\n");
        return 128 + stop;
    }
    return compromised ? exit_compromised : unreadable ? exit_trouble : 0;
}

}  // namespace

int run(const options& o, const std::atomic<int>& stop)
{
    switch (o.action) {
    case verb::help:
        print(stdout, std::string(usage) + help);
        return 0;
    case verb::version:
        print(stdout, "keyaudit " KEYGEN_VERSION "\n");
        return 0;
    case verb::audit:
        break;
    }
    return audit_files(o, stop);
}

}  // namespace keyaudit
