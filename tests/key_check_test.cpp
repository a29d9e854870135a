#include "keyfile/key_reader.hpp"
#include "keyfile/key_writer.hpp"
#include "keyarith/self_test.hpp"
#include "keyfile/key_check.hpp"
#include "keygen/generate_key.hpp"
#include "testing/scripted_source.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using testing_support::scripted_stream;

namespace {

struct numbers {
    mpz_class p;
    mpz_class q;
    mpz_class n;
};

const numbers& valid_key()
{
    static const numbers key = [] {
        scripted_stream stream({}, 11);
        keygen::generate_key();
        numbers k;
        keyfile::numbers_of(keygen::key_text, k.p, k.q, k.n);
        return k;
    }();
    return key;
}

// The key lines of p, q and n, through the program's own writer.
std::string text_of(const mpz_class& p, const mpz_class& q, const mpz_class& n)
{
    keyfile::store_key(keygen::key_text, p, q, n);
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&data, &size);
    keyfile::write_key(out, keygen::key_text);
    std::fclose(out);
    std::string text(data, size);
    std::free(data);
    return text;
}

std::string text_of(const numbers& k) { return text_of(k.p, k.q, k.n); }

// The first prime from start on of the given class modulo 4.
mpz_class prime_of_class(mpz_class start, unsigned long remainder)
{
    do {
        mpz_nextprime(start.get_mpz_t(), start.get_mpz_t());
    } while (mpz_fdiv_ui(start.get_mpz_t(), 4) != remainder);
    return start;
}

std::size_t line_start(const std::string& text, std::size_t line)
{
    std::size_t start = 0;
    for (std::size_t i = 1; i < line; ++i) start = text.find('\n', start) + 1;
    return start;
}

std::string line_of(const std::string& text, std::size_t line)
{
    const std::size_t start = line_start(text, line);
    return text.substr(start, text.find('\n', start) - start);
}

std::string replace_line(std::string text, std::size_t line, const std::string& with)
{
    const std::size_t start = line_start(text, line);
    return text.replace(start, text.find('\n', start) - start, with);
}

struct corrupted_key {
    std::string name;
    std::function<std::string()> text;
    std::size_t line;
    std::string why;
};

void PrintTo(const corrupted_key& c, std::ostream* os) { *os << c.name; }

std::vector<corrupted_key> corrupted_keys()
{
    const auto key = [] { return text_of(valid_key()); };
    const char* words[] = {"AuthP", "AuthP", "AuthQ", "AuthQ", "AuthN", "AuthN", "AuthN", "AuthN"};
    std::vector<corrupted_key> cases;
    for (std::size_t line = 1; line <= 8; ++line) {
        const std::string word = words[line - 1];
        cases.push_back({"Word" + std::to_string(line), [=] {
            const std::string l = line_of(key(), line);
            return replace_line(key(), line, "\tAuthX" + l.substr(6));
        }, line, "not an " + word + " line"});
        cases.push_back({"LongRow" + std::to_string(line), [=] {
            return replace_line(key(), line, line_of(key(), line) + "1");
        }, line, "more than 50 digits"});
    }
    for (std::size_t line : {1, 3, 5, 6, 7}) {
        cases.push_back({"ShortRow" + std::to_string(line), [=] {
            const std::string l = line_of(key(), line);
            return replace_line(key(), line, l.substr(0, l.size() - 1));
        }, line, "49 digits where 50 belong"});
    }
    const numbers& k = valid_key();
    cases.insert(cases.end(), {
        {"ChangedDigitOfN", [=] {
            mpz_class n = k.n + 10;
            return text_of(k.p, k.q, n);
        }, 5, "N is not P*Q"},
        {"CompositeP", [=] {
            mpz_class p = k.p + 4;
            while (mpz_probab_prime_p(p.get_mpz_t(), 30) != 0) p += 4;
            return text_of(p, k.q, mpz_class(p * k.q));
        }, 1, "P is not prime"},
        {"PrimePOfClassOne", [=] {
            const mpz_class p = prime_of_class(k.p, 1);
            return text_of(p, k.q, mpz_class(p * k.q));
        }, 1, "P is not 3 mod 4"},
        {"QIsP", [=] { return text_of(k.p, k.p, mpz_class(k.p * k.p)); }, 3, "Q is P"},
        {"SwappedLines", [=] {
            const std::string t = key();
            return replace_line(replace_line(t, 1, line_of(t, 3)), 3, line_of(t, 1));
        }, 1, "not an AuthP line"},
        {"MissingLine", [=] { const std::string t = key(); return t.substr(0, line_start(t, 8)); }, 8,
         "missing line"},
        {"ExtraLine", [=] { return key() + "\tAuthN\t\t1\n"; }, 9, "extra line"},
        {"CrLf", [=] { return replace_line(key(), 1, line_of(key(), 1) + "\r"); }, 1, "line ends with CR LF"},
        {"Empty", [] { return std::string(); }, 1, "empty"},
        {"BinaryJunk", [] { return std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\n", 17); }, 1,
         "not an AuthP line"},
        {"HugeLine", [] { return "\tAuthP\t\t" + std::string(1 << 20, '7'); }, 1, "line too long"},
        {"PublicNEven", [=] {
            const std::string t = text_of(k.p, k.q, mpz_class(k.n + 1));
            return t.substr(t.find("\tAuthN"));
        }, 1, "N is even"},
        {"PublicNPrime", [=] {
            mpz_class n;
            mpz_nextprime(n.get_mpz_t(), k.n.get_mpz_t());
            const std::string t = text_of(k.p, k.q, n);
            return t.substr(t.find("\tAuthN"));
        }, 1, "N is prime"},
    });
    return cases;
}

class CorruptedKey : public testing::TestWithParam<corrupted_key> {};

TEST_P(CorruptedKey, IsRefusedWithItsLine)
{
    const corrupted_key& c = GetParam();
    keyfile::parsed_key key;
    try {
        keyfile::parse_key(c.text(), "k", key);
        keyfile::check_key(key, "k");
        FAIL() << "accepted";
    } catch (const keyfile::key_error& e) {
        EXPECT_EQ(e.line(), c.line) << e.what();
        EXPECT_NE(std::string(e.what()).find("k:" + std::to_string(c.line) + ": " + c.why),
                  std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CorruptedKey, testing::ValuesIn(corrupted_keys()),
                         [](const auto& info) { return info.param.name; });

TEST(ValidKey, WholeAndPublicPartPass)
{
    const std::string text = text_of(valid_key());
    for (const std::string& t : {text, text.substr(text.find("\tAuthN"))}) {
        keyfile::parsed_key key;
        keyfile::parse_key(t, "k", key);
        keyfile::check_key(key, "k");
        EXPECT_EQ(key.n, valid_key().n);
    }
}

struct self_test_case {
    const char* name;
    std::function<numbers()> key;
    bool passes;
};

void PrintTo(const self_test_case& c, std::ostream* os) { *os << c.name; }

class SelfTest : public testing::TestWithParam<self_test_case> {};

TEST_P(SelfTest, PassesOnlyASoundKey)
{
    scripted_stream stream({}, 5);
    const numbers k = GetParam().key();
    EXPECT_EQ(keyarith::passes_self_test(k.p, k.q, k.n), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SelfTest,
    testing::Values(
        self_test_case{"Sound", [] { return valid_key(); }, true},
        self_test_case{"NIsNotPQ", [] {
            numbers k = valid_key();
            k.n += 2;
            return k;
        }, false},
        self_test_case{"POfClassOne", [] {
            numbers k = valid_key();
            k.p = prime_of_class(k.p, 1);
            k.n = k.p * k.q;
            return k;
        }, false},
        self_test_case{"CompositeQ", [] {
            numbers k = valid_key();
            k.q *= 77;  // still 3 mod 4, so only the roots can tell
            k.n = k.p * k.q;
            return k;
        }, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
