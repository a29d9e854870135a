// store_chunks with any number, count and selector: only the selected
// table changes, every row stays a NUL-terminated chunk of at most 50
// digits, and the written rows are the number's 50-digit slices.
#include "fuzz/fuzz_input.hpp"
#include "keygen/generate_key.hpp"

#include <cstring>
#include <string>

using keygen::key_text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzing::input in(data, size);
    const int nchunks = in.take<std::int8_t>();
    const int selector = in.take<std::int8_t>() % 6;
    const mpz_class z = in.take_number(127);

    // Rows full of stale text, so a missing terminator would show.
    std::memset(&key_text, 'x', sizeof key_text);
    auto* const all_rows = reinterpret_cast<char(*)[keygen::row_bytes]>(&key_text);
    for (std::size_t i = 0; i < sizeof key_text / keygen::row_bytes; ++i) {
        all_rows[i][keygen::row_bytes - 1] = '\0';
    }
    const keygen::key_record before = key_text;
    keygen::store_chunks(z, nchunks, selector);

    struct table {
        char (*rows)[keygen::row_bytes];
        int count;
        int selector;
    };
    const std::string text = z.get_str();
    for (const table t : {table{key_text.auth_p, 2, 1}, table{key_text.auth_q, 2, 2},
                          table{key_text.auth_n, 4, 3}}) {
        for (int i = 0; i < t.count; ++i) {
            const char* row = t.rows[i];
            const std::size_t offset = static_cast<std::size_t>(row - reinterpret_cast<const char*>(&key_text));
            const char* old = reinterpret_cast<const char*>(&before) + offset;
            fuzzing::check(std::memchr(row, '\0', keygen::row_bytes) != nullptr, "row not terminated");
            if (t.selector == selector && i < nchunks) {
                const std::size_t start = std::min<std::size_t>(50U * static_cast<std::size_t>(i), text.size());
                fuzzing::check(std::string(row) == text.substr(start, 50), "wrong chunk");
            } else {
                fuzzing::check(std::memcmp(row, old, keygen::row_bytes) == 0, "row changed");
            }
        }
    }
    return 0;
}
