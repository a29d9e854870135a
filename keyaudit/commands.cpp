#include "keyaudit/commands.hpp"

#include "foundation/diagnostics.hpp"
#include "foundation/output.hpp"
#include "foundation/secure_memory.hpp"
#include "keyaudit/audit.hpp"
#include "keyaudit/inputs.hpp"
#include "keyaudit/libc_stream.hpp"
#include "keyaudit/report.hpp"
#include "keyaudit/shared_primes.hpp"
#include "keyaudit/stop_signals.hpp"
#include "keyfile/key_file.hpp"
#include "keyfile/key_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace keyaudit {

namespace {

// The report's lines go out as they are final. A line that cannot be
// written does not end the audit: the first failure is kept, and the exit
// status then says what it must.
class report_writer {
public:
    explicit report_writer(std::FILE* out) : out_(out) {}

    void print(const std::string& line)
    {
        try {
            foundation::write_text(out_, line + "\n", "cannot write the report");
        } catch (const std::system_error& e) {
            if (!failure_) {
                failure_ = e;
            }
        }
    }

    const std::optional<std::system_error>& failure() const { return failure_; }

private:
    std::FILE* out_;
    std::optional<std::system_error> failure_;
};

// The key --recover writes, once it is known.
class recovery {
public:
    explicit recovery(const options& o)
    {
        if (!o.recover) {
            return;
        }
        if (!o.files.empty() && o.files.front() != "-" && std::filesystem::is_directory(o.files.front())) {
            throw foundation::usage_error("--recover needs a key file first, not a folder");
        }
        to_ = std::make_unique<keyfile::destination>(o.output, keyfile::private_mode, false,
                                                     "the recovered key");
        if (o.output.empty()) {
            warn_if_exposed();
        }
    }

    bool wanted(std::size_t input) const { return to_ != nullptr && input == 0; }

    // A key that cannot be written is reported; the key is compromised
    // all the same, and the exit status says so.
    void write(const mpz_class& p, const mpz_class& q, const mpz_class& n) const
    {
        foundation::wiped<keyfile::key_record> key;
        keyfile::store_key(key, p, q, n);
        try {
            const std::string warning = to_->write([&key](std::FILE* out, const std::string& failure) {
                keyfile::write_key(out, key, failure);
            });
            if (!warning.empty()) {
                foundation::report(std::runtime_error(warning));
            }
        } catch (const std::system_error& e) {
            foundation::report(e);
        }
    }

private:
    static void warn_if_exposed()
    {
        struct stat st {};
        if (isatty(STDOUT_FILENO) != 0) {
            foundation::report(std::runtime_error("warning: the recovered key goes to a terminal"));
        } else if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 044) != 0) {
            foundation::report(
                std::runtime_error("warning: the recovered key goes to a file that others can read"));
        }
    }

    std::unique_ptr<keyfile::destination> to_;
};

// The progress line, on a terminal only: share done, keys found, speed,
// time left.
void show_progress(const progress& p)
{
    if (p.total == 0 || p.seconds <= 0) {
        return;
    }
    const double rate = static_cast<double>(p.searched) / p.seconds;
    const double left = rate > 0 ? static_cast<double>(p.total - p.searched) / rate : 0;
    const auto secs = static_cast<long>(left);
    (void)std::fprintf(stderr,
                       "\rkeyaudit: %5.1f%% of %llu seeds, %zu found, %.0f seeds/s, %ld:%02ld:%02ld left ",
                       100.0 * static_cast<double>(p.searched) / static_cast<double>(p.total),
                       static_cast<unsigned long long>(p.total), p.found, rate, secs / 3600,
                       secs / 60 % 60, secs % 60);
}

void clear_progress() { (void)std::fputs("\r\033[K", stderr); }

unsigned thread_count(const options& o)
{
    if (o.threads != 0) {
        return o.threads;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

// Marks the inputs that share a prime or a whole key with another.
void compare_keys(std::vector<input>& inputs)
{
    std::vector<std::size_t> ready;
    std::vector<mpz_class> moduli;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].what == input::state::ready) {
            ready.push_back(i);
            moduli.push_back(inputs[i].n);
        }
    }
    std::vector<shared_prime_result> found;
    try {
        shared_prime_settings settings;
        settings.stop = &stop_signal;
        found = find_shared_primes(moduli, settings);
    } catch (const comparison_stopped&) {
        return;  // nothing is searched: every key's line says so
    }
    for (std::size_t k = 0; k < ready.size(); ++k) {
        input& in = inputs[ready[k]];
        for (const std::size_t other : found[k].shares_with) {
            in.shares_with.push_back(ready[other]);
        }
        for (const std::size_t other : found[k].same_key_as) {
            in.same_key_as.push_back(ready[other]);
        }
        in.shared_factor = found[k].factor;
    }
}

// How to search what an interrupted run left of an input's window; nothing
// when it left nothing.
std::optional<std::string> resume_hint(const options& o, const input& in, const suspect* key,
                                       const std::optional<std::uint32_t>& through)
{
    std::string window;
    if (in.what == input::state::unread) {
        window += o.from ? " --from @" + std::to_string(*o.from) : "";
        window += o.to ? " --to @" + std::to_string(*o.to) : "";
        window += o.days != 1 && !o.from ? " --days " + std::to_string(o.days) : "";
    } else if (key != nullptr && !key->made_at) {
        const struct window& w = key->seeds;
        if (through && *through >= w.last) {
            return std::nullopt;
        }
        const std::uint32_t first = through && *through >= w.first ? *through + 1 : w.first;
        window = " --from @" + std::to_string(first) + " --to @" + std::to_string(w.last);
    } else {
        return std::nullopt;
    }
    std::string streams;
    if (o.libcs != default_libcs()) {
        for (const libc which : o.libcs) {
            streams += (streams.empty() ? " --libc " : ",") + std::string(libc_name(which));
        }
    }
    return "keyaudit: to go on: keyaudit" + streams + window + " " + quoted(in.path) + "\n";
}

class audit_run {
public:
    audit_run(const options& o, gathered g, const recovery& recover)
        : o_(o), inputs_(std::move(g.inputs)), suspect_of_(inputs_.size()),
          settled_(inputs_.size(), false), writer_(o.recover ? stderr : stdout), recover_(recover)
    {
        if (g.skipped != 0) {
            foundation::report(std::runtime_error(std::to_string(g.skipped) +
                                                  " files in the folders are not keys: skipped"));
        }
        compare_keys(inputs_);
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (inputs_[i].what == input::state::ready && inputs_[i].shares_with.empty()) {
                suspect_of_[i] = suspects_.size();
                input_of_.push_back(i);
                suspects_.push_back({inputs_[i].n, inputs_[i].seeds, std::nullopt});
            }
        }
        end_.libcs = o.libcs;
    }

    int run()
    {
        // The lines that are final before the search.
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (inputs_[i].what == input::state::failed || !inputs_[i].shares_with.empty()) {
                settle(i);
            }
        }
        audit finder(suspects_, {o_.libcs, o_.exact ? keygen::prime_check::exact : keygen::prime_check::base2});
        // Only reading waits on a file; from here a signal is noted and the
        // lines already found are written whole.
        catch_stop_signals(true);
        if (stop_signal == 0) {
            search(finder);
        }
        end_.stopped = stop_signal != 0;
        end_.through = finder.searched_through();
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (!settled_[i]) {
                settle(i);
            }
        }
        hints();
        return status();
    }

private:
    const suspect* key_of(std::size_t i) const
    {
        return suspect_of_[i] ? &suspects_[*suspect_of_[i]] : nullptr;
    }

    // Writes input i's line, and the recovered key when it is the one.
    void settle(std::size_t i)
    {
        settled_[i] = true;
        writer_.print(report_line(o_.json, inputs_, i, key_of(i), end_));
        if (recover_.wanted(i)) {
            recover(i);
        }
    }

    void recover(std::size_t i)
    {
        const input& in = inputs_[i];
        mpz_class p;
        mpz_class q;
        if (!in.shares_with.empty()) {
            // Which prime came first cannot be known: the smaller is P.
            const mpz_class other = in.n / in.shared_factor;
            p = std::min(in.shared_factor, other);
            q = std::max(in.shared_factor, other);
        } else if (const suspect* key = key_of(i); key != nullptr && key->made_at) {
            old_key(key->made_by, *key->made_at, p, q);
        } else {
            return;
        }
        recover_.write(p, q, in.n);
    }

    void search(audit& finder)
    {
        const bool progress_line = !o_.quiet && isatty(STDERR_FILENO) != 0;
        finder.run(
            thread_count(o_), stop_signal,
            [progress_line](const progress& p) {
                if (progress_line) {
                    show_progress(p);
                }
            },
            [this, progress_line](std::size_t k) {
                if (progress_line) {
                    clear_progress();
                }
                settle(input_of_[k]);
            });
        if (progress_line) {
            clear_progress();
        }
    }

    void hints()
    {
        if (!end_.stopped) {
            return;
        }
        std::string text;
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            text += resume_hint(o_, inputs_[i], key_of(i), end_.through).value_or("");
        }
        foundation::write_text(stderr, "keyaudit: interrupted\n" + text, "cannot write the report");
    }

    // 1 for a compromised key over 128+N for a stop signal over 2 for an
    // input that was not audited.
    int status() const
    {
        const bool compromised =
            std::any_of(suspects_.begin(), suspects_.end(), [](const suspect& s) { return s.made_at.has_value(); }) ||
            std::any_of(inputs_.begin(), inputs_.end(), [](const input& in) { return !in.shares_with.empty(); });
        if (writer_.failure()) {
            if (!compromised) {
                throw std::system_error(writer_.failure()->code(), "cannot write the report");
            }
            foundation::report(*writer_.failure());
            foundation::report(std::runtime_error("a key is compromised; its line could not be written"));
        }
        if (compromised) {
            return exit_compromised;
        }
        if (stop_signal != 0) {
            return 128 + stop_signal;
        }
        const bool trouble = std::any_of(inputs_.begin(), inputs_.end(),
                                         [](const input& in) { return in.what != input::state::ready; });
        return trouble ? exit_trouble : 0;
    }

    const options& o_;
    std::vector<input> inputs_;
    std::vector<std::optional<std::size_t>> suspect_of_;
    std::vector<std::size_t> input_of_;
    std::vector<suspect> suspects_;
    std::vector<bool> settled_;
    search_end end_;
    report_writer writer_;
    const recovery& recover_;
};

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
    // Where a recovered key goes is checked before anything is read.
    const recovery recover(o);
    return audit_run(o, gather_inputs(o), recover).run();
}

}  // namespace keyaudit
