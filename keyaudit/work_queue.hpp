#pragma once
// Items handed from one producer to threads that handle them while it goes
// on, a batch at a time, with few batches waiting: checking a key read
// costs a modular exponentiation, far more than reading its file, and a
// batch lets a vector kernel take eight at once.
#include "foundation/stop_signals.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace keyaudit {

template <typename Item>
class work_queue {
public:
    // With fewer than two threads, or none that can start, the producer
    // handles its items itself, as it hands them over.
    work_queue(unsigned threads, std::function<void(std::vector<Item>&)> handle) : handle_(std::move(handle))
    {
        // The threads never take a stop signal: it must break the
        // producer's wait on a FIFO.
        const foundation::stop_signals_held held;
        try {
            for (unsigned t = 0; threads > 1 && t < threads; ++t) {
                workers_.emplace_back([this] { work(); });
            }
        } catch (const std::system_error&) {
            // The threads that started share the work.
        }
    }
    ~work_queue()
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            queued_.clear();
            closed_ = true;
        }
        changed_.notify_all();
        join();
    }
    work_queue(const work_queue&) = delete;
    work_queue& operator=(const work_queue&) = delete;

    void add(Item item)
    {
        filling_.push_back(std::move(item));
        if (filling_.size() == batch_size) {
            hand_over();
        }
    }

    // Handles what is left, here too, and waits for the threads; rethrows
    // the first failure of a handler.
    void finish()
    {
        hand_over();
        {
            const std::lock_guard<std::mutex> hold(lock_);
            closed_ = true;
        }
        changed_.notify_all();
        work();
        join();
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

private:
    static constexpr std::size_t batch_size = 256;

    void hand_over()
    {
        if (filling_.empty()) {
            return;
        }
        if (workers_.empty()) {
            run(filling_);
            filling_.clear();
            return;
        }
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return queued_.size() < 2 * workers_.size(); });
        queued_.push_back(std::exchange(filling_, {}));
        hold.unlock();
        changed_.notify_all();
    }

    void work()
    {
        for (;;) {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] { return !queued_.empty() || closed_; });
            if (queued_.empty()) {
                return;
            }
            std::vector<Item> batch = std::move(queued_.front());
            queued_.pop_front();
            hold.unlock();
            changed_.notify_all();
            run(batch);
        }
    }

    void run(std::vector<Item>& batch)
    {
        try {
            handle_(batch);
        } catch (...) {
            const std::lock_guard<std::mutex> hold(lock_);
            if (!failure_) {
                failure_ = std::current_exception();
            }
        }
    }

    void join()
    {
        for (std::thread& w : workers_) {
            if (w.joinable()) {
                w.join();
            }
        }
    }

    std::function<void(std::vector<Item>&)> handle_;
    std::vector<Item> filling_;
    std::deque<std::vector<Item>> queued_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool closed_ = false;
    std::exception_ptr failure_;
    std::vector<std::thread> workers_;
};

}  // namespace keyaudit
