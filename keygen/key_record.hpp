#pragma once
// The key as text: P, Q and N cut into 50-digit rows.
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

// Renders z in decimal and writes chunk i (digits 50i+1 to 50i+50, counted
// from the most significant) into row i of the table that selector names:
// 1 auth_p, 2 auth_q, 3 auth_n. Any other selector changes nothing, rows
// past the table's end are not written, and a chunk that would start past
// the end of the text is the empty string.
void store_chunks(const mpz_class& z, int nchunks, int selector);

// Wipes every row, once the key has been written out.
void wipe_key_text() noexcept;

}  // namespace keygen
