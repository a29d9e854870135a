#pragma once
// The random() streams of the C libraries the clock-seeded generator may
// have been built against, each as it runs after srandom(seed), the seed
// being the second the key was made. They are replayed here, in the
// project's own code, so that any of them can be searched on any system
// and each thread can replay seeds of its own. They live here and only
// here: keygen never contains them.
#include "keygen/random_decimal.hpp"
#include "foundation/secure_memory.hpp"

#include <gmpxx.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace keyaudit {

// In the order of reports.
enum class libc { glibc, freebsd, musl, solaris, newlib, bionic };

inline constexpr std::array<libc, 6> all_libcs{libc::glibc,   libc::freebsd, libc::musl,
                                               libc::solaris, libc::newlib,  libc::bionic};

const char* libc_name(libc which);

// The names joined by separator: "glibc, musl" for ", ".
std::string libc_names(const std::vector<libc>& libcs, const std::string& separator);

// Knuth's 64-bit LCG, of musl's seeding and newlib's stream.
inline constexpr std::uint64_t knuth_lcg_multiplier = 6364136223846793005U;

// "NAME[,NAME...]" or "all", in the order of libc without repeats. Throws
// std::invalid_argument, naming the known libraries, for an unknown name.
std::vector<libc> parse_libc_list(const std::string& list);

// Those a search covers unless told otherwise.
std::vector<libc> default_libcs();

// The additive feedback generator over 31 words behind glibc's, FreeBSD's,
// musl's and Solaris' random(); only their srandom differs. The values come
// in blocks of 31: a block is the table updated in place, and the table is
// kept rotated so that a block starts at its first word.
class table_stream {
public:
    // which must name a table kind: std::invalid_argument otherwise.
    table_stream(libc which, std::uint32_t seed);
    ~table_stream() { foundation::wipe(words_.data(), sizeof words_); }
    table_stream(const table_stream&) = delete;
    table_stream& operator=(const table_stream&) = delete;

    std::uint32_t next() noexcept
    {
        if (used_ == size) {
            refill();
        }
        return words_[used_++] >> 1;
    }

private:
    static constexpr unsigned size = 31;
    static constexpr unsigned lag = 3;  // front index less rear index, as refill's a, b, c

    // Each word gains the one made lag words before it. Those stay in
    // registers: read back from memory they stall the store forwarding.
    void refill() noexcept
    {
        std::uint32_t a = words_[size - 3];
        std::uint32_t b = words_[size - 2];
        std::uint32_t c = words_[size - 1];
        for (std::uint32_t& word : words_) {
            word += a;
            a = b;
            b = c;
            c = word;
        }
        used_ = 0;
    }

    std::array<std::uint32_t, size> words_{};
    unsigned used_ = size;
};

// newlib's random() from 2.4 on: a 64-bit LCG, the high word's low 31 bits.
class lcg64_stream {
public:
    explicit lcg64_stream(std::uint32_t seed) noexcept : x_(seed) {}
    ~lcg64_stream() { foundation::wipe(&x_, sizeof x_); }
    lcg64_stream(const lcg64_stream&) = delete;
    lcg64_stream& operator=(const lcg64_stream&) = delete;

    std::uint32_t next() noexcept
    {
        x_ = x_ * knuth_lcg_multiplier + 1;
        return static_cast<std::uint32_t>(x_ >> 32) & 0x7fffffffu;
    }

private:
    std::uint64_t x_;
};

// Bionic's random() before Android 5: lrand48 after srand48(seed).
class lcg48_stream {
public:
    explicit lcg48_stream(std::uint32_t seed) noexcept : x_(std::uint64_t{seed} << 16 | 0x330eu) {}
    ~lcg48_stream() { foundation::wipe(&x_, sizeof x_); }
    lcg48_stream(const lcg48_stream&) = delete;
    lcg48_stream& operator=(const lcg48_stream&) = delete;

    std::uint32_t next() noexcept
    {
        x_ = (x_ * 0x5deece66du + 0xbu) & ((std::uint64_t{1} << 48) - 1);
        return static_cast<std::uint32_t>(x_ >> 17);
    }

private:
    std::uint64_t x_;
};

// Calls f with the stream of which after srandom(seed), as its own type,
// so that f's calls to next() are inline; the choice is made once here.
template <typename F>
decltype(auto) with_stream(libc which, std::uint32_t seed, F&& f)
{
    if (which == libc::newlib) {
        lcg64_stream s(seed);
        return f(s);
    }
    if (which == libc::bionic) {
        lcg48_stream s(seed);
        return f(s);
    }
    table_stream s(which, seed);
    return f(s);
}

// A source for the prime search that draws from stream, which must outlive it.
template <typename Stream>
keygen::value_source source_of(Stream& stream)
{
    return [&stream] { return stream.next(); };
}

// The primes of the key the old generator made at seed with which's
// random(): P is the first Blum prime of its stream, Q the next.
void old_key(libc which, std::uint32_t seed, mpz_class& p, mpz_class& q);

}  // namespace keyaudit
