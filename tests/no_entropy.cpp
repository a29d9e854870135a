// Preloaded into keygen to play a broken random source. NO_ENTROPY=zeros
// hands out zero bytes, NO_ENTROPY=eintr is interrupted for ever, and
// anything else has no random bytes to give.
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" ssize_t getrandom(void* buf, size_t len, unsigned /*flags*/)
{
    const char* mode = std::getenv("NO_ENTROPY");
    const std::string_view m = mode != nullptr ? mode : "";
    if (m == "zeros") {
        std::memset(buf, 0, len);
        return static_cast<ssize_t>(len);
    }
    errno = m == "eintr" ? EINTR : ENOSYS;
    return -1;
}
