// keygen: prints a fresh Rabin key (P, Q and N = P*Q) as eight key lines.
#include "keygen/key_output.hpp"
#include "keygen/key_record.hpp"
#include "keygen/secure_memory.hpp"
#include "keygen/system_random.hpp"

#include <cstdio>
#include <exception>

namespace {

void forget_secrets() noexcept
{
    keygen::wipe_key_text();
    keygen::discard_system_values();
    keygen::scrub_stack();
}

}  // namespace

// Arguments and environment are ignored: a run always does the same job.
int main()
{
    keygen::install_wiping_allocator();
    keygen::disable_core_dumps();
    int status = 0;
    try {
        keygen::use_private_buffer(stdout);
        keygen::generate_key();
        keygen::write_key(stdout);
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "keygen: %s\n", e.what());
        status = 1;
    }
    forget_secrets();
    return status;
}
