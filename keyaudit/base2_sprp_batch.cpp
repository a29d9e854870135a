#include "keyaudit/base2_sprp_batch.hpp"

#include "keyaudit/base2_sprp_ifma.hpp"

namespace keyaudit {

void base2_sprp_batch(const limb_number* n, std::size_t count, bool* verdict) noexcept
{
    if (ifma_available()) {
        base2_sprp_ifma(n, count, verdict);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        verdict[i] = primes::is_base2_sprp(n[i]);
    }
}

void base2_sprp_batch(const limb_number* n, std::size_t count, bool* verdict,
                      primes::sprp_arithmetic arithmetic) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        verdict[i] = primes::is_base2_sprp(n[i], arithmetic);
    }
}

}  // namespace keyaudit
