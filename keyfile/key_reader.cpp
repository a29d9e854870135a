#include "keyfile/key_reader.hpp"

#include "foundation/secure_memory.hpp"

#include <string.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace keyfile {

namespace {

class parser {
public:
    parser(std::string_view text, const std::string& name) : text_(text), name_(name) {}

    void parse(parsed_key& key)
    {
        if (text_.empty()) {
            ++number_;
            fail("empty: no key lines");
        }
        // A public key is the AuthN lines alone.
        const std::string_view public_head = line_head(first_public_line);
        key.whole = text_.substr(0, public_head.size()) != public_head;
        const std::size_t first = key.whole ? 0 : first_public_line;
        for (std::size_t line = first; line < key_lines; ++line) {
            read_line(line, line_value(key.rows, line));
        }
        if (!text_.empty()) {
            ++number_;
            fail("extra line after the key");
        }
        if (key.whole) {
            numbers_of(key.rows, key.p, key.q, key.n);
        } else {
            number_of(key.rows, n_rows.first_line, key.n);
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) const { throw key_error(name_, number_, what); }

    // Takes the next line off the text, with its line feed.
    std::string_view next_line()
    {
        ++number_;
        const std::size_t end = text_.find('\n');
        if (end == std::string_view::npos) {
            fail(text_.empty() ? "missing line" : "last line has no line end");
        }
        const std::string_view line = text_.substr(0, end);
        text_.remove_prefix(end + 1);
        return line;
    }

    void read_line(std::size_t index, char* out)
    {
        if (text_.empty()) {
            ++number_;
            fail("missing line: " + std::string(line_head(index).substr(1, 5)) + " expected");
        }
        // Bound the line before looking for its end; a CR before the line
        // feed is left to be named as such.
        const std::size_t longest = line_head(index).size() + chunk_digits + 2;
        if (text_.substr(0, longest).find('\n') == std::string_view::npos &&
            text_.size() > longest) {
            ++number_;
            fail("line too long");
        }
        std::string_view line = next_line();
        const std::string_view head = line_head(index);
        if (line.substr(0, head.size()) != head) {
            fail("not an " + std::string(head.substr(1, 5)) + " line");
        }
        line.remove_prefix(head.size());
        check_digits(line, index);
        std::memcpy(out, line.data(), line.size());
        out[line.size()] = '\0';
    }

    void check_digits(std::string_view digits, std::size_t index) const
    {
        if (!digits.empty() && digits.back() == '\r') {
            fail("line ends with CR LF");
        }
        if (digits.empty()) {
            fail("no digits");
        }
        if (digits.find_first_not_of("0123456789") != std::string_view::npos) {
            fail("not a decimal digit");
        }
        const auto [first, end] = rows_of(index);
        if (index == first && digits.front() == '0') {
            fail("leading zero");
        }
        if (digits.size() > static_cast<std::size_t>(chunk_digits)) {
            fail("more than 50 digits");
        }
        if (index + 1 < end && digits.size() != static_cast<std::size_t>(chunk_digits)) {
            fail(std::to_string(digits.size()) + " digits where 50 belong");
        }
    }

    std::string_view text_;
    const std::string& name_;
    std::size_t number_ = 0;
};

}  // namespace

key_error::key_error(const std::string& name, std::size_t line, const std::string& what)
    : std::runtime_error(name + ":" + std::to_string(line) + ": " + what), line_(line),
      reason_("line " + std::to_string(line) + ": " + what), problem_(what)
{
}

void parse_key(std::string_view text, const std::string& name, parsed_key& key)
{
    parser(text, name).parse(key);
}

std::size_t read_into(int fd, std::span<char> buffer, const std::string& name, const stop_flag* stop,
                      std::int64_t size)
{
    std::size_t got = 0;
    while (got < buffer.size() && (size < 0 || got < static_cast<std::size_t>(size))) {
        if (stop != nullptr && size < 0 && !foundation::readable_unless_stopped(fd, *stop)) {
            throw interrupted();
        }
        const ssize_t n = read(fd, buffer.data() + got, buffer.size() - got);
        if (n < 0 && errno == EINTR) {
            if (stop != nullptr && *stop != 0) {
                throw interrupted();
            }
            continue;
        }
        if (n < 0) {
            throw std::system_error(errno, std::generic_category(), "cannot read " + name);
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void read_key(int fd, const std::string& name, parsed_key& key, const stop_flag* stop)
{
    // What was read is wiped however the parse ends.
    foundation::wiped<std::array<char, max_key_bytes + 1>> buffer;
    const std::size_t got = read_into(fd, buffer, name, stop);
    parse_key(std::string_view(buffer.data(), got), name, key);
}

}  // namespace keyfile
