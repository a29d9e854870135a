#include "keyfile/key_writer.hpp"

#include "foundation/output.hpp"

namespace keyfile {

namespace {

void write_lines(std::FILE* out, const key_record& key, std::size_t first,
                 const std::string& failure)
{
    for (std::size_t line = first; line < key_lines; ++line) {
        foundation::print_checked(out, line_formats[line], line_value(key, line), failure);
    }
    foundation::flush_checked(out, failure);
}

}  // namespace

void write_key(std::FILE* out, const key_record& key, const std::string& failure)
{
    write_lines(out, key, 0, failure);
}

void write_public_key(std::FILE* out, const key_record& key, const std::string& failure)
{
    write_lines(out, key, first_public_line, failure);
}

}  // namespace keyfile
