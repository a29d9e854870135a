#include "keygen/generate_key.hpp"

#include "foundation/secure_memory.hpp"
#include "keygen/blum_prime.hpp"

namespace keygen {

key_record key_text{};

void store_chunks(const mpz_class& z, int nchunks, int selector)
{
    keyfile::store_rows(key_text, z, nchunks, selector);
}

void generate_key()
{
    mpz_class p;
    mpz_class q;
    mpz_class n;
    find_blum_prime(p);
    store_chunks(p, keyfile::p_rows.rows, keyfile::p_rows.selector);
    find_blum_prime(q);
    store_chunks(q, keyfile::q_rows.rows, keyfile::q_rows.selector);
    mpz_mul(n.get_mpz_t(), p.get_mpz_t(), q.get_mpz_t());
    store_chunks(n, keyfile::n_rows.rows, keyfile::n_rows.selector);
}

void wipe_key_text() noexcept { keyfile::wipe_record(key_text); }

}  // namespace keygen
