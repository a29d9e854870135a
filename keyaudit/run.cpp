#include "keyaudit/run.hpp"

#include "foundation/diagnostics.hpp"
#include "foundation/output.hpp"
#include "keyaudit/audit.hpp"
#include "keyaudit/compare.hpp"
#include "keyaudit/index_lookup.hpp"
#include "keyaudit/inputs.hpp"
#include "keyaudit/outcome.hpp"
#include "keyaudit/progress.hpp"
#include "keyaudit/recovery.hpp"
#include "keyaudit/report.hpp"
#include "keyaudit/resume.hpp"
#include "keyaudit/shared_primes.hpp"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace keyaudit {

namespace {

// The report's lines go out as they are final. A line that cannot be
// written does not end the audit: the first failure is kept for the end.
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

bool ready(const input& in) { return in.what == input::state::ready; }

class audit_run {
public:
    audit_run(const options& o, const foundation::stop_flag& stop)
        : o_(o), stop_(stop), writer_(o.recover ? stderr : stdout), recover_(o)
    {
        end_.libcs = o.libcs;
    }

    int run()
    {
        // An index that is not one ends the run before any key is read; a
        // damaged block, before any line.
        open_indexes();
        read();
        look_up_in_indexes();
        compare();
        report_known();
        search();
        report_rest();
        say_how_to_go_on();
        return exit_status(result());
    }

private:
    void open_indexes()
    {
        for (const std::string& name : o_.indexes) {
            indexes_.push_back(std::make_unique<index_file>(name));
            end_.indexes.push_back(indexes_.back()->shape());
        }
    }

    void note_stop()
    {
        if (stopped_by_ == 0) {
            stopped_by_ = stop_;
        }
    }

    void read()
    {
        collected c = collect_names(o_, stop_);
        repeatable_ = c.repeatable;
        inputs_ = read_inputs(o_, c.names, stop_, thread_count(o_));
        settled_.assign(inputs_.size(), false);
        suspect_of_.assign(inputs_.size(), std::nullopt);
        if (std::any_of(inputs_.begin(), inputs_.end(),
                        [](const input& in) { return in.what == input::state::unread; })) {
            note_stop();
        }
        // From here a stop is noted, and what is written is written whole.
        foundation::stop_breaks_calls(false);
    }

    void compare()
    {
        if (stopped_by_ != 0) {
            return;
        }
        try {
            compare_keys(inputs_, thread_count(o_), stop_);
        } catch (const comparison_stopped&) {
            note_stop();
        } catch (const std::exception& e) {
            fail_every_ready(std::string("cannot compare the keys: ") +
                             (dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "out of memory" : e.what()));
        }
    }

    void fail_every_ready(const std::string& why)
    {
        for (input& in : inputs_) {
            if (ready(in)) {
                in.what = input::state::failed;
                in.error = why;
                in.shares_with.clear();
                in.same_key_as.clear();
            }
        }
    }

    // Errors first, then the keys that share a prime; the lines of the
    // keys to search, and their suspects, wait for the search.
    void report_known()
    {
        // Only when nothing else says why nothing is audited.
        no_key_ = stopped_by_ == 0 && std::all_of(inputs_.begin(), inputs_.end(), [](const input& in) {
                      return in.what == input::state::skipped;
                  });
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            const input& in = inputs_[i];
            if (in.what == input::state::failed || in.what == input::state::skipped) {
                if (!o_.recover) {
                    foundation::report(std::runtime_error(report_line(false, inputs_, i, nullptr, end_)));
                }
                settle(i);
            }
        }
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (ready(inputs_[i]) && !inputs_[i].shares_with.empty()) {
                settle(i);
            } else if (ready(inputs_[i])) {
                suspect_of_[i] = suspects_.size();
                input_of_.push_back(i);
                suspects_.push_back({inputs_[i].n, inputs_[i].seeds, std::nullopt});
            }
        }
        if (no_key_) {
            foundation::report(std::runtime_error("no key to audit"));
        }
    }

    search_settings settings() const
    {
        search_settings s;
        s.libcs = o_.libcs;
        s.check = o_.exact ? prime_check::exact : prime_check::base2;
        if (o_.resume) {
            s.resume_from = o_.resume->first;
            s.found_before = o_.resume->found;
        }
        return s;
    }

    // Before any line: a block found damaged (unusable_index) ends the run
    // with no key reported.
    void look_up_in_indexes()
    {
        if (indexes_.empty() || stopped_by_ != 0) {
            return;
        }
        std::vector<const mpz_class*> n;
        std::vector<std::size_t> of;
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (ready(inputs_[i])) {
                n.push_back(&inputs_[i].n);
                of.push_back(i);
            }
        }
        matches_ = index_matches(indexes_, n);
        for (index_match& m : matches_) {
            m.key = of[m.key];
        }
    }

    // The matches of the keys searched, by suspect, proven.
    void search_indexes()
    {
        std::vector<index_match> matches;
        for (const index_match& m : matches_) {
            if (suspect_of_[m.key]) {
                matches.push_back({m.seed, m.by, *suspect_of_[m.key]});
            }
        }
        const bool finished = prove_matches(matches, suspects_, settings().check, thread_count(o_), stop_,
                                            [this](std::size_t k) { settle(input_of_[k]); });
        if (!finished) {
            note_stop();
            end_.stopped = true;
        }
    }

    void search()
    {
        if (stopped_by_ != 0) {
            end_.stopped = true;
            end_.through = searched_before();
            return;
        }
        if (!indexes_.empty()) {
            search_indexes();
            return;
        }
        audit finder(suspects_, settings());
        const bool progress_line = !o_.quiet && isatty(STDERR_FILENO) != 0;
        try {
            const unsigned wanted = thread_count(o_);
            const unsigned ran = finder.run(
                wanted, stop_, [progress_line](const progress& p) { progress_line ? show_progress(p) : void(); },
                [this, progress_line](std::size_t k) {
                    progress_line ? clear_progress() : void();
                    settle(input_of_[k]);
                });
            if (ran < wanted) {
                foundation::report(std::runtime_error("warning: searched with " + std::to_string(ran) + " of " +
                                                      std::to_string(wanted) + " threads: no more could start"));
            }
        } catch (const std::exception& e) {
            end_.failure = dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "out of memory" : e.what();
            foundation::report(std::runtime_error("the search failed: " + end_.failure));
        }
        if (progress_line) {
            clear_progress();
        }
        if (!finder.finished() && end_.failure.empty()) {
            note_stop();
            end_.stopped = stopped_by_ != 0;
        }
        end_.through = finder.searched_through();
        if (const auto before = searched_before(); before) {
            end_.through = std::max(end_.through.value_or(0), *before);
        }
    }

    // What the run this one resumes searched.
    std::optional<std::uint32_t> searched_before() const
    {
        if (o_.resume && o_.resume->first > 0) {
            return o_.resume->first - 1;
        }
        return std::nullopt;
    }

    const suspect* key_of(std::size_t i) const { return suspect_of_[i] ? &suspects_[*suspect_of_[i]] : nullptr; }

    bool compromised(std::size_t i) const
    {
        const suspect* key = key_of(i);
        return ready(inputs_[i]) && (!inputs_[i].shares_with.empty() || (key != nullptr && key->made_at));
    }

    // Writes input i's line, and the recovered key when it is the one.
    void settle(std::size_t i)
    {
        settled_[i] = true;
        if (compromised(i)) {
            // Whatever ends the run from here, even memory, ends it with 1.
            foundation::set_failure_status(exit_status(outcome{true, 0, false}));
        }
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
            mpz_class other;
            mpz_divexact(other.get_mpz_t(), in.n.get_mpz_t(), in.shared_factor.get_mpz_t());
            p = std::min(in.shared_factor, other);
            q = std::max(in.shared_factor, other);
        } else if (const suspect* key = key_of(i); key != nullptr && key->made_at) {
            old_key(key->made_by, *key->made_at, p, q);
        } else {
            return;
        }
        recovered_ = recover_.write(quoted(in.name), p, q, in.n);
    }

    void report_rest()
    {
        for (std::size_t i = 0; i < inputs_.size(); ++i) {
            if (!settled_[i]) {
                settle(i);
            }
        }
    }

    std::vector<std::uint32_t> found_seeds() const
    {
        std::vector<std::uint32_t> seeds;
        for (const suspect& s : suspects_) {
            if (s.made_at) {
                seeds.push_back(*s.made_at);
            }
        }
        return seeds;
    }

    void say_how_to_go_on() const
    {
        if (stopped_by_ == 0) {
            return;
        }
        std::string text = "keyaudit: interrupted\n";
        std::optional<std::uint32_t> next;
        if (end_.through) {
            next = *end_.through + 1;
        }
        if (!repeatable_) {
            text += "keyaudit: no command can go on: the inputs came from standard input or a pipe\n";
        } else {
            options again = o_;
            if (recovered_) {
                again.recover = false;
                again.output.clear();
            }
            text += "keyaudit: to go on: " + resume_command(again, next, found_seeds()) + "\n";
        }
        try {
            foundation::write_text(stderr, text, "cannot write to standard error");
        } catch (const std::system_error&) {
        }
    }

    outcome result() const
    {
        outcome o;
        o.compromised =
            std::any_of(suspects_.begin(), suspects_.end(), [](const suspect& s) { return s.made_at.has_value(); }) ||
            std::any_of(inputs_.begin(), inputs_.end(),
                        [](const input& in) { return ready(in) && !in.shares_with.empty(); });
        o.stopped_by = stopped_by_;
        o.not_audited = no_key_ || !end_.failure.empty() || writer_.failure().has_value() ||
                        std::any_of(inputs_.begin(), inputs_.end(), [](const input& in) {
                            return in.what == input::state::failed || in.what == input::state::unread;
                        });
        if (writer_.failure()) {
            foundation::report(*writer_.failure());
            if (o.compromised) {
                foundation::report(std::runtime_error("a key is compromised; its line may not have been written"));
            }
        }
        return o;
    }

    const options& o_;
    const foundation::stop_flag& stop_;
    report_writer writer_;
    const recovery recover_;
    std::vector<std::unique_ptr<index_file>> indexes_;
    std::vector<index_match> matches_;  // by input
    std::vector<input> inputs_;
    std::vector<bool> settled_;
    std::vector<std::optional<std::size_t>> suspect_of_;
    std::vector<std::size_t> input_of_;
    std::vector<suspect> suspects_;
    search_end end_;
    int stopped_by_ = 0;
    bool repeatable_ = true;
    bool no_key_ = false;
    bool recovered_ = false;
};

}  // namespace

int run_audit(const options& o, const foundation::stop_flag& stop) { return audit_run(o, stop).run(); }

}  // namespace keyaudit
