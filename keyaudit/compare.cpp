#include "keyaudit/compare.hpp"

#include "keyaudit/shared_primes.hpp"
#include "keyfile/key_check.hpp"

#include <algorithm>
#include <string>

namespace keyaudit {

namespace {

constexpr std::size_t listed_most = 16;

// The ready inputs that go into the comparison; a public key with a small
// factor is failed first, and never compared.
std::vector<std::size_t> comparable(std::vector<input>& inputs, const foundation::stop_flag& stop)
{
    std::vector<std::size_t> ready;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        input& in = inputs[i];
        if (in.what != input::state::ready) {
            continue;
        }
        if (stop != 0) {
            throw comparison_stopped();
        }
        if (!in.whole && keyfile::has_small_factor(in.n)) {
            in.what = input::state::failed;
            in.error = "not a valid key: N has a prime factor below " +
                       std::to_string(keyfile::small_factor_bound);
            continue;
        }
        ready.push_back(i);
    }
    return ready;
}

std::vector<std::size_t> first_few(const std::vector<std::size_t>& all, const std::vector<std::size_t>& to_input)
{
    std::vector<std::size_t> few;
    for (std::size_t k = 0; k < all.size() && k < listed_most; ++k) {
        few.push_back(to_input[all[k]]);
    }
    return few;
}

}  // namespace

void compare_keys(std::vector<input>& inputs, unsigned /*threads*/, const foundation::stop_flag& stop)
{
    const std::vector<std::size_t> ready = comparable(inputs, stop);
    std::vector<mpz_class> moduli(ready.size());
    std::transform(ready.begin(), ready.end(), moduli.begin(), [&inputs](std::size_t i) { return inputs[i].n; });
    const std::vector<shared_prime_result> found = find_shared_primes(moduli, &stop);
    for (std::size_t k = 0; k < ready.size(); ++k) {
        input& in = inputs[ready[k]];
        in.shares_with = first_few(found[k].shares_with, ready);
        in.shares_with_count = found[k].shares_with.size();
        in.same_key_as = first_few(found[k].same_key_as, ready);
        in.same_key_count = found[k].same_key_as.size();
        in.shared_factor = found[k].factor;
        const std::size_t lowest = found[k].shares_with.empty() ? k : std::min(k, found[k].shares_with.front());
        in.shared_group = ready[lowest];
    }
}

}  // namespace keyaudit
