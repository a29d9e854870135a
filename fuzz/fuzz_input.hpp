#pragma once
// Carves fuzz input into the arguments of one call.
#include "keyfile/key_reader.hpp"
#include "keyfile/key_writer.hpp"

#include <gmpxx.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace fuzzing {

[[noreturn]] inline void fail(const char* what)
{
    // Any failed check is a crash libFuzzer records with the input.
    throw std::logic_error(what);
}

inline void check(bool condition, const char* what)
{
    if (!condition) {
        fail(what);
    }
}

// The lines the key writer writes for a key read.
inline std::string written(const keyfile::parsed_key& key)
{
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&text, &length);
    key.whole ? keyfile::write_key(out, key.rows) : keyfile::write_public_key(out, key.rows);
    (void)std::fclose(out);
    std::string copy(text, length);
    std::free(text);
    return copy;
}

class input {
public:
    input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t left() const { return size_; }

    template <typename T>
    T take()
    {
        T value{};
        const std::size_t n = size_ < sizeof value ? size_ : sizeof value;
        std::memcpy(&value, data_, n);
        skip(n);
        return value;
    }

    // A signed number from a length byte, a sign bit and that many bytes.
    mpz_class take_number(std::size_t max_bytes = 64)
    {
        const auto head = take<std::uint8_t>();
        std::size_t n = (head & 0x7fU) % (max_bytes + 1);
        n = n < size_ ? n : size_;
        mpz_class z;
        mpz_import(z.get_mpz_t(), n, 1, 1, 0, 0, data_);
        skip(n);
        return (head & 0x80U) != 0 ? mpz_class(-z) : z;
    }

private:
    void skip(std::size_t n)
    {
        data_ += n;
        size_ -= n;
    }
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace fuzzing
