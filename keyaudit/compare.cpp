#include "keyaudit/compare.hpp"

#include "keyaudit/shared_primes.hpp"
#include "keyfile/key_check.hpp"

#include <algorithm>
#include <string>

namespace keyaudit {

namespace {

std::vector<std::size_t> inputs_of(const std::vector<std::size_t>& indices, const std::vector<std::size_t>& to_input)
{
    std::vector<std::size_t> found(indices.size());
    std::transform(indices.begin(), indices.end(), found.begin(), [&to_input](std::size_t k) { return to_input[k]; });
    return found;
}

void fail_small_factor(input& in)
{
    in.what = input::state::failed;
    in.error = "not a valid key: N has a prime factor below " + std::to_string(keyfile::small_factor_bound);
}

// The ready inputs' N, lent to the comparison rather than copied: a
// million keys' N are over 100 MB.
struct lent_moduli {
    lent_moduli(std::vector<input>& inputs, const std::vector<std::size_t>& ready)
        : inputs_(inputs), ready_(ready), values(ready.size())
    {
        swap();
    }
    ~lent_moduli() { swap(); }
    lent_moduli(const lent_moduli&) = delete;
    lent_moduli& operator=(const lent_moduli&) = delete;

    void swap()
    {
        for (std::size_t k = 0; k < ready_.size(); ++k) {
            mpz_swap(values[k].get_mpz_t(), inputs_[ready_[k]].n.get_mpz_t());
        }
    }

    std::vector<input>& inputs_;
    const std::vector<std::size_t>& ready_;
    std::vector<mpz_class> values;
};

}  // namespace

void compare_keys(std::vector<input>& inputs, unsigned threads, const foundation::stop_flag& stop)
{
    std::vector<std::size_t> ready;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].what == input::state::ready) {
            ready.push_back(i);
        }
    }
    shared_prime_settings settings;
    settings.stop = &stop;
    settings.threads = threads;
    settings.small_factors = true;
    std::vector<shared_prime_result> found;
    {
        const lent_moduli moduli(inputs, ready);
        found = find_shared_primes(moduli.values, settings);
    }
    for (std::size_t k = 0; k < ready.size(); ++k) {
        input& in = inputs[ready[k]];
        const shared_prime_result& r = found[k];
        // A whole key's primes are checked already: only a public N can
        // have a small factor.
        if (r.small_factor) {
            fail_small_factor(in);
            continue;
        }
        in.shares_with = inputs_of(r.shares_with, ready);
        in.shares_with_count = r.shares_with_count;
        in.shared_group = r.group == no_group ? 0 : ready[r.group];
        in.same_key_as = inputs_of(r.same_key_as, ready);
        in.same_key_count = r.same_key_count;
        in.shared_factor = r.factor;
    }
}

}  // namespace keyaudit
