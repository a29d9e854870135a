#include "foundation/diagnostics.hpp"

#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace foundation {

namespace {

const char* program = "";  // set by the program first
// Read by exit_from_handler in a signal handler.
volatile std::sig_atomic_t failure_exit_status = exit_failure;
constexpr const char* out_of_memory = "cannot allocate memory: out of memory";

}  // namespace

usage_error option_error(int getopt_result, char** argv, const option* long_options)
{
    const std::string word = argv[optind - 1];
    if (getopt_result == ':') {
        return usage_error("option needs an argument: " + word);
    }
    // getopt_long names a long option given an argument it does not take
    // by its short letter, or not at all.
    if (word.starts_with("--") && word.find('=') != std::string::npos) {
        const std::string name = word.substr(2, word.find('=') - 2);
        for (const option* o = long_options; o->name != nullptr; ++o) {
            if (std::string_view(o->name).starts_with(name) && o->has_arg == no_argument) {
                return usage_error("option takes no argument: --" + name);
            }
        }
    }
    return usage_error(optopt != 0 ? std::string("unknown option: -") + static_cast<char>(optopt)
                                   : "unknown option: " + word);
}

void set_program(const char* name, int failure_status) noexcept
{
    program = name;
    failure_exit_status = failure_status;
}

void set_failure_status(int status) noexcept { failure_exit_status = status; }

void report(const std::exception& failure) noexcept
{
    (void)std::fprintf(stderr, "%s: %s\n", program, failure.what());
}

int report_failure(const std::exception_ptr& failure, const char* usage) noexcept
{
    try {
        std::rethrow_exception(failure);
    } catch (const usage_error& e) {
        report(e);
        (void)std::fputs(usage, stderr);
        return exit_usage;
    } catch (const std::bad_alloc&) {
        (void)std::fprintf(stderr, "%s: %s\n", program, out_of_memory);
    } catch (const std::exception& e) {
        report(e);
    } catch (...) {
        (void)std::fprintf(stderr, "%s: unexpected failure\n", program);
    }
    return failure_exit_status;
}

void exit_out_of_memory() noexcept
{
    (void)std::fprintf(stderr, "%s: %s\n", program, out_of_memory);
    _exit(failure_exit_status);
}

void exit_from_handler(std::initializer_list<const char*> parts) noexcept
{
    auto say = [](const char* text) { (void)!write(STDERR_FILENO, text, std::strlen(text)); };
    say(program);
    say(": ");
    for (const char* part : parts) {
        say(part);
    }
    say("\n");
    _exit(failure_exit_status);
}

}  // namespace foundation
