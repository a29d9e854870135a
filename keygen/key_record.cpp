#include "keygen/key_record.hpp"

#include "keygen/blum_prime.hpp"
#include "keygen/secure_memory.hpp"

#include <algorithm>
#include <cstring>
#include <span>

namespace keygen {

key_record key_text{};

namespace {

using row = char[row_bytes];

std::span<row> table(int selector)
{
    switch (selector) {
    case 1:
        return key_text.auth_p;
    case 2:
        return key_text.auth_q;
    case 3:
        return key_text.auth_n;
    default:
        return {};
    }
}

}  // namespace

void store_chunks(const mpz_class& z, int nchunks, int selector)
{
    const std::span<row> rows = table(selector);
    if (rows.empty() || nchunks <= 0) {
        return;
    }
    secure_buffer text(mpz_sizeinbase(z.get_mpz_t(), 10) + 2);
    mpz_get_str(text.data(), 10, z.get_mpz_t());
    const std::size_t length = std::strlen(text.data());
    const std::size_t count = std::min(static_cast<std::size_t>(nchunks), rows.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t start = std::min(i * chunk_digits, length);
        const std::size_t n = std::min<std::size_t>(chunk_digits, length - start);
        std::memset(rows[i], 0, row_bytes);
        std::memcpy(rows[i], text.data() + start, n);
    }
}

void generate_key()
{
    mpz_class p;
    mpz_class q;
    mpz_class n;
    find_blum_prime(p);
    store_chunks(p, 2, 1);
    find_blum_prime(q);
    store_chunks(q, 2, 2);
    mpz_mul(n.get_mpz_t(), p.get_mpz_t(), q.get_mpz_t());
    store_chunks(n, 4, 3);
}

void wipe_key_text() noexcept { keyfile::wipe_record(key_text); }

}  // namespace keygen
