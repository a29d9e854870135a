#pragma once
// What the programs share around their own work: start-up, the command
// line's options, help and version, and teardown.
#include "foundation/diagnostics.hpp"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace foundation {

// One option, declared once: it gives getopt_long its letter and long name
// and --help its lines.
struct option_spec {
    int id;                // its letter, or a number past 255 for a long name alone
    const char* name;      // its long name
    const char* argument;  // its argument's name in the help; nullptr: none
    const char* help;      // what it does; a line feed starts each further line
};

struct program {
    const char* name;
    int failure_status;                    // of a failure that ends the run
    const char* usage;                     // "usage: NAME ...", one line a form
    const char* description;               // the help before the options
    std::span<const option_spec> options;  // in the order of the help
    std::size_t help_column;               // where the options' texts start
    void (*forget)() noexcept;             // wipes the program's own secrets, if any
};

// Runs getopt_long over argv with the program's options, calling take with
// each option's id and argument (nullptr for none), and returns the
// operands. Throws usage_error for an unknown option, a missing argument,
// or an argument to an option that takes none.
std::vector<std::string> parse_command_line(const program& p, int argc, char** argv,
                                            const std::function<void(int, const char*)>& take);

// One action a run: the first option that names one sets it; another one
// after it is a usage error that says which options conflict.
template <typename Verb>
class verb_choice {
public:
    verb_choice(Verb otherwise, const char* conflict) : verb_(otherwise), conflict_(conflict) {}
    void choose(Verb v)
    {
        if (chosen_ && v != verb_) {
            throw usage_error(conflict_);
        }
        verb_ = v;
        chosen_ = true;
    }
    // -h and -V, which every program has, as Verb::help and Verb::version;
    // true when id was one of them.
    bool choose_common(int id)
    {
        if (id == 'h' || id == 'V') {
            choose(id == 'h' ? Verb::help : Verb::version);
            return true;
        }
        return false;
    }
    Verb get() const { return verb_; }

private:
    Verb verb_;
    const char* conflict_;
    bool chosen_ = false;
};

// The usage, the description and a line for each option, on standard output.
void print_help(const program& p);

// "NAME VERSION" on standard output.
void print_version(const program& p);

// The command line of a program of verbs: take sees every option but -h
// and -V, with the choice it may make. Returns the operands; verb, the
// default on entry, is the verb chosen.
template <typename Verb>
std::vector<std::string> parse_verbs(const program& p, int argc, char** argv, Verb& verb, const char* conflict,
                                     const std::function<void(int, const char*, verb_choice<Verb>&)>& take)
{
    verb_choice<Verb> action(verb, conflict);
    std::vector<std::string> operands = parse_command_line(p, argc, argv, [&](int id, const char* arg) {
        if (!action.choose_common(id)) {
            take(id, arg, action);
        }
    });
    verb = action.get();
    return operands;
}

// Prints the help for Verb::help or the version for Verb::version; true
// when verb was one of them.
template <typename Verb>
bool print_help_or_version(const program& p, Verb verb)
{
    if (verb == Verb::help) {
        print_help(p);
    } else if (verb == Verb::version) {
        print_version(p);
    } else {
        return false;
    }
    return true;
}

// The argument of -o: an empty name (an unset variable) must not send a
// key where nobody meant, so it is a usage error.
std::string output_name(const char* arg);

// The help's option lines alone.
std::string options_help(const program& p);

// Sets up the process (messages named for the program, GMP's wiping
// allocator, no core dumps, SIGXFSZ ignored so that a file-size limit is
// a failed write, standard output's private buffer), runs body, reports
// what it threw, then wipes what secrets it can reach (the program's own,
// the stack, the vector registers) and returns the exit status.
int run_program(const program& p, int argc, char** argv,
                const std::function<int(int, char**)>& body);

}  // namespace foundation
