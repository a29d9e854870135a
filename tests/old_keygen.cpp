// The clock-seeded generator as it was, at a second of the test's choosing:
// keyaudit's replay of a C library's srandom and random (glibc's unless
// named) drives today's search and key writer. old_keygen SEED [LIBC]
#include "keyaudit/libc_stream.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/generate_key.hpp"
#include "keygen/random_decimal.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        return 2;
    }
    std::vector<keyaudit::libc> which;
    try {
        which = keyaudit::parse_libc_list(argc == 3 ? argv[2] : "glibc");
    } catch (const std::invalid_argument& e) {
        (void)std::fprintf(stderr, "old_keygen: %s\n", e.what());
        return 2;
    }
    if (which.size() != 1) {
        return 2;
    }
    const auto seed = static_cast<std::uint32_t>(std::stoul(argv[1]));
    keyaudit::with_stream(which.front(), seed, [](auto& stream) {
        keygen::set_value_source(keyaudit::source_of(stream));
        keygen::generate_key();
        keygen::set_value_source({});
    });
    keyfile::write_key(stdout, keygen::key_text);
    return 0;
}
