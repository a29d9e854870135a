#pragma once
// The key: P, Q and N, made and kept as text cut into 50-digit rows.
#include "keyfile/key_format.hpp"

#include <gmpxx.h>

namespace keygen {

using keyfile::chunk_digits;
using keyfile::key_record;
using keyfile::row_bytes;

// Zero at start; filled by generate_key.
extern key_record key_text;

// Finds P, then Q, and fills every row of key_text from P, Q and N = P*Q.
void generate_key();

// keyfile::store_rows into key_text.
void store_chunks(const mpz_class& z, int nchunks, int selector);

// Wipes every row, once the key has been written out.
void wipe_key_text() noexcept;

}  // namespace keygen
