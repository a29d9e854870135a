/* musl's own random(), the yardstick of keyaudit's replay of it: for each
   seed, the edges of the 32-bit range and a spread over the rest, a line of
   the seed and the first values after srandom(seed). Built with musl-gcc. */
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    static const unsigned edges[] = {0, 1, 2147483647u, 2147483648u, 2147483649u, 4294967295u};
    const unsigned nedges = sizeof edges / sizeof edges[0];
    for (unsigned i = 0; i < nedges + 2000; ++i) {
        const unsigned seed = i < nedges ? edges[i] : (i - nedges) * 2654435761u;
        srandom(seed);
        printf("%u", seed);
        for (int k = 0; k < 40; ++k) {
            printf(" %ld", random());
        }
        putchar('\n');
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
