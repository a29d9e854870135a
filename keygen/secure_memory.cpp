#include "keygen/secure_memory.hpp"

#include "keygen/diagnostics.hpp"

#include <gmp.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

namespace keygen {

void wipe(void* p, std::size_t n) noexcept
{
    if (p != nullptr && n != 0) {
        explicit_bzero(p, n);
    }
}

secure_buffer::secure_buffer(std::size_t size)
    : bytes_(std::make_unique<char[]>(size)), size_(size)
{
}

secure_buffer::~secure_buffer() { wipe(bytes_.get(), size_); }

namespace {

void* wiping_alloc(std::size_t size)
{
    void* p = std::malloc(size);
    if (p == nullptr) {
        // GMP cannot recover from a failed allocation, so neither can we.
        exit_out_of_memory();
    }
    return p;
}

void wiping_free(void* p, std::size_t size)
{
    wipe(p, size);
    std::free(p);
}

// realloc could leave the old block behind unwiped, so move by hand.
void* wiping_realloc(void* old, std::size_t old_size, std::size_t new_size)
{
    void* p = wiping_alloc(new_size);
    std::memcpy(p, old, old_size < new_size ? old_size : new_size);
    wiping_free(old, old_size);
    return p;
}

}  // namespace

void install_wiping_allocator()
{
    mp_set_memory_functions(wiping_alloc, wiping_realloc, wiping_free);
}

void disable_core_dumps() noexcept
{
    const rlimit none{0, 0};
    (void)setrlimit(RLIMIT_CORE, &none);
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

__attribute__((noinline)) void scrub_stack() noexcept
{
    // A run's deepest call uses under 10 KiB of stack (measured by painting
    // the stack before generate_key); the margin is wide and cheap.
    constexpr std::size_t depth = std::size_t{64} * 1024;
    char area[depth];
    wipe(area, sizeof area);
    asm volatile("" : : "r"(area) : "memory");
}

}  // namespace keygen
