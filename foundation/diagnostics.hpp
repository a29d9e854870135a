#pragma once
// How the programs report failure: "program: what failed: why" on standard
// error and an exit status, decided here and nowhere else.
#include <exception>
#include <getopt.h>
#include <initializer_list>
#include <stdexcept>

namespace foundation {

inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// A command line the program cannot act on.
class usage_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The usage error for what getopt_long returned on a bad option, ':' (a
// missing argument; the option string must start with ':') or '?', with
// the long options getopt_long was given.
usage_error option_error(int getopt_result, char** argv, const option* long_options);

// Names the program in every message, and the status of a failure that
// ends the run; main sets them first.
void set_program(const char* name, int failure_status = exit_failure) noexcept;

// The status of a failure that ends the run from here on: an audit that
// has found a broken key must say so however it ends.
void set_failure_status(int status) noexcept;

// Prints "program: what" for a failure the program goes on after.
void report(const std::exception& failure) noexcept;

// Reports a failure that ends the run and returns its exit status: 2 for a
// usage error (the usage follows the message), the program's failure status
// for anything else, running out of memory included.
int report_failure(const std::exception_ptr& failure, const char* usage) noexcept;

// For GMP's allocator, which cannot unwind: the same message and status as
// a std::bad_alloc, without returning. Nothing pending on standard output
// is written.
[[noreturn]] void exit_out_of_memory() noexcept;

// For a signal handler: "program: " and the parts by write(2) alone, then
// _exit with the failure status.
[[noreturn]] void exit_from_handler(std::initializer_list<const char*> parts) noexcept;

}  // namespace foundation
