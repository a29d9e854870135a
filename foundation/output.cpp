#include "foundation/output.hpp"

#include "foundation/secure_memory.hpp"

#include <stdio_ext.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace foundation {

namespace {

std::array<char, 4096> output_buffer;

void wipe_output_buffer() noexcept { wipe(output_buffer.data(), output_buffer.size()); }

[[noreturn]] void write_failed(std::FILE* out, int err, const std::string& failure)
{
    // Drop what stdio still holds so exit cannot write a wiped buffer.
    __fpurge(out);
    wipe_output_buffer();
    throw std::system_error(err != 0 ? err : EIO, std::generic_category(), failure);
}

}  // namespace

void use_private_buffer(std::FILE* out) noexcept
{
    (void)std::setvbuf(out, output_buffer.data(), _IOFBF, output_buffer.size());
}

void print_checked(std::FILE* out, const char* format, const char* value,
                   const std::string& failure)
{
    errno = 0;
    if (std::fprintf(out, format, value) < 0) {
        write_failed(out, errno, failure);
    }
}

void flush_checked(std::FILE* out, const std::string& failure)
{
    errno = 0;
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        write_failed(out, errno, failure);
    }
    wipe_output_buffer();
}

void write_text(std::FILE* out, const std::string& text, const std::string& failure)
{
    print_checked(out, "%s", text.c_str(), failure);
    flush_checked(out, failure);
}

void write_out(const std::string& text)
{
    write_text(stdout, text, "cannot write to standard output");
}

}  // namespace foundation
