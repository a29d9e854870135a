// Reads keygen's output on standard input and checks it is a valid key:
// eight lines in the exact format, P and Q primes of 3 mod 4, N = P*Q.
// Exits 1 with a reason on the first fault.
#include <gmpxx.h>

#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int fault(const std::string& why)
{
    std::cerr << "check_key: " << why << '\n';
    return 1;
}

bool all_digits(const std::string& s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

int main()
{
    const std::string input{std::istreambuf_iterator<char>(std::cin), {}};
    const std::vector<std::string> words{"AuthP", "AuthP", "AuthQ", "AuthQ",
                                         "AuthN", "AuthN", "AuthN", "AuthN"};
    std::vector<std::string> values;
    std::size_t pos = 0;
    for (const std::string& word : words) {
        const std::string head = "\t" + word + "\t\t";
        const std::size_t end = input.find('\n', pos);
        if (end == std::string::npos || input.compare(pos, head.size(), head) != 0) {
            return fault("line " + std::to_string(values.size() + 1) + " is not a " + word + " line");
        }
        values.push_back(input.substr(pos + head.size(), end - pos - head.size()));
        if (!all_digits(values.back()) || values.back().size() > 50) {
            return fault("bad value on line " + std::to_string(values.size()));
        }
        pos = end + 1;
    }
    if (pos != input.size()) {
        return fault("output goes on after eight lines");
    }
    for (const std::size_t first : {0, 2, 4}) {
        if (values[first][0] == '0' || values[first].size() != 50) {
            return fault("line " + std::to_string(first + 1) + " is not 50 significant digits");
        }
    }
    const mpz_class p(values[0] + values[1]);
    const mpz_class q(values[2] + values[3]);
    const mpz_class n(values[4] + values[5] + values[6] + values[7]);
    for (const mpz_class* prime : {&p, &q}) {
        if (mpz_probab_prime_p(prime->get_mpz_t(), 25) == 0 || mpz_fdiv_ui(prime->get_mpz_t(), 4) != 3) {
            return fault("a prime is not a prime of 3 mod 4");
        }
    }
    if (n != p * q) {
        return fault("N is not P*Q");
    }
    return 0;
}
