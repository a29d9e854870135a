// The clock-seeded generator as it was, at a second of the test's choosing:
// keyaudit's replay of a C library's srandom and random (glibc's unless
// named) drives today's search and key writer. With "own" for the library,
// this program's C library's own srandom and random drive it instead: the
// yardstick of the replay.
#include "keyaudit/libc_stream.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/generate_key.hpp"
#include "keygen/random_decimal.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

int usage()
{
    (void)std::fprintf(stderr, "usage: old_keygen SEED [LIBC|own]\n"
                               "  LIBC: one of glibc (the default), freebsd, musl, solaris, newlib,\n"
                               "  bionic, as keyaudit replays it; own: this program's C library\n");
    return 2;
}

void make_key(const std::string& libc_name, std::uint32_t seed)
{
    if (libc_name == "own") {
        srandom(seed);
        keygen::set_value_source([] { return static_cast<std::uint32_t>(random()); });
        keygen::generate_key();
        keygen::set_value_source({});
        return;
    }
    const std::vector<keyaudit::libc> which = keyaudit::parse_libc_list(libc_name);
    if (which.size() != 1) {
        throw std::invalid_argument("one C library, not " + libc_name);
    }
    keyaudit::with_stream(which.front(), seed, [](auto& stream) {
        keygen::set_value_source(keyaudit::source_of(stream));
        keygen::generate_key();
        keygen::set_value_source({});
    });
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        return usage();
    }
    try {
        const auto seed = static_cast<std::uint32_t>(std::stoul(argv[1]));
        make_key(argc == 3 ? argv[2] : "glibc", seed);
    } catch (const std::invalid_argument& e) {
        (void)std::fprintf(stderr, "old_keygen: %s\n", e.what());
        return usage();
    } catch (const std::out_of_range&) {
        (void)std::fprintf(stderr, "old_keygen: seed out of range\n");
        return usage();
    }
    keyfile::write_key(stdout, keygen::key_text);
    return 0;
}
