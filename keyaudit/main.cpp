// keyaudit: finds the keys the clock-seeded generator made, and recovers them.
#include "keyaudit/commands.hpp"
#include "keyaudit/options.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/diagnostics.hpp"
#include "keygen/key_record.hpp"
#include "keygen/secure_memory.hpp"

#include <atomic>
#include <csignal>
#include <exception>

namespace {

std::atomic<int> stop_signal{0};

extern "C" void request_stop(int signo) { stop_signal = signo; }

// The audit stops at its next seed and reports what it searched.
void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    keygen::set_program("keyaudit", keyaudit::exit_trouble);
    keygen::install_wiping_allocator();
    keygen::disable_core_dumps();
    // A file-size limit then fails a write with EFBIG, which is reported
    // and cleaned up after like any other failed write.
    (void)std::signal(SIGXFSZ, SIG_IGN);
    static_assert(std::atomic<int>::is_always_lock_free);
    int status = 0;
    try {
        keyfile::use_private_buffer(stdout);
        catch_stop_signals();
        status = keyaudit::run(keyaudit::parse_options(argc, argv), stop_signal);
    } catch (...) {
        status = keygen::report_failure(std::current_exception(), keyaudit::usage);
    }
    // A recovered key passed through here.
    keygen::wipe_key_text();
    keygen::scrub_stack();
    keygen::clear_vector_registers();
    return status;
}
