#pragma once
// Reading the key lines back: the whole key of eight lines, or its public
// part, the four AuthN lines alone, exactly as they are written.
#include "foundation/secure_memory.hpp"
#include "foundation/stop_signals.hpp"
#include "keyfile/key_format.hpp"

#include <gmpxx.h>

#include <stdexcept>
#include <string>
#include <cstdint>
#include <span>
#include <string_view>

namespace keyfile {

// What is wrong with a key, and where: its text is "NAME:LINE: what".
class key_error : public std::runtime_error {
public:
    key_error(const std::string& name, std::size_t line, const std::string& what);
    std::size_t line() const noexcept { return line_; }
    // "line LINE: what", without the name.
    const std::string& reason() const noexcept { return reason_; }
    // What is wrong, without the name and the line.
    const std::string& problem() const noexcept { return problem_; }

private:
    std::size_t line_;
    std::string reason_;
    std::string problem_;
};

// A read or an open that a signal broke off, when the caller asked to stop.
class interrupted : public std::runtime_error {
public:
    interrupted() : std::runtime_error("interrupted") {}
};

using foundation::stop_flag;

// A key as read. The rows are the lines' digits as they stood; p and q are
// set only for a whole key. The rows are wiped when it goes; the numbers
// are GMP's to wipe.
struct parsed_key {
    foundation::wiped<key_record> rows;
    bool whole = false;
    mpz_class p;
    mpz_class q;
    mpz_class n;
};

// Reads fd into buffer until it is full, at its end, or after size bytes
// when size is not negative. A read broken off by a signal is taken up
// again, unless stop is given and set: then it throws interrupted, and a
// wait on a pipe or a FIFO ends on a stop too. Throws std::system_error
// "cannot read NAME". Returns the bytes read.
std::size_t read_into(int fd, std::span<char> buffer, const std::string& name, const stop_flag* stop,
                      std::int64_t size = -1);

// The longest input that can be a key: eight lines of at most 59 bytes.
inline constexpr std::size_t max_key_bytes = key_lines * 59;

// Parses text, which must be a key and nothing else, into key. Never reads
// past text's end. Throws key_error naming name and the first bad line.
void parse_key(std::string_view text, const std::string& name, parsed_key& key);

// Reads at most max_key_bytes + 1 bytes from fd (enough to tell that a
// longer input is not a key) and parses them. Throws key_error, or
// std::system_error when fd cannot be read. A read broken off by a signal
// is taken up again, unless stop is given and set: then it throws
// interrupted.
void read_key(int fd, const std::string& name, parsed_key& key,
              const stop_flag* stop = nullptr);

}  // namespace keyfile
