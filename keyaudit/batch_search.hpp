#pragma once
// keygen's Blum prime search replayed on many streams at once, as an audit
// of old keys does: the same primes and the same values consumed as
// keygen::find_blum_prime on each stream, with their base-2 tests batched.
#include "foundation/secure_memory.hpp"

#include <gmpxx.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <memory>
#include <span>
#include <vector>

namespace keyaudit {

// Where a replayed stream's values come from, many at a time.
class value_stream {
public:
    virtual void fill(std::uint32_t* out, std::size_t count) = 0;

protected:
    ~value_stream() = default;
};

// A replayed stream as the search draws from it: values fetched ahead in
// batches and kept (wiped) here until the search takes them, so that the
// stream is consumed in order, as the one-by-one search does.
class search_stream {
public:
    explicit search_stream(value_stream& source) noexcept : source_(&source) {}
    ~search_stream() { foundation::wipe(buffer_.data(), sizeof buffer_); }
    search_stream(const search_stream&) = delete;
    search_stream& operator=(const search_stream&) = delete;

    std::uint32_t next()
    {
        if (used_ == buffer_.size()) {
            source_->fill(buffer_.data(), buffer_.size());
            used_ = 0;
        }
        return buffer_[used_++];
    }

private:
    value_stream* source_;
    std::array<std::uint32_t, 32> buffer_{};
    std::size_t used_ = buffer_.size();
};

// How a replayed search takes a candidate that passed the sieve.
// exact: as find_blum_prime does, by GMP's test. base2: by the base-2
// strong test alone, which every prime passes and every composite GMP
// accepts passes too; so it takes GMP's prime unless a base-2 strong
// pseudoprime comes first in the stream.
enum class prime_check { exact, base2 };

// found[i] = the next Blum prime of streams[i] (by check), each stream
// searched in its own order; candidates of several streams are tested at
// once where the processor allows.
void find_blum_primes(std::span<search_stream* const> streams, std::span<mpz_class> found,
                      prime_check check);

// The same search for streams that come and go: a stream joins while
// others are still searching, so that the lanes a finished one leaves are
// filled by the next and the base-2 tests run in full batches. Each stream
// is still drawn in its own order, and finds what find_blum_primes finds.
// The lowest tags go first: the last streams of an older block are not
// held back by a newer one's.
class prime_pipeline {
public:
    explicit prime_pipeline(prime_check check);
    ~prime_pipeline();
    prime_pipeline(const prime_pipeline&) = delete;
    prime_pipeline& operator=(const prime_pipeline&) = delete;

    // Searches stream, which must outlive its search, for its next Blum
    // prime into found; tag names it among the finished.
    void add(search_stream& stream, mpz_class& found, std::size_t tag);

    // Streams still searching.
    std::size_t searching() const { return pending_.size(); }

    // Tests one batch, full unless fewer streams search, and appends the
    // tags of the streams that found their prime, those that add settled
    // at once included.
    void step(std::vector<std::size_t>& finished);

    struct slot;

private:
    bool advance(slot& l);

    prime_check check_;
    unsigned sieve_;
    std::vector<std::unique_ptr<slot>> lanes_;
    std::vector<slot*> free_;
    // Each with a candidate for the base-2 test, lowest tag on top.
    std::priority_queue<std::pair<std::size_t, slot*>, std::vector<std::pair<std::size_t, slot*>>,
                        std::greater<>>
        pending_;
    std::vector<std::size_t> settled_;
};

}  // namespace keyaudit
