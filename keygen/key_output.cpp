#include "keygen/key_output.hpp"

#include "keygen/key_record.hpp"
#include "keygen/secure_memory.hpp"

#include <stdio_ext.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace keygen {

namespace {

std::array<char, 4096> output_buffer;

struct key_line {
    const char* format;
    const char* value;
};

[[noreturn]] void write_failed(std::FILE* out, int err)
{
    // Drop what stdio still holds so exit cannot write a wiped buffer.
    __fpurge(out);
    wipe(output_buffer.data(), output_buffer.size());
    throw std::system_error(err != 0 ? err : EIO, std::generic_category(),
                            "cannot write the key");
}

}  // namespace

void use_private_buffer(std::FILE* out) noexcept
{
    (void)std::setvbuf(out, output_buffer.data(), _IOFBF, output_buffer.size());
}

void write_key(std::FILE* out)
{
    const std::array<key_line, 8> lines{{
        {"\tAuthP\t\t%s\n", key_text.auth_p[0]},
        {"\tAuthP\t\t%s\n", key_text.auth_p[1]},
        {"\tAuthQ\t\t%s\n", key_text.auth_q[0]},
        {"\tAuthQ\t\t%s\n", key_text.auth_q[1]},
        {"\tAuthN\t\t%s\n", key_text.auth_n[0]},
        {"\tAuthN\t\t%s\n", key_text.auth_n[1]},
        {"\tAuthN\t\t%s\n", key_text.auth_n[2]},
        {"\tAuthN\t\t%s\n", key_text.auth_n[3]},
    }};
    errno = 0;
    for (const key_line& line : lines) {
        if (std::fprintf(out, line.format, line.value) < 0) {
            write_failed(out, errno);
        }
    }
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        write_failed(out, errno);
    }
    wipe(output_buffer.data(), output_buffer.size());
}

}  // namespace keygen
