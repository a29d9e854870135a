#include "keyfile/key_writer.hpp"

#include <stdio_ext.h>
#include <string.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace keyfile {

namespace {

std::array<char, 4096> output_buffer;

void wipe_output_buffer() noexcept { explicit_bzero(output_buffer.data(), output_buffer.size()); }

[[noreturn]] void write_failed(std::FILE* out, int err, const std::string& failure)
{
    // Drop what stdio still holds so exit cannot write a wiped buffer.
    __fpurge(out);
    wipe_output_buffer();
    throw std::system_error(err != 0 ? err : EIO, std::generic_category(), failure);
}

void flush(std::FILE* out, const std::string& failure)
{
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        write_failed(out, errno, failure);
    }
    wipe_output_buffer();
}

void write_lines(std::FILE* out, const key_record& key, std::size_t first,
                 const std::string& failure)
{
    errno = 0;
    for (std::size_t line = first; line < key_lines; ++line) {
        if (std::fprintf(out, line_formats[line], line_value(key, line)) < 0) {
            write_failed(out, errno, failure);
        }
    }
    flush(out, failure);
}

}  // namespace

void use_private_buffer(std::FILE* out) noexcept
{
    (void)std::setvbuf(out, output_buffer.data(), _IOFBF, output_buffer.size());
}

void write_key(std::FILE* out, const key_record& key, const std::string& failure)
{
    write_lines(out, key, 0, failure);
}

void write_public_key(std::FILE* out, const key_record& key, const std::string& failure)
{
    write_lines(out, key, first_public_line, failure);
}

void write_text(std::FILE* out, const std::string& text, const std::string& failure)
{
    errno = 0;
    if (std::fputs(text.c_str(), out) < 0) {
        write_failed(out, errno, failure);
    }
    flush(out, failure);
}

}  // namespace keyfile
