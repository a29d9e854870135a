#include "keyaudit/old_key_file.hpp"

#include "foundation/secure_memory.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

namespace keyaudit {

namespace {

constexpr std::string_view blanks = " \t\r\v\f";

std::string_view trimmed(std::string_view line)
{
    const std::size_t first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

bool is_key_line(std::string_view line) { return line.starts_with("Auth"); }

// The key lines rewritten as keygen writes them, with the line each came
// from; the buffer is the caller's, and wiped.
class canonical_text {
public:
    explicit canonical_text(std::span<char> buffer) : buffer_(buffer) {}

    void add(std::string_view line, std::size_t number)
    {
        const std::string_view word = line.substr(0, 5);
        const std::string_view digits = trimmed(line.substr(word.size()));
        append("\t");
        append(word);
        append("\t\t");
        append(digits);
        append("\n");
        lines_.push_back(number);
    }

    std::string_view text() const { return {buffer_.data(), size_}; }

    // The file's line for a line of the text; past the end, the next one.
    std::size_t source_line(std::size_t line) const
    {
        if (line >= 1 && line <= lines_.size()) {
            return lines_[line - 1];
        }
        return lines_.empty() ? 1 : lines_.back() + 1;
    }

private:
    void append(std::string_view part)
    {
        // Never more than the input and four bytes a line: the buffer is
        // twice the input.
        std::memcpy(buffer_.data() + size_, part.data(), part.size());
        size_ += part.size();
    }

    std::span<char> buffer_;
    std::size_t size_ = 0;
    std::vector<std::size_t> lines_;
};

}  // namespace

key_kind parse_key_leniently(std::string_view text, const std::string& name, keyfile::parsed_key& key)
{
    const bool too_long = text.size() > most_key_file_bytes;
    text = text.substr(0, most_key_file_bytes);
    foundation::wiped<std::array<char, 2 * most_key_file_bytes + 8>> buffer;
    canonical_text canonical(buffer);
    std::size_t other_line = 0;
    std::size_t unended_line = 0;  // a truncated key could still parse
    std::size_t number = 0;
    for (std::size_t from = 0; from < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        const std::string_view line = trimmed(text.substr(from, end - from));
        from = end + 1;
        if (is_key_line(line)) {
            canonical.add(line, number + 1);
            unended_line = end == text.size() ? number + 1 : 0;
        } else if (!line.empty() && other_line == 0) {
            other_line = number + 1;
        }
    }
    if (canonical.text().empty()) {
        return key_kind::not_a_key;
    }
    if (too_long) {
        throw keyfile::key_error(name, number, "too long for a key");
    }
    if (other_line != 0) {
        throw keyfile::key_error(name, other_line, "not a key line");
    }
    if (unended_line != 0) {
        throw keyfile::key_error(name, unended_line, "last line has no line end");
    }
    try {
        keyfile::parse_key(canonical.text(), name, key);
    } catch (const keyfile::key_error& e) {
        throw keyfile::key_error(name, canonical.source_line(e.line()), e.problem());
    }
    return key_kind::key;
}

key_kind read_key_leniently(int fd, std::int64_t size, const std::string& name,
                            keyfile::parsed_key& key, const foundation::stop_flag& stop)
{
    foundation::wiped<std::array<char, most_key_file_bytes + 1>> buffer;
    // A regular file whose size is known is read in one call.
    const std::size_t got = keyfile::read_into(fd, buffer, name, &stop, size);
    return parse_key_leniently(std::string_view(buffer.data(), got), name, key);
}

}  // namespace keyaudit
