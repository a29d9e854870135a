#pragma once
// A reproducible value stream installed through keygen's seam: a fixed
// prefix, then values from a seeded generator, a share of them zero.
#include "keygen/random_decimal.hpp"

#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace testing_support {

class scripted_stream {
public:
    explicit scripted_stream(std::vector<std::uint32_t> prefix = {}, unsigned seed = 1,
                             unsigned zeros_in_four = 0)
        : state_(std::make_shared<state>(std::move(prefix), seed, zeros_in_four))
    {
        keygen::set_value_source([s = state_] { return s->next(); });
    }
    ~scripted_stream() { keygen::set_value_source({}); }
    scripted_stream(const scripted_stream&) = delete;
    scripted_stream& operator=(const scripted_stream&) = delete;

    std::size_t consumed() const { return state_->consumed; }

private:
    struct state {
        state(std::vector<std::uint32_t> p, unsigned seed, unsigned z)
            : prefix(std::move(p)), engine(seed), zeros_in_four(z) {}
        std::uint32_t next()
        {
            const std::size_t i = consumed++;
            if (i < prefix.size()) {
                return prefix[i];
            }
            const std::uint32_t v = static_cast<std::uint32_t>(engine()) >> 1;
            return v % 4 < zeros_in_four ? 0 : v;
        }
        std::vector<std::uint32_t> prefix;
        std::mt19937 engine;
        unsigned zeros_in_four;
        std::size_t consumed = 0;
    };
    std::shared_ptr<state> state_;
};

}  // namespace testing_support
