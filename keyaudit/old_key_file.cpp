#include "keyaudit/old_key_file.hpp"

#include "foundation/secure_memory.hpp"

#include <array>
#include <cstring>
#include <vector>

namespace keyaudit {

namespace {

constexpr std::string_view blanks = " \t\r\v\f";
constexpr std::int64_t most_from_a_stream = 1 << 20;

std::string_view trimmed(std::string_view line)
{
    const std::size_t first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

bool is_key_line(std::string_view line) { return line.starts_with("Auth"); }

// The file's lines as they come, blank ones dropped: the key lines
// rewritten as keygen writes them, each with the line it came from, and
// what else there was. The text is kept in a wiped buffer.
class key_lines {
public:
    void take(std::string_view chunk)
    {
        for (std::size_t from = 0; from < chunk.size();) {
            const std::size_t end = std::min(chunk.find('\n', from), chunk.size());
            append_to_line(chunk.substr(from, end - from));
            if (end < chunk.size()) {
                end_line();
            }
            from = end + 1;
        }
    }

    // The last line, when the file does not end with a line feed.
    void finish()
    {
        if (line_size_ > 0) {
            unended_ = number_ + 1;
            end_line();
        }
    }

    key_kind parse(const std::string& name, keyfile::parsed_key& key) const
    {
        if (lines_.empty()) {
            return key_kind::not_a_key;
        }
        if (too_long_ != 0) {
            throw keyfile::key_error(name, too_long_, "too long for a key");
        }
        if (other_ != 0) {
            throw keyfile::key_error(name, other_, "not a key line");
        }
        if (unended_ != 0 && unended_ == lines_.back()) {
            // A truncated key could still parse, as another N.
            throw keyfile::key_error(name, unended_, "last line has no line end");
        }
        try {
            keyfile::parse_key(std::string_view(text_.data(), size_), name, key);
        } catch (const keyfile::key_error& e) {
            throw keyfile::key_error(name, source_line(e.line()), e.problem());
        }
        return key_kind::key;
    }

private:
    // A line longer than a key's could hold is kept only in part: enough
    // to tell a key line, and to fail it.
    void append_to_line(std::string_view part)
    {
        // Blanks before a line's text take no room, however many.
        if (line_size_ == 0) {
            part.remove_prefix(std::min(part.find_first_not_of(blanks), part.size()));
        }
        const std::size_t room = line_.size() - line_size_;
        const std::size_t kept = std::min(part.size(), room);
        if (kept == 0) {
            return;
        }
        std::memcpy(line_.data() + line_size_, part.data(), kept);
        line_size_ += kept;
    }

    void end_line()
    {
        ++number_;
        const std::string_view line = trimmed(std::string_view(line_.data(), line_size_));
        line_size_ = 0;
        if (line.empty()) {
            return;
        }
        if (!is_key_line(line)) {
            other_ = other_ == 0 ? number_ : other_;
            return;
        }
        const std::string_view word = line.substr(0, 5);
        const std::string_view digits = trimmed(line.substr(word.size()));
        if (size_ + word.size() + digits.size() + 4 > text_.size()) {
            too_long_ = too_long_ == 0 ? number_ : too_long_;
            lines_.push_back(number_);
            return;
        }
        for (const std::string_view part : {std::string_view("\t"), word, std::string_view("\t\t"), digits,
                                            std::string_view("\n")}) {
            if (!part.empty()) {
                std::memcpy(text_.data() + size_, part.data(), part.size());
                size_ += part.size();
            }
        }
        lines_.push_back(number_);
    }

    // The file's line for a line of the text; past the end, the next one.
    std::size_t source_line(std::size_t line) const
    {
        if (line >= 1 && line <= lines_.size()) {
            return lines_[line - 1];
        }
        return lines_.back() + 1;
    }

    foundation::wiped<std::array<char, most_key_file_bytes>> text_;
    std::size_t size_ = 0;
    foundation::wiped<std::array<char, 256>> line_;
    std::size_t line_size_ = 0;
    std::size_t number_ = 0;
    std::vector<std::size_t> lines_;  // where each key line came from
    std::size_t other_ = 0;           // the first line that is neither blank nor a key line
    std::size_t too_long_ = 0;
    std::size_t unended_ = 0;
};

}  // namespace

key_kind parse_key_leniently(std::string_view text, const std::string& name, keyfile::parsed_key& key)
{
    key_lines lines;
    lines.take(text);
    lines.finish();
    return lines.parse(name, key);
}

key_kind read_key_leniently(int fd, std::int64_t size, const std::string& name, keyfile::parsed_key& key,
                            const foundation::stop_flag& stop)
{
    key_lines lines;
    foundation::wiped<std::array<char, 65536>> buffer;
    std::int64_t left = size < 0 ? most_from_a_stream : size;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(left, buffer.size()));
        // A regular file of known size: no read past it to find its end.
        const std::size_t got = keyfile::read_into(fd, std::span(buffer.data(), want), name, &stop, size < 0 ? -1 : left);
        if (got == 0) {
            break;
        }
        lines.take(std::string_view(buffer.data(), got));
        left -= static_cast<std::int64_t>(got);
    }
    lines.finish();
    return lines.parse(name, key);
}

}  // namespace keyaudit
