// parse_key on any bytes: it refuses with a line within the input, or it
// accepts exactly what the writer writes for the rows it read.
#include "fuzz/fuzz_input.hpp"
#include "keyfile/key_reader.hpp"
#include "keyfile/key_writer.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    keyfile::parsed_key key;
    try {
        keyfile::parse_key(text, "f", key);
    } catch (const keyfile::key_error& e) {
        fuzzing::check(e.line() >= 1 && e.line() <= keyfile::key_lines + 1, "line out of range");
        return 0;
    }
    fuzzing::check(fuzzing::written(key) == text, "accepted a text the writer would not write");
    mpz_class n;
    keyfile::number_of(key.rows, keyfile::first_public_line, n);
    fuzzing::check(n == key.n && sgn(n) > 0, "N is not its rows");
    return 0;
}
