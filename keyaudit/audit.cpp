#include "keyaudit/audit.hpp"

#include "foundation/secure_memory.hpp"
#include "keyaudit/base2_sprp_batch.hpp"
#include "keyaudit/batch_gcd.hpp"
#include "keyaudit/shared_primes.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <unordered_map>
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
    std::condition_variable finished;  // a thread ended, or hits may be published
    bool wake = false;
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
    const std::size_t keys = suspects_.size();
    if (keys >= settings_.lookup_from) {
        matching_ = matching::whole_key;
        for (std::size_t j = 0; j < keys; ++j) {
            by_low_limb_.emplace(mpz_getlimbn(suspects_[j].n.get_mpz_t(), 0), j);
        }
    } else if (keys >= settings_.remainders_from) {
        matching_ = matching::remainders;
        batch::level n(keys);
        std::transform(suspects_.begin(), suspects_.end(), n.begin(), [](const suspect& k) { return k.n; });
        const batch::tree t = batch::product_tree(std::move(n), batch::runner(nullptr, 1));
        product_ = t.back().front();
        for (std::size_t k = 1; k < t.back().size(); ++k) {
            product_ *= t.back()[k];
        }
    }
}

// As many P as there are keys, within bounds: measured, the remainders
// cost least a P there.
std::size_t audit::group_target() const
{
    return std::clamp<std::size_t>(suspects_.size(), 2048, 16384);
}

std::uint32_t audit::seed_at(std::uint64_t index) const
{
    const auto k = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), index) -
                                            starts_.begin() - 1);
    return static_cast<std::uint32_t>(windows_[k].first + (index - starts_[k]));
}


// A block in a worker's hands: its streams, their primes, and how many
// are still searching.
struct audit::open_block {
    std::uint64_t index = 0;
    replays streams;
    std::vector<mpz_class> p;
    std::vector<mpz_class> q;  // when whole keys are looked up
    std::size_t searching = 0;
};

audit::open_block audit::open(std::uint64_t block) const
{
    open_block b;
    b.index = block;
    const std::uint64_t first = block * block_seeds;
    const std::uint64_t end = std::min(total_, first + block_seeds);
    for (std::uint64_t i = first; i < end; ++i) {
        for (const libc which : settings_.libcs) {
            b.streams.add(seed_at(i), which);
        }
    }
    b.p.resize(b.streams.searches.size());
    b.searching = b.p.size();
    return b;
}

// Many keys: N = P*Q of each stream looked up.
void audit::look_up(const open_block& b, std::vector<hit>& hits) const
{
    for (std::size_t k = 0; k < b.p.size(); ++k) {
        const mpz_class n = b.p[k] * b.q[k];
        const auto [from, to] = by_low_limb_.equal_range(mpz_getlimbn(n.get_mpz_t(), 0));
        for (auto it = from; it != to; ++it) {
            const suspect& key = suspects_[it->second];
            const auto& [seed, by] = b.streams.origin[k];
            if (key.n == n && holds(key.seeds, seed) && confirmed(settings_.check, b.p[k], b.q[k])) {
                hits.push_back({it->second, seed, by});
            }
        }
    }
}

// Stream k's P tried against each N whose window holds its seed, Q made
// only for a P that divides one.
void audit::try_each(open_block& b, std::size_t k, std::vector<hit>& hits) const
{
    const auto& [seed, by] = b.streams.origin[k];
    mpz_class q;
    for (std::size_t j = 0; j < suspects_.size(); ++j) {
        const suspect& key = suspects_[j];
        if (!holds(key.seeds, seed) || mpz_divisible_p(key.n.get_mpz_t(), b.p[k].get_mpz_t()) == 0) {
            continue;
        }
        if (q == 0) {
            search_stream* const one[] = {b.streams.searches[k]};
            find_blum_primes(one, std::span(&q, 1), settings_.check);
        }
        if (b.p[k] * q == key.n && confirmed(settings_.check, b.p[k], q)) {
            hits.push_back({j, seed, by});
        }
    }
}

// The block is searched: its hits wait for the blocks before it, and the
// main thread is woken once they may be published.
void audit::finish(shared& s, std::uint64_t block, std::vector<hit> hits) const
{
    const std::uint64_t end = std::min(total_, (block + 1) * block_seeds);
    const std::lock_guard lock(s.mutex);
    if (!hits.empty()) {
        s.hits[block] = std::move(hits);
    }
    s.searched += end - block * block_seeds;
    s.done[block] = true;
    if (!s.hits.empty()) {
        s.wake = true;
        s.finished.notify_all();
    }
}

// One thread's share: blocks taken from the counter as the lanes of its
// prime search run short, each checked once all its streams have their P
// (and, to look whole keys up, their Q); with the remainders, many
// blocks' P at once.
class audit::worker {
public:
    worker(const audit& a, shared& s, const std::atomic<int>& stop)
        : a_(a), s_(s), stop_(stop), pipeline_(a.settings_.check)
    {
        per_block_ = block_seeds * a.settings_.libcs.size();
    }

    // False once there is nothing left to search.
    bool fill()
    {
        if (stop_.load(std::memory_order_relaxed) != 0 || s_.failed || s_.all_found) {
            return false;
        }
        while (pipeline_.searching() < 2 * sprp_batch && !drained_) {
            const std::uint64_t b = s_.next_block++;
            if (b >= s_.blocks) {
                drained_ = true;
                break;
            }
            auto [it, added] = open_.emplace(b, a_.open(b));
            open_block& ob = it->second;
            for (std::size_t k = 0; k < ob.p.size(); ++k) {
                pipeline_.add(*ob.streams.searches[k], ob.p[k], b * per_block_ + k);
            }
        }
        if (pipeline_.searching() == 0 && !group_.empty()) {
            check_group();
        }
        return pipeline_.searching() > 0;
    }

    void step()
    {
        finished_.clear();
        pipeline_.step(finished_);
        for (const std::size_t tag : finished_) {
            const auto it = open_.find(tag / per_block_);
            if (--it->second.searching == 0) {
                primes_found(it);
            }
        }
    }

private:
    using open_map = std::unordered_map<std::uint64_t, open_block>;

    void primes_found(open_map::iterator it)
    {
        open_block& b = it->second;
        std::vector<hit> hits;
        switch (a_.matching_) {
        case matching::each_key:
            for (std::size_t k = 0; k < b.p.size(); ++k) {
                a_.try_each(b, k, hits);
            }
            break;
        case matching::whole_key:
            if (b.q.empty()) {
                b.q.resize(b.p.size());
                b.searching = b.q.size();
                for (std::size_t k = 0; k < b.q.size(); ++k) {
                    pipeline_.add(*b.streams.searches[k], b.q[k], b.index * per_block_ + k);
                }
                return;
            }
            a_.look_up(b, hits);
            break;
        case matching::remainders:
            group_size_ += b.p.size();
            group_.push_back(std::move(b));
            open_.erase(it);
            if (group_size_ >= a_.group_target()) {
                check_group();
            }
            return;
        }
        a_.finish(s_, b.index, std::move(hits));
        open_.erase(it);
    }

    void check_group();

    const audit& a_;
    shared& s_;
    const std::atomic<int>& stop_;
    prime_pipeline pipeline_;
    std::size_t per_block_;
    bool drained_ = false;
    open_map open_;
    std::vector<std::size_t> finished_;
    std::vector<open_block> group_;  // whose P wait for the remainders
    std::size_t group_size_ = 0;
};

// The fleet's product modulo every P of the group: a P that divides some
// N leaves 0, and only that P is tried against each key.
void audit::worker::check_group()
{
    batch::level leaves;
    leaves.reserve(group_size_);
    for (const open_block& b : group_) {
        leaves.insert(leaves.end(), b.p.begin(), b.p.end());
    }
    // A stop is seen between the tree's nodes, the largest of which take
    // a fraction of a second.
    const batch::runner alone(&stop_, 1);
    const batch::level r = batch::remainders(batch::product_tree(std::move(leaves), alone), a_.product_, alone);
    std::size_t i = 0;
    for (open_block& b : group_) {
        std::vector<hit> hits;
        for (std::size_t k = 0; k < b.p.size(); ++k, ++i) {
            if (r[i] == 0) {
                a_.try_each(b, k, hits);
            }
        }
        a_.finish(s_, b.index, std::move(hits));
    }
    group_.clear();
    group_size_ = 0;
}

void audit::work(shared& s, const std::atomic<int>& stop)
{
    try {
        worker w(*this, s, stop);
        while (w.fill()) {
            w.step();
        }
    } catch (const comparison_stopped&) {
        // The group's blocks stay unsearched: the stop is the main thread's to report.
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
        // The first seed, then the first stream in the order of reports,
        // then the keys (one N in several files) in theirs.
        std::sort(hits.begin(), hits.end(), [](const hit& a, const hit& b) {
            return std::tie(a.seed, a.by, a.key) < std::tie(b.seed, b.by, b.key);
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
            (void)s.finished.wait_for(lock, std::chrono::milliseconds(250),
                                      [&s] { return s.running == 0 || s.wake; });
            running = s.running != 0;
            s.wake = false;
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
