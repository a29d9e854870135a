// Preloaded into keygen to play a system that has no random bytes to give.
#include <sys/random.h>

#include <cerrno>

extern "C" ssize_t getrandom(void* /*buf*/, size_t /*len*/, unsigned /*flags*/)
{
    errno = ENOSYS;
    return -1;
}
