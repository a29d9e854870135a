// Public keys for keyaudit's fleet test, made with GMP alone: COUNT keys
// of two random 100-digit primes of 3 mod 4 as DIR/fleetNNN.pub, and two
// more, DIR/shared-a.pub and DIR/shared-b.pub, that share a prime.
// make_fleet DIR COUNT
#include "keyfile/key_format.hpp"
#include "keyfile/key_writer.hpp"

#include <gmpxx.h>

#include <cstdio>
#include <string>

namespace {

mpz_class blum_prime(gmp_randclass& random)
{
    const mpz_class low("1" + std::string(99, '0'));
    mpz_class p = low + random.get_z_range(9 * low);
    do {
        mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
    } while (mpz_fdiv_ui(p.get_mpz_t(), 4) != 3);
    return p;
}

bool write_public(const std::string& path, const mpz_class& n)
{
    keyfile::key_record key{};
    keyfile::store_rows(key, n, keyfile::n_rows.rows, keyfile::n_rows.selector);
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    keyfile::write_public_key(out, key);
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    const std::string dir = argv[1];
    gmp_randclass random(gmp_randinit_mt);
    random.seed(2026);
    for (int i = 0; i < std::stoi(argv[2]); ++i) {
        char name[32];
        (void)std::snprintf(name, sizeof name, "/fleet%03d.pub", i);
        if (!write_public(dir + name, blum_prime(random) * blum_prime(random))) {
            return 1;
        }
    }
    const mpz_class shared = blum_prime(random);
    return write_public(dir + "/shared-a.pub", shared * blum_prime(random)) &&
                   write_public(dir + "/shared-b.pub", blum_prime(random) * shared)
               ? 0
               : 1;
}
