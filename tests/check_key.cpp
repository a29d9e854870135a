// Reads keygen's output on standard input and checks it is a valid key:
// eight lines in the exact format, P and Q primes of 3 mod 4, N = P*Q.
// Given a memory image of the keygen process (check_key CORE), also checks
// that it holds neither prime, as decimal digits or as GMP limbs.
// Exits 1 with a reason on the first fault.
#include <gmpxx.h>

#include <algorithm>
#include <fstream>
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

// The prime's limbs as GMP keeps them: least significant first, native order.
std::string limbs_of(const mpz_class& z)
{
    std::string bytes(mpz_size(z.get_mpz_t()) * sizeof(mp_limb_t), '\0');
    std::copy_n(reinterpret_cast<const char*>(mpz_limbs_read(z.get_mpz_t())), bytes.size(),
                bytes.begin());
    return bytes;
}

int find_secrets(const char* core_path, const std::vector<std::string>& values,
                 const mpz_class& p, const mpz_class& q)
{
    std::ifstream in(core_path, std::ios::binary);
    const std::string core{std::istreambuf_iterator<char>(in), {}};
    if (core.size() < 4096) {
        return fault("memory image missing or too small");
    }
    const std::vector<std::pair<std::string, std::string>> secrets{
        {"P in decimal", p.get_str()},        {"Q in decimal", q.get_str()},
        {"P's first row", values[0]},         {"P's second row", values[1]},
        {"Q's first row", values[2]},         {"Q's second row", values[3]},
        {"P's limbs", limbs_of(p)},           {"Q's limbs", limbs_of(q)}};
    for (const auto& [what, bytes] : secrets) {
        if (core.find(bytes) != std::string::npos) {
            return fault(what + " is still in memory");
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
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
    const mpz_class p(values[0] + values[1], 10);
    const mpz_class q(values[2] + values[3], 10);
    const mpz_class n(values[4] + values[5] + values[6] + values[7], 10);
    for (const mpz_class* prime : {&p, &q}) {
        if (mpz_probab_prime_p(prime->get_mpz_t(), 25) == 0 || mpz_fdiv_ui(prime->get_mpz_t(), 4) != 3) {
            return fault("a prime is not a prime of 3 mod 4");
        }
    }
    if (n != p * q) {
        return fault("N is not P*Q");
    }
    return argc > 1 ? find_secrets(argv[1], values, p, q) : 0;
}
