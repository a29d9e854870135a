// keyaudit: finds the keys the clock-seeded generator made, and recovers them.
#include "keyaudit/commands.hpp"
#include "keyaudit/options.hpp"
#include "keyaudit/stop_signals.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/diagnostics.hpp"
#include "keygen/key_record.hpp"
#include "keygen/secure_memory.hpp"

#include <csignal>
#include <exception>

int main(int argc, char** argv)
{
    keygen::set_program("keyaudit", keyaudit::exit_trouble);
    keygen::install_wiping_allocator();
    keygen::disable_core_dumps();
    // A file-size limit then fails a write with EFBIG, which is reported
    // and cleaned up after like any other failed write.
    (void)std::signal(SIGXFSZ, SIG_IGN);
    int status = 0;
    try {
        keyfile::use_private_buffer(stdout);
        keyaudit::catch_stop_signals(false);
        status = keyaudit::run(keyaudit::parse_options(argc, argv));
    } catch (...) {
        status = keygen::report_failure(std::current_exception(), keyaudit::usage);
    }
    // A recovered key passed through here.
    keygen::wipe_key_text();
    keygen::scrub_stack();
    keygen::clear_vector_registers();
    return status;
}
