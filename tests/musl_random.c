/* musl's own random(), the yardstick of keyaudit's replay of it: for each
   seed, the edges of the 32-bit range and a spread over the rest, a line of
   the seed and the first values after srandom(seed). With SEED COUNT, the
   seed and COUNT values after srandom(SEED), enough for a whole key. Built
   with musl-gcc. */
#include <stdio.h>
#include <stdlib.h>

static int one_seed(const char* seed_text, const char* count_text)
{
    const unsigned seed = (unsigned)strtoul(seed_text, NULL, 10);
    const unsigned long count = strtoul(count_text, NULL, 10);
    srandom(seed);
    printf("%u\n", seed);
    for (unsigned long k = 0; k < count; ++k) {
        printf("%ld\n", random());
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc == 3) {
        return one_seed(argv[1], argv[2]);
    }
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
