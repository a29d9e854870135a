#include "keyfile/key_check.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace keyfile {

namespace {

const std::vector<unsigned long>& primes_below_bound()
{
    static const std::vector<unsigned long> primes = [] {
        std::vector<bool> composite(small_factor_bound, false);
        std::vector<unsigned long> found;
        for (unsigned long i = 2; i < small_factor_bound; ++i) {
            if (!composite[i]) {
                found.push_back(i);
                for (unsigned long j = i * i; j < small_factor_bound; j += i) {
                    composite[j] = true;
                }
            }
        }
        return found;
    }();
    return primes;
}

struct checker {
    const parsed_key& key;
    const std::string& name;
    small_factors factors;
    n_primality primality;

    void require(bool condition, std::size_t first_line, const std::string& what) const
    {
        if (!condition) {
            // Lines count from 1 in the file; a public key's start at N.
            const std::size_t shown = key.whole ? first_line : first_line - first_public_line;
            throw key_error(name, shown + 1, what);
        }
    }

    void prime(const mpz_class& z, std::size_t first_line, const char* which) const
    {
        const std::size_t digits = digits_of(key.rows, first_line);
        require(digits == 99 || digits == 100, first_line,
                std::string(which) + " has " + std::to_string(digits) + " digits, not 99 or 100");
        require(mpz_probab_prime_p(z.get_mpz_t(), check_reps) != 0, first_line,
                std::string(which) + " is not prime");
        require(mpz_fdiv_ui(z.get_mpz_t(), 4) == 3, first_line,
                std::string(which) + " is not 3 mod 4");
    }

    void whole() const
    {
        prime(key.p, 0, "P");
        prime(key.q, first_q_line, "Q");
        require(key.p != key.q, first_q_line, "Q is P");
        require(key.n == key.p * key.q, first_public_line, "N is not P*Q");
    }

    void public_part() const
    {
        const mpz_class& n = key.n;
        const std::size_t digits = digits_of(key.rows, first_public_line);
        // The product of two primes of 99 or 100 digits, as a whole key holds.
        require(digits >= 197 && digits <= 200, first_public_line,
                "N has " + std::to_string(digits) + " digits, not 197 to 200");
        require(mpz_odd_p(n.get_mpz_t()) != 0, first_public_line, "N is even");
        require(mpz_perfect_square_p(n.get_mpz_t()) == 0, first_public_line, "N is a square");
        require(primality == n_primality::known_composite ||
                    mpz_probab_prime_p(n.get_mpz_t(), check_reps) == 0,
                first_public_line, "N is prime");
        require(factors == small_factors::left_to_caller || !has_small_factor(n), first_public_line,
                "N has a prime factor below 1000000");
    }
};

}  // namespace

bool has_small_factor(const mpz_class& n)
{
    return std::ranges::any_of(primes_below_bound(), [&n](unsigned long p) {
        return mpz_divisible_ui_p(n.get_mpz_t(), p) != 0;
    });
}

void check_key(const parsed_key& key, const std::string& name, small_factors factors,
               n_primality primality)
{
    const checker check{key, name, factors, primality};
    if (key.whole) {
        check.whole();
    } else {
        check.public_part();
    }
}

}  // namespace keyfile
