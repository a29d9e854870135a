#include "keyaudit/libc_stream.hpp"

#include "keygen/blum_prime.hpp"

#include <algorithm>
#include <stdexcept>

namespace keyaudit {

namespace {

constexpr std::array<const char*, all_libcs.size()> names{"glibc",   "freebsd", "musl",
                                                          "solaris", "newlib",  "bionic"};

constexpr std::uint64_t park_miller_modulus = 0x7fffffff;

// What srandom throws away, in whole blocks of the table.
constexpr unsigned thrown_away = 310;
static_assert(thrown_away % 31 == 0);

// 16807 x mod 2^31-1, least non-negative, for x from -2^31 to 2^31-1.
// 2^31 is 1 mod 2^31-1, so two folds of the top bits reduce the product
// to at most 2^31-1 without a division.
std::uint32_t park_miller(std::int64_t x)
{
    const auto non_negative = static_cast<std::uint64_t>(x + 2 * std::int64_t{park_miller_modulus});
    std::uint64_t r = 16807 * non_negative;
    r = (r & park_miller_modulus) + (r >> 31);
    r = (r & park_miller_modulus) + (r >> 31);
    return static_cast<std::uint32_t>(r == park_miller_modulus ? 0 : r);
}

using table = std::array<std::uint32_t, 31>;

// The words as srandom(seed) leaves them, and how many values it then
// throws away.
unsigned fill(libc which, std::uint32_t seed, table& r)
{
    switch (which) {
    case libc::glibc:
        // glibc reads each word as signed before it multiplies.
        r[0] = seed == 0 ? 1 : seed;
        for (std::size_t i = 1; i < r.size(); ++i) {
            r[i] = park_miller(static_cast<std::int32_t>(r[i - 1]));
        }
        return thrown_away;
    case libc::freebsd:
        // Kept off 0 and 2^31-1, the generator's fixed points.
        r[0] = seed;
        for (std::size_t i = 1; i < r.size(); ++i) {
            r[i] = park_miller(r[i - 1] % 2147483646 + 1) - 1;
        }
        return thrown_away;
    case libc::musl: {
        std::uint64_t x = seed;
        for (std::uint32_t& word : r) {
            x = x * knuth_lcg_multiplier + 1;
            word = static_cast<std::uint32_t>(x >> 32);
        }
        foundation::wipe(&x, sizeof x);
        r[0] |= 1;
        return 0;
    }
    case libc::solaris:
        r[0] = seed;
        for (std::size_t i = 1; i < r.size(); ++i) {
            r[i] = 1103515245 * r[i - 1] + 12345;
        }
        return thrown_away;
    case libc::newlib:
    case libc::bionic:
        break;
    }
    throw std::invalid_argument(std::string(libc_name(which)) + "'s random() has no table");
}

}  // namespace

const char* libc_name(libc which) { return names.at(static_cast<std::size_t>(which)); }

std::vector<libc> parse_libc_list(const std::string& list)
{
    if (list == "all") {
        return {all_libcs.begin(), all_libcs.end()};
    }
    std::array<bool, all_libcs.size()> chosen{};
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, comma - start);
        const auto* const found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) {
            std::string message = "unknown C library '" + name + "'; known:";
            for (const char* n : names) {
                message += ' ';
                message += n;
                message += ',';
            }
            message += " or all";
            throw std::invalid_argument(message);
        }
        chosen.at(static_cast<std::size_t>(found - names.begin())) = true;
        start = comma + 1;
    }
    std::vector<libc> out;
    for (const libc which : all_libcs) {
        if (chosen.at(static_cast<std::size_t>(which))) {
            out.push_back(which);
        }
    }
    return out;
}

std::string libc_names(const std::vector<libc>& libcs, const std::string& separator)
{
    std::string text;
    for (const libc which : libcs) {
        text += (text.empty() ? "" : separator) + libc_name(which);
    }
    return text;
}

std::vector<libc> default_libcs() { return {libc::glibc, libc::freebsd, libc::musl}; }

table_stream::table_stream(libc which, std::uint32_t seed)
{
    table r{};
    const unsigned discard = fill(which, seed, r);
    // The first value goes to the front word, index lag.
    for (unsigned i = 0; i < size; ++i) {
        words_.at(i) = r.at((i + lag) % size);
    }
    foundation::wipe(r.data(), sizeof r);
    for (unsigned n = 0; n < discard; n += size) {
        refill();
    }
    used_ = size;  // the last block made is thrown away too
}

void old_key(libc which, std::uint32_t seed, mpz_class& p, mpz_class& q)
{
    with_stream(which, seed, [&p, &q](auto& stream) {
        const keygen::value_source source = source_of(stream);
        keygen::find_blum_prime(p, source);
        keygen::find_blum_prime(q, source);
    });
}

}  // namespace keyaudit
