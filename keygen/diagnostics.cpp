#include "keygen/diagnostics.hpp"

#include <unistd.h>

#include <cstdio>
#include <new>

namespace keygen {

namespace {

const char* program = "keygen";
constexpr const char* out_of_memory = "cannot allocate memory: out of memory";

}  // namespace

void set_program_name(const char* name) noexcept { program = name; }

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
    return exit_failure;
}

void exit_out_of_memory() noexcept
{
    (void)std::fprintf(stderr, "%s: %s\n", program, out_of_memory);
    _exit(exit_failure);
}

}  // namespace keygen
