#pragma once
// Writing the eight key lines.
#include <cstdio>

namespace keygen {

// Gives the stream a buffer of ours, large enough for the whole key, so
// that the key's only copy in stdio is one we can wipe. Call before any
// output on the stream.
void use_private_buffer(std::FILE* out) noexcept;

// Prints key_text as the eight AuthP, AuthQ and AuthN lines and flushes.
// Throws std::system_error when the key could not be written completely;
// either way the private buffer is wiped and nothing is left pending.
void write_key(std::FILE* out);

}  // namespace keygen
