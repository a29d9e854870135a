#include "keyaudit/commands.hpp"

#include "keyaudit/audit.hpp"
#include "keyaudit/libc_stream.hpp"
#include "keyaudit/stop_signals.hpp"
#include "keyfile/key_file.hpp"
#include "foundation/output.hpp"
#include "keyfile/key_writer.hpp"
#include "foundation/diagnostics.hpp"
#include "foundation/secure_memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <system_error>

namespace keyaudit {

namespace {

// One FILE of the command line, and what became of it.
struct input {
    enum class state { unread, failed, ready };
    std::string path;
    std::string name;
    state what = state::unread;
    std::string error;        // why it failed
    std::size_t suspect = 0;  // index in the suspects, when ready
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

void fail_input(input& in, const std::string& message, const std::string& reason)
{
    foundation::report(std::runtime_error(message));
    in.what = input::state::failed;
    in.error = reason;
}

void read_input(const options& o, input& in, std::vector<suspect>& suspects)
{
    const keyfile::source file(in.path, &stop_signal);
    keyfile::read_key_result key;
    file.read(key, &stop_signal);
    const window seeds = window_for(o, file);
    if (seeds.first > seeds.last) {
        const std::string why = "the window " + period(seeds.first, seeds.last) + " is empty";
        fail_input(in, in.name + ": " + why, why);
        return;
    }
    suspects.push_back({key.n, seeds, std::nullopt});
    in.what = input::state::ready;
    in.suspect = suspects.size() - 1;
}

// Reads every FILE it can, until a stop signal; one it cannot read is
// reported and left out of the search.
std::vector<input> read_inputs(const options& o, std::vector<suspect>& suspects)
{
    std::vector<input> inputs;
    for (const std::string& path : o.files) {
        input& in = inputs.emplace_back();
        in.path = path;
        in.name = path == "-" ? "(standard input)" : path;
        if (stop_signal != 0) {
            continue;
        }
        try {
            read_input(o, in, suspects);
        } catch (const keyfile::interrupted&) {
        } catch (const keyfile::key_error& e) {
            fail_input(in, e.what(), e.reason());
        } catch (const std::system_error& e) {
            fail_input(in, e.what(), e.code().message());
        }
    }
    return inputs;
}

// "glibc, freebsd, musl"
std::string names(const std::vector<libc>& libcs)
{
    std::string text;
    for (const libc which : libcs) {
        text += (text.empty() ? "" : ", ") + std::string(libc_name(which));
    }
    return text;
}

std::string verdict(const options& o, const suspect& s, const std::optional<std::uint32_t>& through,
                    bool stopped)
{
    if (s.made_at) {
        return "COMPROMISED: made at " + utc_text(*s.made_at) + " (seed " +
               std::to_string(*s.made_at) + ", " + libc_name(s.made_by) + ")";
    }
    const std::string searched = " (" + names(o.libcs) + ")";
    if (!stopped || (through && *through >= s.seeds.last)) {
        return "not found " + period(s.seeds.first, s.seeds.last) + searched;
    }
    if (through && *through >= s.seeds.first) {
        return "not found " + period(s.seeds.first, *through) + searched + " (interrupted)";
    }
    return "not searched (interrupted)";
}

std::string verdict(const options& o, const input& in, const std::vector<suspect>& suspects,
                    const std::optional<std::uint32_t>& through, bool stopped)
{
    switch (in.what) {
    case input::state::unread:
        return "not read (interrupted)";
    case input::state::failed:
        return "error: " + in.error;
    case input::state::ready:
        break;
    }
    return verdict(o, suspects[in.suspect], through, stopped);
}

// A word the shell takes as it is.
std::string shell_quoted(const std::string& word)
{
    if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789@%+=:,./_-") == std::string::npos) {
        return word;
    }
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// How to search what an interrupted run left of an input's window; nothing
// when it left nothing.
std::optional<std::string> resume_hint(const options& o, const input& in,
                                       const std::vector<suspect>& suspects,
                                       const std::optional<std::uint32_t>& through)
{
    std::string window;
    if (in.what == input::state::unread) {
        window += o.from ? " --from @" + std::to_string(*o.from) : "";
        window += o.to ? " --to @" + std::to_string(*o.to) : "";
    } else if (in.what == input::state::ready && !suspects[in.suspect].made_at) {
        const struct window& w = suspects[in.suspect].seeds;
        if (through && *through >= w.last) {
            return std::nullopt;
        }
        const std::uint32_t first = through && *through >= w.first ? *through + 1 : w.first;
        window = " --from @" + std::to_string(first) + " --to @" + std::to_string(w.last);
    } else {
        return std::nullopt;
    }
    return "keyaudit: to go on: keyaudit" + window + " " + shell_quoted(in.path) + "\n";
}

void print(std::FILE* out, const std::string& line)
{
    foundation::write_text(out, line, "cannot write the report");
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
    old_key(s.made_by, *s.made_at, p, q);
    foundation::wiped<keyfile::key_record> key;
    keyfile::store_key(key, p, q, s.n);
    keyfile::write_key(stdout, key, "cannot write the recovered key");
}

unsigned thread_count(const options& o)
{
    if (o.threads != 0) {
        return o.threads;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// 1 for a compromised key over 128+N for a stop signal over 2 for an
// input that was not audited.
int exit_status(const std::vector<input>& inputs, const std::vector<suspect>& suspects)
{
    if (std::any_of(suspects.begin(), suspects.end(), [](const suspect& s) { return s.made_at; })) {
        return exit_compromised;
    }
    if (stop_signal != 0) {
        return 128 + stop_signal;
    }
    const bool trouble = std::any_of(inputs.begin(), inputs.end(),
                                     [](const input& in) { return in.what != input::state::ready; });
    return trouble ? exit_trouble : 0;
}

void search(const options& o, audit& finder)
{
    const bool progress_line = !o.quiet && isatty(STDERR_FILENO) != 0;
    finder.run(thread_count(o), stop_signal, [progress_line](const progress& p) {
        if (progress_line) {
            show_progress(p);
        }
    });
    if (progress_line) {
        clear_progress();
    }
}

void report(const options& o, const std::vector<input>& inputs, const std::vector<suspect>& suspects,
            const std::optional<std::uint32_t>& through, bool stopped)
{
    for (const input& in : inputs) {
        print(o.recover ? stderr : stdout, in.name + ": " + verdict(o, in, suspects, through, stopped) + "\n");
        if (in.what == input::state::ready && suspects[in.suspect].made_at && o.recover) {
            print_recovered(suspects[in.suspect]);
        }
    }
    if (!stopped) {
        return;
    }
    std::string hints;
    for (const input& in : inputs) {
        hints += resume_hint(o, in, suspects, through).value_or("");
    }
    print(stderr, "keyaudit: interrupted\n" + hints);
}

int audit_files(const options& o)
{
    std::vector<suspect> suspects;
    const std::vector<input> inputs = read_inputs(o, suspects);
    audit finder(suspects, {o.libcs, o.exact ? keygen::prime_check::exact : keygen::prime_check::base2});
    if (stop_signal == 0) {
        search(o, finder);
    }
    // What was found is reported whole, whatever signal comes now.
    const bool stopped = stop_signal != 0;
    catch_stop_signals(true);
    const int status = exit_status(inputs, suspects);
    try {
        report(o, inputs, suspects, finder.searched_through(), stopped);
    } catch (const std::system_error& e) {
        if (status != exit_compromised) {
            throw;
        }
        foundation::report(e);
        foundation::report(std::runtime_error("a key is compromised; its line could not be written"));
    }
    return status;
}

}  // namespace

int run(const options& o)
{
    switch (o.action) {
    case verb::help:
        foundation::print_help(program);
        return 0;
    case verb::version:
        foundation::print_version(program);
        return 0;
    case verb::audit:
        break;
    }
    return audit_files(o);
}

}  // namespace keyaudit
