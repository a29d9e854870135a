#pragma once
// Writing the key lines.
#include "keyfile/key_format.hpp"

#include <cstdio>
#include <string>

namespace keyfile {

// Print the eight lines, or the four AuthN lines of the public part, and
// flush. Throw std::system_error with failure as its text when the lines
// could not be written completely; either way the private buffer of
// foundation/output.hpp, which the stream should have, is wiped
// and nothing is left pending.
void write_key(std::FILE* out, const key_record& key,
               const std::string& failure = "cannot write the key");
void write_public_key(std::FILE* out, const key_record& key,
                      const std::string& failure = "cannot write the key");

}  // namespace keyfile
