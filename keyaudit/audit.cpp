#include "keyaudit/audit.hpp"

#include "foundation/secure_memory.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <system_error>
#include <variant>

namespace keyaudit {

namespace {

// Small enough that a stop or an uneven end wastes little, large enough
// that threads rarely meet at the counter and the base-2 tests of its
// streams fill the batches.
constexpr std::uint64_t block_seeds = 64;

bool holds(const window& w, std::uint32_t seed) { return seed >= w.first && seed <= w.last; }

}  // namespace

struct audit::hit {
    std::size_t key;
    std::uint32_t seed;
    libc by;
};

struct audit::shared {
    std::uint64_t blocks = 0;
    std::atomic<std::uint64_t> next_block{0};
    std::atomic<std::uint64_t> searched{0};
    std::unique_ptr<std::atomic<bool>[]> done;
    std::atomic<bool> all_found{false};
    std::uint64_t published = 0;  // blocks whose hits were passed on
    std::size_t found = 0;
    std::mutex mutex;  // guards the fields below
    std::map<std::uint64_t, std::vector<hit>> hits;  // by block, until published
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
};

audit::audit(std::vector<suspect>& suspects, search_settings settings)
    : suspects_(suspects), settings_(std::move(settings))
{
    std::vector<window> windows;
    const std::uint32_t from = settings_.resume_from.value_or(0);
    for (const suspect& s : suspects_) {
        if (std::max(s.seeds.first, from) <= s.seeds.last) {
            windows.push_back({std::max(s.seeds.first, from), s.seeds.last});
        }
        for (const std::uint32_t seed : settings_.found_before) {
            if (seed < from && holds(s.seeds, seed)) {
                windows.push_back({seed, seed});
            }
        }
    }
    windows_ = join_windows(windows);
    for (const window& w : windows_) {
        starts_.push_back(total_);
        total_ += std::uint64_t{w.last} - w.first + 1;
    }
    if (suspects_.size() >= settings_.lookup_from) {
        for (std::size_t j = 0; j < suspects_.size(); ++j) {
            by_low_limb_.emplace(mpz_getlimbn(suspects_[j].n.get_mpz_t(), 0), j);
        }
    }
}

std::uint32_t audit::seed_at(std::uint64_t index) const
{
    const auto k = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), index) -
                                            starts_.begin() - 1);
    return static_cast<std::uint32_t>(windows_[k].first + (index - starts_[k]));
}


replays audit::streams_of(std::uint64_t block) const
{
    replays b;
    const std::uint64_t first = block * block_seeds;
    const std::uint64_t end = std::min(total_, first + block_seeds);
    for (std::uint64_t i = first; i < end; ++i) {
        for (const libc which : settings_.libcs) {
            b.add(seed_at(i), which);
        }
    }
    return b;
}

// Many keys: every stream's Q is made and N = P*Q looked up.
std::vector<audit::hit> audit::look_up(replays& b, const std::vector<mpz_class>& p) const
{
    std::vector<hit> hits;
    const std::vector<mpz_class> q = next_primes(b, settings_.check);
    for (std::size_t k = 0; k < b.streams.size(); ++k) {
        const mpz_class n = p[k] * q[k];
        const auto [from, to] = by_low_limb_.equal_range(mpz_getlimbn(n.get_mpz_t(), 0));
        for (auto it = from; it != to; ++it) {
            const suspect& key = suspects_[it->second];
            if (key.n == n && holds(key.seeds, b.origin[k].first) && confirmed(settings_.check, p[k], q[k])) {
                hits.push_back({it->second, b.origin[k].first, b.origin[k].second});
            }
        }
    }
    return hits;
}

// Few keys: each P is tried against each N whose window holds its seed, Q
// made only for a P that divides one.
std::vector<audit::hit> audit::try_each(replays& b, const std::vector<mpz_class>& p) const
{
    std::vector<hit> hits;
    for (std::size_t k = 0; k < b.streams.size(); ++k) {
        mpz_class q;
        for (std::size_t j = 0; j < suspects_.size(); ++j) {
            const suspect& key = suspects_[j];
            if (!holds(key.seeds, b.origin[k].first) ||
                mpz_divisible_p(key.n.get_mpz_t(), p[k].get_mpz_t()) == 0) {
                continue;
            }
            if (q == 0) {
                search_stream* const one[] = {b.searches[k]};
                find_blum_primes(one, std::span(&q, 1), settings_.check);
            }
            if (p[k] * q == key.n && confirmed(settings_.check, p[k], q)) {
                hits.push_back({j, b.origin[k].first, b.origin[k].second});
            }
        }
    }
    return hits;
}

// The keys proven among a block's streams.
std::vector<audit::hit> audit::check_block(std::uint64_t block) const
{
    replays b = streams_of(block);
    const std::vector<mpz_class> p = next_primes(b, settings_.check);
    return suspects_.size() >= settings_.lookup_from ? look_up(b, p) : try_each(b, p);
}

void audit::work(shared& s, const std::atomic<int>& stop)
{
    try {
        for (std::uint64_t b = s.next_block++; b < s.blocks; b = s.next_block++) {
            if (stop.load(std::memory_order_relaxed) != 0 || s.failed || s.all_found) {
                return;
            }
            const std::uint64_t end = std::min(total_, (b + 1) * block_seeds);
            std::vector<hit> hits = check_block(b);
            if (!hits.empty()) {
                const std::lock_guard lock(s.mutex);
                s.hits[b] = std::move(hits);
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

void audit::publish(shared& s, const std::function<void(std::size_t)>& found)
{
    while (s.published < s.blocks && s.done[s.published]) {
        std::vector<hit> hits;
        {
            const std::lock_guard lock(s.mutex);
            if (const auto it = s.hits.find(s.published); it != s.hits.end()) {
                hits = std::move(it->second);
                s.hits.erase(it);
            }
        }
        // The first seed, then the first stream in the order of reports.
        std::sort(hits.begin(), hits.end(), [](const hit& a, const hit& b) {
            return std::tie(a.seed, a.by) < std::tie(b.seed, b.by);
        });
        for (const hit& h : hits) {
            suspect& key = suspects_[h.key];
            if (key.made_at) {
                continue;
            }
            key.made_at = h.seed;
            key.made_by = h.by;
            ++s.found;
            if (found) {
                found(h.key);
            }
        }
        ++s.published;
    }
    if (s.found == suspects_.size()) {
        s.all_found = true;
    }
}

void audit::wait_and_publish(shared& s, const std::function<void(const progress&)>& show,
                             const std::function<void(std::size_t)>& found)
{
    const auto start = std::chrono::steady_clock::now();
    for (bool running = true; running;) {
        {
            std::unique_lock lock(s.mutex);
            running = !s.finished.wait_for(lock, std::chrono::milliseconds(250), [&s] { return s.running == 0; });
        }
        publish(s, found);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (running) {
            show(progress{s.searched, total_, elapsed.count(), s.found});
        }
    }
}

// The threads that start do the work; none may, and then this one does.
std::vector<std::thread> audit::start_workers(shared& s, unsigned threads, const std::function<void()>& worker)
{
    std::vector<std::thread> workers;
    while (workers.size() < threads) {
        {
            const std::lock_guard lock(s.mutex);
            ++s.running;
        }
        try {
            workers.emplace_back(worker);
        } catch (const std::system_error&) {
            const std::lock_guard lock(s.mutex);
            --s.running;
            break;
        }
    }
    return workers;
}

unsigned audit::run(unsigned threads, const std::atomic<int>& stop,
                    const std::function<void(const progress&)>& show,
                    const std::function<void(std::size_t)>& found)
{
    shared s;
    s.blocks = (total_ + block_seeds - 1) / block_seeds;
    s.done = std::make_unique<std::atomic<bool>[]>(s.blocks);
    auto worker = [this, &s, &stop] {
        work(s, stop);
        // glibc keeps a finished thread's stack for the next one.
        foundation::scrub_stack();
        foundation::clear_vector_registers();
        const std::lock_guard lock(s.mutex);
        --s.running;
        s.finished.notify_all();
    };
    std::vector<std::thread> workers = start_workers(s, threads, worker);
    try {
        if (workers.empty()) {
            s.running = 1;
            worker();
        }
        wait_and_publish(s, show, found);
    } catch (...) {
        s.failed = true;
        for (std::thread& w : workers) {
            w.join();
        }
        throw;
    }
    for (std::thread& w : workers) {
        w.join();
    }
    done_.assign(s.blocks, 0);
    for (std::uint64_t b = 0; b < s.blocks; ++b) {
        done_[b] = s.done[b] ? 1 : 0;
    }
    finished_ = s.all_found || std::all_of(done_.begin(), done_.end(), [](std::uint8_t d) { return d != 0; });
    if (s.failure) {
        std::rethrow_exception(s.failure);
    }
    return workers.empty() ? 1 : static_cast<unsigned>(workers.size());
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
