#include "keyaudit/audit.hpp"

#include "keyaudit/libc_stream.hpp"
#include "keygen/blum_prime.hpp"
#include "foundation/secure_memory.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace keyaudit {

namespace {

// Small enough that a stop or an uneven end wastes little, large enough
// that threads rarely meet at the counter.
constexpr std::uint64_t block_seeds = 64;

}  // namespace

struct audit::shared {
    std::uint64_t blocks = 0;
    std::atomic<std::uint64_t> next_block{0};
    std::atomic<std::uint64_t> searched{0};
    std::unique_ptr<std::atomic<bool>[]> done;
    std::mutex mutex;  // guards the fields below and suspects' made_at
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
};

audit::audit(std::vector<suspect>& suspects) : suspects_(suspects)
{
    std::vector<window> windows;
    for (const suspect& s : suspects_) {
        if (s.seeds.first <= s.seeds.last) {
            windows.push_back(s.seeds);
        }
    }
    windows_ = join_windows(windows);
    for (const window& w : windows_) {
        starts_.push_back(total_);
        total_ += std::uint64_t{w.last} - w.first + 1;
    }
}

std::uint32_t audit::seed_at(std::uint64_t index) const
{
    const auto k = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), index) -
                                            starts_.begin() - 1);
    return static_cast<std::uint32_t>(windows_[k].first + (index - starts_[k]));
}

void audit::check_seed(std::uint32_t seed, shared& s)
{
    with_stream(libc::glibc, seed, [this, seed, &s](auto& stream) {
        const keygen::value_source source = source_of(stream);
        mpz_class p;
        keygen::find_blum_prime(p, source);
        mpz_class q;
        for (suspect& key : suspects_) {
            if (seed < key.seeds.first || seed > key.seeds.last ||
                mpz_divisible_p(key.n.get_mpz_t(), p.get_mpz_t()) == 0) {
                continue;
            }
            if (q == 0) {
                keygen::find_blum_prime(q, source);
            }
            if (p * q == key.n) {
                const std::lock_guard lock(s.mutex);
                if (!key.made_at || seed < *key.made_at) {
                    key.made_at = seed;
                }
            }
        }
    });
}

void audit::work(shared& s, const std::atomic<int>& stop)
{
    try {
        for (std::uint64_t b = s.next_block++; b < s.blocks; b = s.next_block++) {
            const std::uint64_t end = std::min(total_, (b + 1) * block_seeds);
            for (std::uint64_t i = b * block_seeds; i < end; ++i) {
                if (stop.load(std::memory_order_relaxed) != 0 || s.failed) {
                    return;
                }
                check_seed(seed_at(i), s);
            }
            s.searched += end - b * block_seeds;
            s.done[b] = true;
        }
    } catch (...) {
        const std::lock_guard lock(s.mutex);
        s.failure = std::current_exception();
        s.failed = true;
    }
}

void audit::run(unsigned threads, const std::atomic<int>& stop,
                const std::function<void(const progress&)>& show)
{
    shared s;
    s.blocks = (total_ + block_seeds - 1) / block_seeds;
    s.done = std::make_unique<std::atomic<bool>[]>(s.blocks);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    s.running = threads;
    try {
        while (workers.size() < threads) {
            workers.emplace_back([this, &s, &stop] {
                work(s, stop);
                // glibc keeps a finished thread's stack for the next one.
                foundation::scrub_stack();
                foundation::clear_vector_registers();
                const std::lock_guard lock(s.mutex);
                --s.running;
                s.finished.notify_all();
            });
        }
    } catch (...) {
        // The threads already started stop at their next seed.
        s.failed = true;
        for (std::thread& w : workers) {
            w.join();
        }
        throw;
    }
    for (;;) {
        {
            std::unique_lock lock(s.mutex);
            if (s.finished.wait_for(lock, std::chrono::milliseconds(250),
                                    [&s] { return s.running == 0; })) {
                break;
            }
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        show(progress{s.searched, total_, elapsed.count()});
    }
    for (std::thread& w : workers) {
        w.join();
    }
    done_.assign(s.blocks, 0);
    for (std::uint64_t b = 0; b < s.blocks; ++b) {
        done_[b] = s.done[b] ? 1 : 0;
    }
    if (s.failure) {
        std::rethrow_exception(s.failure);
    }
}

std::optional<std::uint32_t> audit::searched_through() const
{
    const auto first_open = static_cast<std::uint64_t>(
        std::find(done_.begin(), done_.end(), 0) - done_.begin());
    const std::uint64_t searched = std::min(total_, first_open * block_seeds);
    if (searched == 0) {
        return std::nullopt;
    }
    return seed_at(searched - 1);
}

}  // namespace keyaudit
