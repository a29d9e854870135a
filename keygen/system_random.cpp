#include "keygen/system_random.hpp"

#include "foundation/secure_memory.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace keygen {

namespace {

// One key takes about ten thousand values; a few system calls suffice.
std::array<unsigned char, 4096> pool;
std::size_t used = pool.size();

// A working source repeats a 31-bit value six times in a row with a chance
// of 2^-155 per value, and is not interrupted a thousand times in a row.
constexpr int max_repeats = 5;
constexpr int max_interruptions = 1000;
std::uint32_t last_value = 0;
int repeats = -1;

[[noreturn]] void failed_health_test()
{
    discard_system_values();
    throw std::runtime_error("the random source failed its health test");
}

void refill()
{
    std::size_t got = 0;
    int interruptions = 0;
    while (got < pool.size()) {
        const ssize_t n = getrandom(pool.data() + got, pool.size() - got, 0);
        if (n < 0 && errno == EINTR) {
            if (++interruptions > max_interruptions) {
                failed_health_test();
            }
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            discard_system_values();
            throw std::system_error(err, std::generic_category(), "cannot read random bytes");
        }
        interruptions = 0;
        got += static_cast<std::size_t>(n);
    }
    used = 0;
}

void count_repeats(std::uint32_t v)
{
    repeats = v == last_value ? repeats + 1 : 0;
    last_value = v;
    if (repeats >= max_repeats) {
        failed_health_test();
    }
}

}  // namespace

std::uint32_t system_value()
{
    std::uint32_t v = 0;
    if (pool.size() - used < sizeof v) {
        refill();
    }
    std::memcpy(&v, pool.data() + used, sizeof v);
    used += sizeof v;
    v &= 0x7fffffffU;
    count_repeats(v);
    return v;
}

void discard_system_values() noexcept
{
    foundation::wipe(pool.data(), pool.size());
    used = pool.size();
    last_value = 0;
    repeats = -1;
}

}  // namespace keygen
