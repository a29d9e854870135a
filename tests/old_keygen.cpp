// The clock-seeded generator as it was, at a second of the test's choosing:
// the C library's own srandom and random drive today's search and key
// writer. old_keygen SEED
#include "keyfile/key_writer.hpp"
#include "keygen/generate_key.hpp"
#include "keygen/random_decimal.hpp"

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    srandom(static_cast<unsigned>(std::stoul(argv[1])));
    keygen::set_value_source([] { return static_cast<std::uint32_t>(random()); });
    keygen::generate_key();
    keyfile::write_key(stdout, keygen::key_text);
    return 0;
}
