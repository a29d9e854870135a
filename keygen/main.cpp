// keygen: makes a fresh Rabin key (P, Q and N = P*Q) as eight key lines.
#include "keyfile/key_writer.hpp"
#include "keygen/commands.hpp"
#include "keygen/diagnostics.hpp"
#include "keygen/key_record.hpp"
#include "keygen/options.hpp"
#include "keygen/secure_memory.hpp"
#include "keygen/system_random.hpp"

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

void forget_secrets() noexcept
{
    keygen::wipe_key_text();
    keygen::discard_system_values();
    keygen::scrub_stack();
    keygen::clear_vector_registers();
}

}  // namespace

int main(int argc, char** argv)
{
    keygen::set_program("keygen");
    keygen::install_wiping_allocator();
    keygen::disable_core_dumps();
    // A file-size limit then fails a write with EFBIG, which is reported
    // and cleaned up after like any other failed write.
    (void)std::signal(SIGXFSZ, SIG_IGN);
    int status = 0;
    try {
        keyfile::use_private_buffer(stdout);
        status = keygen::run(keygen::parse_options(argc, argv));
    } catch (...) {
        status = keygen::report_failure(std::current_exception(), keygen::usage);
    }
    forget_secrets();
    return status;
}
