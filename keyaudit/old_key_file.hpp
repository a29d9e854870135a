#pragma once
// Reading a key as old files have become: copied with CR LF line ends,
// indented or padded with blanks, blank lines around. keygen -c stays
// strict; an audit reads what there is.
#include "foundation/stop_signals.hpp"
#include "keyfile/key_reader.hpp"

#include <cstdint>
#include <string>

namespace keyaudit {

// A file without a single key line is no key at all; one with key lines
// that do not make a key is a damaged key.
enum class key_kind { key, not_a_key };

// The most of a file's lines that are not blank: far more than any key.
inline constexpr std::size_t most_key_file_bytes = 16384;

// Reads fd (of size bytes, -1 when unknown: a pipe or a device, of which
// at most a mebibyte is read) and parses what is a key into key. A regular
// file is read to its end, so that a key line anywhere in it is seen.
// Throws keyfile::key_error naming the file's own line, a read broken off
// by a stop signal keyfile::interrupted, std::system_error for a failed
// read.
key_kind read_key_leniently(int fd, std::int64_t size, const std::string& name, keyfile::parsed_key& key,
                            const foundation::stop_flag& stop);

// The same on text already read.
key_kind parse_key_leniently(std::string_view text, const std::string& name, keyfile::parsed_key& key);

}  // namespace keyaudit
