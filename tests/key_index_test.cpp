// The index as a lookup sees it: fingerprints that meet are not hits, and
// shards that keep unlike shares of each fingerprint merge into the index
// of their whole window.
#include "keyaudit/index_build.hpp"
#include "keyaudit/index_lookup.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

using namespace keyaudit;

constexpr std::uint32_t first = 1700000000;

std::string written(const index_entries& e, const std::string& name)
{
    const std::string path = ::testing::TempDir() + "key_index_test." + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    const std::vector<entry_source*> streams = e.sources();
    write_index(out, e.shape, streams, "cannot write " + path);
    EXPECT_EQ(std::fclose(out), 0);
    return path;
}

std::string built(window seeds, std::vector<libc> libcs, const std::string& name, unsigned print_bits = 0)
{
    build_settings s;
    s.seeds = seeds;
    s.libcs = std::move(libcs);
    s.print_bits = print_bits;
    return written(build_index(s, 2, {}), name);
}

mpz_class n_at(libc which, std::uint32_t seed)
{
    mpz_class p;
    mpz_class q;
    old_key(which, seed, p, q);
    return p * q;
}

std::string bytes_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(KeyIndex, FingerprintsThatMeetAreNotHits)
{
    const std::string path = built({first, first + 199}, {libc::glibc}, "short", 3);
    std::vector<std::unique_ptr<index_file>> indexes;
    indexes.push_back(std::make_unique<index_file>(path));
    std::vector<suspect> keys{{n_at(libc::glibc, first + 200), {}, {}}, {n_at(libc::glibc, first + 77), {}, {}}};
    ASSERT_GT(indexes.front()->candidates(0, keys[0].n).size(), 2U) << "the seam does not make prints meet";
    const std::atomic<int> stop{0};
    EXPECT_TRUE(prove_matches(index_matches(indexes, {&keys[0].n, &keys[1].n}), keys, prime_check::base2, 2, stop, {}));
    EXPECT_FALSE(keys[0].made_at);
    EXPECT_EQ(keys[1].made_at, first + 77);
}

TEST(KeyIndex, ShardsOfUnlikePrintsMergeIntoTheWholeWindowsIndex)
{
    const std::vector<libc> libcs{libc::glibc, libc::musl};
    std::vector<std::unique_ptr<index_file>> shards;
    shards.push_back(std::make_unique<index_file>(built({first + 129, first + 1128}, libcs, "long")));
    shards.push_back(std::make_unique<index_file>(built({first, first + 128}, libcs, "brief")));
    ASSERT_NE(shards[0]->shape().print_bits, shards[1]->shape().print_bits);
    const std::string merged = written(merge_indexes(shards), "merged");
    EXPECT_EQ(bytes_of(merged), bytes_of(built({first, first + 1128}, libcs, "whole")));

    std::vector<std::unique_ptr<index_file>> indexes;
    indexes.push_back(std::make_unique<index_file>(merged));
    std::vector<suspect> keys{{n_at(libc::musl, first + 10), {}, {}}, {n_at(libc::glibc, first + 1128), {}, {}}};
    const std::atomic<int> stop{0};
    EXPECT_TRUE(prove_matches(index_matches(indexes, {&keys[0].n, &keys[1].n}), keys, prime_check::base2, 1, stop, {}));
    EXPECT_EQ(keys[0].made_at, first + 10);
    EXPECT_EQ(keys[0].made_by, libc::musl);
    EXPECT_EQ(keys[1].made_at, first + 1128);
}

// Entries in order whose seconds are not each second once: a merge of a
// shard with valid checksums but a second twice must not pass it on.
class listed_entries final : public entry_source {
public:
    explicit listed_entries(std::vector<index_entry> e) : e_(std::move(e)) {}
    void rewind() override { next_ = 0; }
    bool next(index_entry& e) override { return next_ < e_.size() && (e = e_[next_++], true); }

private:
    std::vector<index_entry> e_;
    std::size_t next_ = 0;
};

TEST(KeyIndex, EntriesWithASecondTwiceAreNotWritten)
{
    const window seeds{first, first + 99};
    std::vector<index_entry> entries;
    for (std::uint32_t i = 0; i < 100; ++i) {
        entries.push_back({i, first + (i == 41 ? 40 : i)});
    }
    listed_entries twice(entries);
    entry_source* const streams[] = {&twice};
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_THROW(write_index(out, {seeds, {libc::glibc}, default_print_bits(seeds)}, streams, "cannot write"),
                 std::invalid_argument);
    entries[41].seed = first + 41;
    listed_entries once(entries);
    entry_source* const sound[] = {&once};
    EXPECT_NO_THROW(write_index(out, {seeds, {libc::glibc}, default_print_bits(seeds)}, sound, "cannot write"));
    (void)std::fclose(out);
}

}  // namespace
