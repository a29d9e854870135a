#include "keygen/system_random.hpp"

#include "keygen/secure_memory.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace keygen {

namespace {

// One key takes about ten thousand values; a few system calls suffice.
std::array<unsigned char, 4096> pool;
std::size_t used = pool.size();

void refill()
{
    std::size_t got = 0;
    while (got < pool.size()) {
        const ssize_t n = getrandom(pool.data() + got, pool.size() - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            discard_system_values();
            throw std::system_error(err, std::generic_category(),
                                    "cannot read random bytes");
        }
        got += static_cast<std::size_t>(n);
    }
    used = 0;
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
    return v & 0x7fffffffU;
}

void discard_system_values() noexcept
{
    wipe(pool.data(), pool.size());
    used = pool.size();
}

}  // namespace keygen
