#include "keyaudit/old_stream.hpp"

#include "keygen/blum_prime.hpp"

#include <string.h>

namespace keyaudit {

old_stream::old_stream(std::uint32_t seed)
{
    // data_ starts zeroed: initstate_r reads the old state through it.
    (void)initstate_r(seed, state_.data(), state_.size(), &data_);
}

old_stream::~old_stream() { explicit_bzero(state_.data(), state_.size()); }

std::uint32_t old_stream::next()
{
    std::int32_t value = 0;
    (void)random_r(&data_, &value);
    return static_cast<std::uint32_t>(value);
}

keygen::value_source old_stream::source()
{
    return [this] { return next(); };
}

void old_key(std::uint32_t seed, mpz_class& p, mpz_class& q)
{
    old_stream stream(seed);
    const keygen::value_source source = stream.source();
    keygen::find_blum_prime(p, source);
    keygen::find_blum_prime(q, source);
}

}  // namespace keyaudit
