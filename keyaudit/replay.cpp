#include "keyaudit/replay.hpp"

#include "primes/primes.hpp"

namespace keyaudit {

namespace {

using any_stream = std::variant<table_stream, lcg64_stream, lcg48_stream>;

any_stream make_stream(libc which, std::uint32_t seed)
{
    switch (which) {
    case libc::newlib:
        return any_stream(std::in_place_type<lcg64_stream>, seed);
    case libc::bionic:
        return any_stream(std::in_place_type<lcg48_stream>, seed);
    default:
        return any_stream(std::in_place_type<table_stream>, which, seed);
    }
}

}  // namespace

replay::replay(libc which, std::uint32_t seed) : stream_(make_stream(which, seed)) {}

void replays::add(std::uint32_t seed, libc which)
{
    streams.push_back(std::make_unique<replay>(which, seed));
    searches.push_back(&streams.back()->search());
    origin.emplace_back(seed, which);
}

std::vector<mpz_class> next_primes(replays& r, prime_check check)
{
    std::vector<mpz_class> found(r.searches.size());
    find_blum_primes(r.searches, found, check);
    return found;
}

bool confirmed(prime_check check, const mpz_class& p, const mpz_class& q)
{
    return check == prime_check::exact || (mpz_probab_prime_p(p.get_mpz_t(), primes::primality_reps) != 0 &&
                                           mpz_probab_prime_p(q.get_mpz_t(), primes::primality_reps) != 0);
}

}  // namespace keyaudit
