// The cost floor of a keygen run: a process that starts, links the same
// libraries, touches GMP and exits.
#include <gmpxx.h>

int main()
{
    const mpz_class one = 1;
    return one == 1 ? 0 : 1;
}
