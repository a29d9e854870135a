#include "keygen/blum_prime.hpp"
#include "keyfile/key_writer.hpp"
#include "keygen/generate_key.hpp"
#include "testing/digit_script.hpp"
#include "testing/scripted_source.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

using keygen::key_text;
using namespace testing_support;

namespace {

// A number of exactly n digits, varied enough to show misplaced chunks.
mpz_class number_of_digits(std::size_t n)
{
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += static_cast<char>('1' + i % 9);
    }
    return mpz_class(text, 10);
}

class StoreChunks : public testing::Test {
protected:
    void SetUp() override { std::memset(&key_text, 0, sizeof key_text); }
    void TearDown() override { keygen::wipe_key_text(); }
};

struct chunk_case {
    std::size_t digits;
    int nchunks;
    int selector;
};

void PrintTo(const chunk_case& c, std::ostream* os) { *os << c.digits << " digits"; }

class StoreChunksTable : public StoreChunks, public testing::WithParamInterface<chunk_case> {};

TEST_P(StoreChunksTable, CutsFiftyDigitRows)
{
    const auto [digits, nchunks, selector] = GetParam();
    const std::string text = number_of_digits(digits).get_str();
    keygen::store_chunks(mpz_class(text, 10), nchunks, selector);
    char(*rows)[keygen::row_bytes] =
        selector == 1 ? key_text.auth_p : selector == 2 ? key_text.auth_q : key_text.auth_n;
    for (int i = 0; i < nchunks; ++i) {
        const std::size_t start = std::min<std::size_t>(50 * i, text.size());
        EXPECT_EQ(std::string(rows[i]), text.substr(start, 50)) << "row " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, StoreChunksTable,
                         testing::Values(chunk_case{49, 2, 1}, chunk_case{50, 2, 2},
                                         chunk_case{99, 2, 1}, chunk_case{100, 2, 2},
                                         chunk_case{150, 4, 3}, chunk_case{199, 4, 3},
                                         chunk_case{200, 4, 3}, chunk_case{30, 4, 3}),
                         [](const auto& info) {
                             return "Digits" + std::to_string(info.param.digits) + "Table" +
                                    std::to_string(info.param.selector);
                         });

TEST_F(StoreChunks, UnknownSelectorOrCountChangesNothing)
{
    keygen::store_chunks(number_of_digits(100), 2, 2);
    const keygen::key_record before = key_text;
    for (const int selector : {0, 4, -1, 1000}) {
        keygen::store_chunks(number_of_digits(200), 4, selector);
    }
    keygen::store_chunks(number_of_digits(200), 0, 1);
    keygen::store_chunks(number_of_digits(200), -3, 3);
    EXPECT_EQ(std::memcmp(&before, &key_text, sizeof key_text), 0);
}

TEST_F(StoreChunks, RowsPastTheTableAreNotWritten)
{
    keygen::store_chunks(number_of_digits(400), 8, 1);
    EXPECT_EQ(std::strlen(key_text.auth_p[1]), 50U);
    EXPECT_EQ(key_text.auth_q[0][0], '\0');
    keygen::store_chunks(number_of_digits(400), 8, 3);
    EXPECT_EQ(std::string(key_text.auth_n[3]), number_of_digits(400).get_str().substr(150, 50));
}

TEST_F(StoreChunks, FewerChunksLeaveLaterRows)
{
    keygen::store_chunks(number_of_digits(200), 4, 3);
    const std::string last = key_text.auth_n[3];
    keygen::store_chunks(number_of_digits(60), 2, 3);
    EXPECT_EQ(std::string(key_text.auth_n[1]), number_of_digits(60).get_str().substr(50));
    EXPECT_EQ(std::string(key_text.auth_n[3]), last);
}

TEST_F(StoreChunks, KeyFromAScriptedStreamHoldsPQAndN)
{
    // A P whose draw began with the value 0 has 99 digits.
    mpz_class p99;
    mpz_ui_pow_ui(p99.get_mpz_t(), 10, 98);
    p99 *= 3;
    do {
        mpz_nextprime(p99.get_mpz_t(), p99.get_mpz_t());
    } while (mpz_fdiv_ui(p99.get_mpz_t(), 4) != 3);
    scripted_stream stream(values_for_text("0" + p99.get_str()), 7);
    keygen::generate_key();

    EXPECT_EQ(std::string(key_text.auth_p[0]) + key_text.auth_p[1], p99.get_str());
    EXPECT_EQ(std::strlen(key_text.auth_p[1]), 49U);
    const mpz_class q(std::string(key_text.auth_q[0]) + key_text.auth_q[1], 10);
    const mpz_class n(std::string(key_text.auth_n[0]) + key_text.auth_n[1] +
                      key_text.auth_n[2] + key_text.auth_n[3], 10);
    EXPECT_EQ(n, p99 * q);
    EXPECT_EQ(mpz_fdiv_ui(q.get_mpz_t(), 4), 3U);
    EXPECT_NE(mpz_probab_prime_p(q.get_mpz_t(), 25), 0);
}

// The key lines of key_text, as the program writes them.
std::string written_key()
{
    std::FILE* out = std::tmpfile();
    EXPECT_NE(out, nullptr);
    keyfile::write_key(out, key_text);
    std::rewind(out);
    std::string written(1024, '\0');
    written.resize(std::fread(written.data(), 1, written.size(), out));
    std::fclose(out);
    return written;
}

TEST_F(StoreChunks, WritesTheEightLinesExactly)
{
    keygen::store_chunks(number_of_digits(100), 2, 1);
    keygen::store_chunks(number_of_digits(99), 2, 2);
    keygen::store_chunks(number_of_digits(199), 4, 3);
    const std::string written = written_key();

    std::string expected;
    const std::string p = number_of_digits(100).get_str();
    const std::string q = number_of_digits(99).get_str();
    const std::string n = number_of_digits(199).get_str();
    for (const std::string& v : {p.substr(0, 50), p.substr(50)}) expected += "\tAuthP\t\t" + v + "\n";
    for (const std::string& v : {q.substr(0, 50), q.substr(50)}) expected += "\tAuthQ\t\t" + v + "\n";
    for (std::size_t i = 0; i < 4; ++i) expected += "\tAuthN\t\t" + n.substr(50 * i, 50) + "\n";
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.size(), 470U);  // 472 less a digit of Q and of N
}

// The lines a fixed stream gives, committed byte for byte: any change to
// what a stream becomes is caught, however the search gets there.
TEST_F(StoreChunks, FixedStreamGivesTheKnownAnswer)
{
    scripted_stream stream({}, 2026);
    keygen::generate_key();
    std::ifstream file(KNOWN_ANSWER);
    ASSERT_TRUE(file) << KNOWN_ANSWER;
    const std::string known((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written_key(), known);
}

TEST_F(StoreChunks, WriteFailureIsReported)
{
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    try {
        keyfile::write_key(full, key_text);
        ADD_FAILURE() << "writing to /dev/full succeeded";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOSPC);
        EXPECT_STREQ(e.what(), "cannot write the key: No space left on device");
    }
    std::fclose(full);
}

}  // namespace
