#include "keyaudit/index_build.hpp"

#include "foundation/secure_memory.hpp"
#include "keyaudit/replay.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace keyaudit {

namespace {

// As the search's blocks: enough streams to fill the batched tests.
constexpr std::uint64_t block_seconds = 64;

unsigned offset_bits_of(window w)
{
    const std::uint64_t count = std::uint64_t{w.last} - w.first + 1;
    return count <= 1 ? 0 : static_cast<unsigned>(std::bit_width(count - 1));
}

// One stream's entries, each its print above its second's offset, sorted.
class packed_entries final : public entry_source {
public:
    packed_entries(std::vector<std::uint64_t> values, window w)
        : values_(std::move(values)), w_(w), bits_(offset_bits_of(w))
    {
        std::sort(values_.begin(), values_.end());
    }

    void rewind() override { next_ = 0; }

    bool next(index_entry& e) override
    {
        if (next_ == values_.size()) {
            return false;
        }
        const std::uint64_t v = values_[next_++];
        e.print = bits_ == 0 ? v : v >> bits_;
        e.seed = static_cast<std::uint32_t>(w_.first + (bits_ == 0 ? 0 : v & (~std::uint64_t{0} >> (64 - bits_))));
        return true;
    }

private:
    std::vector<std::uint64_t> values_;
    window w_;
    unsigned bits_;
    std::size_t next_ = 0;
};

class builder {
public:
    builder(const build_settings& settings, const index_shape& shape)
        : settings_(settings), shape_(shape), offset_bits_(offset_bits_of(shape.seeds)),
          total_(std::uint64_t{shape.seeds.last} - shape.seeds.first + 1), values_(shape.libcs.size())
    {
    }

    void work()
    {
        try {
            const std::uint64_t blocks = (total_ + block_seconds - 1) / block_seconds;
            for (std::uint64_t b = next_++; b < blocks && !failed_; b = next_++) {
                replay_block(b);
            }
        } catch (...) {
            const std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            failed_ = true;
        }
        const std::lock_guard lock(mutex_);
        --running_;
        finished_.notify_all();
    }

    void run(unsigned threads, const std::function<void(const build_progress&)>& show)
    {
        for (std::vector<std::uint64_t>& v : values_) {
            v.resize(total_);
        }
        std::vector<std::thread> workers;
        start_workers(workers, threads);
        if (workers.empty()) {
            running_ = 1;
            work();
        }
        try {
            wait(show);
        } catch (...) {
            failed_ = true;
            join(workers);
            throw;
        }
        join(workers);
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

    std::vector<std::vector<std::uint64_t>> take() { return std::move(values_); }

private:
    // Each second has its own place in each stream's values, whatever thread makes it.
    void replay_block(std::uint64_t b)
    {
        replays r;
        const std::uint64_t first = b * block_seconds;
        const std::uint64_t end = std::min(total_, first + block_seconds);
        for (std::uint64_t i = first; i < end; ++i) {
            for (const libc which : shape_.libcs) {
                r.add(static_cast<std::uint32_t>(shape_.seeds.first + i), which);
            }
        }
        const std::vector<mpz_class> p = next_primes(r, settings_.check);
        const std::vector<mpz_class> q = next_primes(r, settings_.check);
        const std::size_t streams = shape_.libcs.size();
        for (std::size_t k = 0; k < r.origin.size(); ++k) {
            const mpz_class n = p[k] * q[k];
            const std::uint64_t print = fingerprint(n) >> (64 - shape_.print_bits);
            const std::uint32_t offset = r.origin[k].first - shape_.seeds.first;
            values_[k % streams][offset] = print << offset_bits_ | offset;
        }
        done_ += end - first;
    }

    static void join(std::vector<std::thread>& workers)
    {
        for (std::thread& w : workers) {
            w.join();
        }
    }

    void start_workers(std::vector<std::thread>& workers, unsigned threads)
    {
        while (workers.size() < threads) {
            {
                const std::lock_guard lock(mutex_);
                ++running_;
            }
            try {
                workers.emplace_back([this] {
                    work();
                    foundation::scrub_stack();
                });
            } catch (const std::system_error&) {
                const std::lock_guard lock(mutex_);
                --running_;
                break;
            }
        }
    }

    void wait(const std::function<void(const build_progress&)>& show)
    {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        while (!finished_.wait_for(lock, std::chrono::milliseconds(250), [this] { return running_ == 0; })) {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (show) {
                lock.unlock();
                show(build_progress{done_, total_, elapsed.count()});
                lock.lock();
            }
        }
    }

    const build_settings& settings_;
    const index_shape& shape_;
    unsigned offset_bits_;
    std::uint64_t total_;
    std::atomic<std::uint64_t> next_{0};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<bool> failed_{false};
    std::vector<std::vector<std::uint64_t>> values_;  // by stream and second
    std::mutex mutex_;  // guards the fields below
    std::condition_variable finished_;
    unsigned running_ = 0;
    std::exception_ptr failure_;
};

}  // namespace

std::vector<entry_source*> index_entries::sources() const
{
    std::vector<entry_source*> s(streams.size());
    std::transform(streams.begin(), streams.end(), s.begin(), [](const auto& p) { return p.get(); });
    return s;
}

index_entries build_index(const build_settings& settings, unsigned threads,
                          const std::function<void(const build_progress&)>& show)
{
    index_shape shape{settings.seeds, settings.libcs, settings.print_bits};
    if (shape.print_bits == 0) {
        shape.print_bits = default_print_bits(settings.seeds);
    }
    builder b(settings, shape);
    b.run(threads, show);
    index_entries e{shape, {}};
    for (std::vector<std::uint64_t>& v : b.take()) {
        e.streams.push_back(std::make_unique<packed_entries>(std::move(v), shape.seeds));
    }
    return e;
}

namespace {

// The shards' entries of one stream, in the order of the merged index: a
// print's entries come from several shards, so each print's run is
// gathered whole and put in order of seconds.
class merged_entries final : public entry_source {
public:
    merged_entries(std::vector<std::unique_ptr<entry_source>> shards, std::vector<unsigned> shifts)
        : shards_(std::move(shards)), shifts_(std::move(shifts)), heads_(shards_.size())
    {
        merged_entries::rewind();
    }

    void rewind() override
    {
        run_.clear();
        used_ = 0;
        for (std::size_t i = 0; i < shards_.size(); ++i) {
            shards_[i]->rewind();
            advance(i);
        }
    }

    bool next(index_entry& e) override
    {
        if (used_ == run_.size() && !gather()) {
            return false;
        }
        e = run_[used_++];
        return true;
    }

private:
    void advance(std::size_t i)
    {
        index_entry e{};
        heads_[i] = shards_[i]->next(e) ? std::optional(index_entry{e.print >> shifts_[i], e.seed}) : std::nullopt;
    }

    bool gather()
    {
        run_.clear();
        used_ = 0;
        const auto least = std::min_element(heads_.begin(), heads_.end(), [](const auto& a, const auto& b) {
            return a && (!b || a->print < b->print);
        });
        if (least == heads_.end() || !*least) {
            return false;
        }
        const std::uint64_t print = (*least)->print;
        for (std::size_t i = 0; i < heads_.size(); ++i) {
            while (heads_[i] && heads_[i]->print == print) {
                run_.push_back(*heads_[i]);
                advance(i);
            }
        }
        std::sort(run_.begin(), run_.end(), [](const index_entry& a, const index_entry& b) { return a.seed < b.seed; });
        return true;
    }

    std::vector<std::unique_ptr<entry_source>> shards_;
    std::vector<unsigned> shifts_;
    std::vector<std::optional<index_entry>> heads_;
    std::vector<index_entry> run_;
    std::size_t used_ = 0;
};

std::vector<const index_file*> in_order_of_window(const std::vector<std::unique_ptr<index_file>>& shards)
{
    std::vector<const index_file*> order(shards.size());
    std::transform(shards.begin(), shards.end(), order.begin(), [](const auto& s) { return s.get(); });
    std::sort(order.begin(), order.end(), [](const index_file* a, const index_file* b) {
        return a->shape().seeds.first < b->shape().seeds.first;
    });
    return order;
}

index_shape merged_shape(const std::vector<const index_file*>& order)
{
    index_shape shape{{order.front()->shape().seeds.first, order.back()->shape().seeds.last},
                      order.front()->shape().libcs, 0};
    shape.print_bits = default_print_bits(shape.seeds);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const index_shape& s = order[i]->shape();
        if (s.libcs != shape.libcs) {
            throw std::invalid_argument(order[i]->name() + " holds other streams than " + order.front()->name());
        }
        if (i > 0 && s.seeds.first <= order[i - 1]->shape().seeds.last) {
            throw std::invalid_argument(order[i]->name() + " and " + order[i - 1]->name() + " overlap");
        }
        if (i > 0 && s.seeds.first != order[i - 1]->shape().seeds.last + 1) {
            throw std::invalid_argument("no index holds the seconds from " +
                                        utc_text(order[i - 1]->shape().seeds.last + std::int64_t{1}) + " to " +
                                        utc_text(s.seeds.first - std::int64_t{1}));
        }
        shape.print_bits = std::min(shape.print_bits, s.print_bits);
    }
    return shape;
}

}  // namespace

index_entries merge_indexes(const std::vector<std::unique_ptr<index_file>>& shards)
{
    const std::vector<const index_file*> order = in_order_of_window(shards);
    index_entries e{merged_shape(order), {}};
    for (std::size_t k = 0; k < e.shape.libcs.size(); ++k) {
        std::vector<std::unique_ptr<entry_source>> sources;
        std::vector<unsigned> shifts;
        for (const index_file* f : order) {
            sources.push_back(f->entries(k));
            shifts.push_back(f->shape().print_bits - e.shape.print_bits);
        }
        e.streams.push_back(std::make_unique<merged_entries>(std::move(sources), std::move(shifts)));
    }
    return e;
}

}  // namespace keyaudit
