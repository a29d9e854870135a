#pragma once
// Writing the key lines.
#include "keyfile/key_format.hpp"

#include <cstdio>
#include <string>

namespace keyfile {

// Gives the stream a buffer of ours, large enough for the whole key, so
// that the key's only copy in stdio is one we can wipe. Call before any
// output on the stream.
void use_private_buffer(std::FILE* out) noexcept;

// Print the eight lines, or the four AuthN lines of the public part, and
// flush. Throw std::system_error with failure as its text when the lines
// could not be written completely; either way the private buffer is wiped
// and nothing is left pending.
void write_key(std::FILE* out, const key_record& key,
               const std::string& failure = "cannot write the key");
void write_public_key(std::FILE* out, const key_record& key,
                      const std::string& failure = "cannot write the key");

// Any other text, with the same checks: help, versions, reports.
void write_text(std::FILE* out, const std::string& text, const std::string& failure);

}  // namespace keyfile
