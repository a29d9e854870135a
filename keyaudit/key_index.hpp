#pragma once
// The index: every key the clock-seeded generator could have made in a
// window, each stream's by the fingerprint of its N, so that an audit looks
// a key up instead of replaying its window. keyaudit(1) gives the format.
#include "keyaudit/libc_stream.hpp"
#include "keyaudit/seed_window.hpp"

#include <gmpxx.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace keyaudit {

inline constexpr std::uint32_t index_version = 1;
inline constexpr std::size_t index_block = 4096;

// Bits 64 to 127 of N: for a product of random primes, as even as any hash.
std::uint64_t fingerprint(const mpz_class& n);

// What an index covers, and how much of each fingerprint it keeps.
struct index_shape {
    window seeds{};
    std::vector<libc> libcs;
    unsigned print_bits = 0;  // the fingerprint's leading bits kept
};

// The print bits that make an entry 38 bits long over this window.
unsigned default_print_bits(window seeds);

// A file that is not a whole, sound index of this version; what() is
// "NAME: not a usable index: WHY".
class unusable_index : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A key of one stream: the leading print_bits of its fingerprint, and the
// second that made it.
struct index_entry {
    std::uint64_t print;
    std::uint32_t seed;
};

// One stream's entries in order of print, then seed; rewind starts again.
class entry_source {
public:
    virtual ~entry_source() = default;
    virtual void rewind() = 0;
    virtual bool next(index_entry& e) = 0;
};

// Writes the index of shape with streams[k] the entries of shape.libcs[k],
// one a second of the window. Throws std::system_error with failure when a
// write fails, std::logic_error when a stream is out of order or short.
void write_index(std::FILE* out, const index_shape& shape, std::span<entry_source* const> streams,
                 const std::string& failure);

// An index read by mmap: each block's checksum is verified the first time
// a lookup reads it. Not for several threads at once.
class index_file {
public:
    // Throws std::system_error when it cannot be read, unusable_index when
    // its header or size are not those of an index.
    explicit index_file(const std::string& path);
    ~index_file();
    index_file(const index_file&) = delete;
    index_file& operator=(const index_file&) = delete;

    const std::string& name() const { return name_; }
    const index_shape& shape() const { return shape_; }

    // The seconds at which stream k's key has n's fingerprint: candidates,
    // to be proven. Throws unusable_index for a damaged block.
    std::vector<std::uint32_t> candidates(std::size_t k, const mpz_class& n) const;

    // Stream k's entries, in order, for a merge; rewinds are free.
    std::unique_ptr<entry_source> entries(std::size_t k) const;

    struct section;

private:
    const unsigned char* block(std::uint64_t b) const;
    std::uint64_t directory(const section& s, std::uint64_t bucket) const;
    std::uint64_t entry(const section& s, std::uint64_t i) const;
    [[noreturn]] void refuse(const std::string& why) const;
    friend class index_reader;
    friend class stored_entries;

    std::string name_;
    index_shape shape_;
    std::vector<section> sections_;
    const unsigned char* map_ = nullptr;
    std::uint64_t size_ = 0;
    mutable std::vector<bool> verified_;
};

}  // namespace keyaudit
