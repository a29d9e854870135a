#include "keyaudit/key_index.hpp"

#include "foundation/diagnostics.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace keyaudit {

namespace {

static_assert(GMP_NUMB_BITS == 64, "fingerprints take N's second 64-bit limb");

constexpr std::array<unsigned char, 8> magic{'K', 'A', 'I', 'X', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t payload = index_block - 4;  // a block's last 4 bytes: CRC-32 of the rest
constexpr std::size_t directory_width = 5;  // bytes: an entry's index, below 2^40
constexpr std::size_t directory_per_block = payload / directory_width;
constexpr unsigned entry_bits_wanted = 38;
constexpr unsigned most_entry_bits = 57;  // read as one unaligned 64-bit word

// Header fields, by offset in block 0.
enum field : std::size_t {
    version_at = 8,
    block_size_at = 12,
    file_size_at = 16,
    first_at = 24,
    last_at = 28,
    print_bits_at = 32,
    stream_count_at = 36,
    entries_at = 40,
    libcs_at = 48,
};

std::uint64_t seconds_of(window w) { return std::uint64_t{w.last} - w.first + 1; }

unsigned bits_for(std::uint64_t values) { return values <= 1 ? 0 : static_cast<unsigned>(std::bit_width(values - 1)); }

// Buckets of 40 to 79 entries: smaller ones make the directory cost more
// than the fingerprint bits it saves, and a second and stream more than 5
// bytes.
unsigned bucket_bits_for(std::uint64_t count)
{
    return count < 80 ? 0 : std::min(26u, static_cast<unsigned>(std::bit_width(count / 40)) - 1);
}

std::uint32_t crc(const unsigned char* data, std::size_t size)
{
    return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size)));
}

template <typename T>
void put(unsigned char* at, T value)
{
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

template <typename T>
T get(const unsigned char* at)
{
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(static_cast<T>(at[i]) << (8 * i));
    }
    return value;
}

std::uint64_t mask(unsigned bits) { return bits == 0 ? 0 : ~std::uint64_t{0} >> (64 - bits); }

}  // namespace

std::uint64_t fingerprint(const mpz_class& n) { return mpz_getlimbn(n.get_mpz_t(), 1); }

unsigned default_print_bits(window seeds)
{
    const std::uint64_t count = seconds_of(seeds);
    const unsigned offset = bits_for(count);
    return bucket_bits_for(count) + std::max(1u, entry_bits_wanted - offset);
}

// Where one stream's directory and entries lie, all derived from the header.
struct index_file::section {
    libc which{};
    std::uint64_t count = 0;
    unsigned offset_bits = 0;  // the second, less the window's first
    unsigned bucket_bits = 0;  // the print's leading bits, implied by the directory
    unsigned rest_bits = 0;    // the print's other bits, kept in the entry
    unsigned entry_bits = 0;
    std::uint64_t per_block = 0;
    std::uint64_t directory_first = 0;
    std::uint64_t directory_blocks = 0;
    std::uint64_t entries_first = 0;
    std::uint64_t entry_blocks = 0;
};

namespace {

using section = index_file::section;

// The layout of every stream, the header's block 0 before them.
std::vector<section> layout(const index_shape& shape)
{
    std::vector<section> sections;
    std::uint64_t next = 1;
    for (const libc which : shape.libcs) {
        section s;
        s.which = which;
        s.count = seconds_of(shape.seeds);
        s.offset_bits = bits_for(s.count);
        s.bucket_bits = std::min(bucket_bits_for(s.count), shape.print_bits - 1);
        s.rest_bits = shape.print_bits - s.bucket_bits;
        s.entry_bits = s.rest_bits + s.offset_bits;
        s.per_block = payload * 8 / s.entry_bits;
        s.directory_first = next;
        s.directory_blocks = ((std::uint64_t{1} << s.bucket_bits) + directory_per_block - 1) / directory_per_block;
        s.entries_first = s.directory_first + s.directory_blocks;
        s.entry_blocks = (s.count + s.per_block - 1) / s.per_block;
        next = s.entries_first + s.entry_blocks;
        sections.push_back(s);
    }
    return sections;
}

std::uint64_t file_size(const std::vector<section>& sections)
{
    return (sections.empty() ? 1 : sections.back().entries_first + sections.back().entry_blocks) * index_block;
}

bool shape_is_sound(const index_shape& shape)
{
    const std::uint64_t count = seconds_of(shape.seeds);
    const unsigned buckets = shape.print_bits == 0 ? 0 : std::min(bucket_bits_for(count), shape.print_bits - 1);
    return !shape.libcs.empty() && shape.libcs.size() <= all_libcs.size() && shape.print_bits >= 1 &&
           shape.print_bits <= 64 && shape.print_bits - buckets + bits_for(count) <= most_entry_bits &&
           std::is_sorted(shape.libcs.begin(), shape.libcs.end()) &&
           std::adjacent_find(shape.libcs.begin(), shape.libcs.end()) == shape.libcs.end();
}

// Blocks out, each sealed with its checksum.
class block_writer {
public:
    block_writer(std::FILE* out, const std::string& failure) : out_(out), failure_(failure) {}

    unsigned char* data() { return block_.data(); }

    void seal()
    {
        put(block_.data() + payload, crc(block_.data(), payload));
        if (std::fwrite(block_.data(), 1, block_.size(), out_) != block_.size()) {
            throw std::system_error(errno, std::generic_category(), failure_);
        }
        block_.fill(0);
    }

private:
    std::FILE* out_;
    std::string failure_;
    std::array<unsigned char, index_block> block_{};
};

void write_header(block_writer& out, const index_shape& shape, const std::vector<section>& sections)
{
    unsigned char* h = out.data();
    std::copy(magic.begin(), magic.end(), h);
    put<std::uint32_t>(h + version_at, index_version);
    put<std::uint32_t>(h + block_size_at, index_block);
    put<std::uint64_t>(h + file_size_at, file_size(sections));
    put<std::uint32_t>(h + first_at, shape.seeds.first);
    put<std::uint32_t>(h + last_at, shape.seeds.last);
    put<std::uint32_t>(h + print_bits_at, shape.print_bits);
    put<std::uint32_t>(h + stream_count_at, static_cast<std::uint32_t>(shape.libcs.size()));
    put<std::uint64_t>(h + entries_at, seconds_of(shape.seeds) * shape.libcs.size());
    for (std::size_t k = 0; k < shape.libcs.size(); ++k) {
        h[libcs_at + k] = static_cast<unsigned char>(shape.libcs[k]);
    }
    out.seal();
}

// Whether C offsets are 0 to C - 1 each once, as far as their sum and the
// sum of their squares tell (modulo 2^64): a second twice and another
// missing would take a deliberate choice to pass.
class seconds_sum {
public:
    void add(std::uint64_t offset)
    {
        sum_ += offset;
        squares_ += offset * offset;
    }

    bool is_each_once(std::uint64_t count) const
    {
        // The divisions are exact before the products wrap.
        std::uint64_t a = count - 1;
        std::uint64_t b = count;
        std::uint64_t d = 2 * count - 1;
        const std::uint64_t sum = a % 2 == 0 ? a / 2 * b : b / 2 * a;
        // 0^2 + ... + (c-1)^2 = (c-1)c(2c-1)/6: one of a, b even, one of
        // a, b, d a multiple of 3.
        (a % 2 == 0 ? a : b) /= 2;
        (a % 3 == 0 ? a : b % 3 == 0 ? b : d) /= 3;
        return sum == sum_ && a * b * d == squares_;
    }

private:
    std::uint64_t sum_ = 0;
    std::uint64_t squares_ = 0;
};

// The directory: for each bucket, the index of its first entry. The last
// bucket ends at the count.
void write_directory(block_writer& out, const section& s, entry_source& entries, const index_shape& shape)
{
    std::size_t used = 0;
    auto emit = [&out, &used](std::uint64_t first) {
        for (std::size_t k = 0; k < directory_width; ++k) {
            out.data()[directory_width * used + k] = static_cast<unsigned char>(first >> (8 * k));
        }
        if (++used == directory_per_block) {
            out.seal();
            used = 0;
        }
    };
    entries.rewind();
    std::uint64_t bucket = 0;
    std::uint64_t i = 0;
    index_entry last{};
    seconds_sum sum;
    for (index_entry e{}; entries.next(e); ++i) {
        sum.add(e.seed - shape.seeds.first);
        if (i == s.count || (i > 0 && (e.print < last.print || (e.print == last.print && e.seed <= last.seed))) ||
            e.seed < shape.seeds.first || e.seed > shape.seeds.last || (e.print >> shape.print_bits) != 0) {
            throw std::logic_error("index entries out of order");
        }
        for (; bucket <= (e.print >> s.rest_bits); ++bucket) {
            emit(i);
        }
        last = e;
    }
    if (i != s.count || !sum.is_each_once(s.count)) {
        throw std::invalid_argument("its entries do not hold each second of its window once");
    }
    for (; bucket < (std::uint64_t{1} << s.bucket_bits); ++bucket) {
        emit(i);
    }
    if (used != 0) {
        out.seal();
    }
}

void write_entries(block_writer& out, const section& s, entry_source& entries, const index_shape& shape)
{
    entries.rewind();
    std::uint64_t used = 0;
    for (index_entry e{}; entries.next(e);) {
        const std::uint64_t value = (e.print & mask(s.rest_bits)) << s.offset_bits | (e.seed - shape.seeds.first);
        const std::uint64_t bit = used * s.entry_bits;
        const std::uint64_t shifted = value << (bit % 8);  // fits: an entry has at most 57 bits
        unsigned char* at = out.data() + bit / 8;
        for (std::uint64_t k = 0; 8 * k < bit % 8 + s.entry_bits; ++k) {
            at[k] |= static_cast<unsigned char>(shifted >> (8 * k));
        }
        if (++used == s.per_block) {
            out.seal();
            used = 0;
        }
    }
    if (used != 0) {
        out.seal();
    }
}

}  // namespace

void write_index(std::FILE* out, const index_shape& shape, std::span<entry_source* const> streams,
                 const std::string& failure)
{
    if (!shape_is_sound(shape) || streams.size() != shape.libcs.size()) {
        throw std::logic_error("not a shape of index");
    }
    const std::vector<section> sections = layout(shape);
    block_writer blocks(out, failure);
    write_header(blocks, shape, sections);
    for (std::size_t k = 0; k < sections.size(); ++k) {
        write_directory(blocks, sections[k], *streams[k], shape);
        write_entries(blocks, sections[k], *streams[k], shape);
    }
}

// Reading.

namespace {

// A file cut short under its mapping raises SIGBUS at the first read past
// its new end: the run ends with the message of an index not usable, not
// with a core.
struct watched_map {
    const unsigned char* begin = nullptr;
    std::uint64_t size = 0;
    const char* name = nullptr;  // the index_file's own, for its life
};

std::array<watched_map, 1024> watched;  // registered by the main thread only

void on_bus_error(int /*signal*/, siginfo_t* info, void* /*context*/)
{
    const auto* at = static_cast<const unsigned char*>(info->si_addr);
    const auto* const m = std::find_if(watched.begin(), watched.end(), [at](const watched_map& w) {
        return w.begin != nullptr && at >= w.begin && at < w.begin + w.size;
    });
    foundation::exit_from_handler(
        {m != watched.end() ? m->name : "an index", ": not a usable index: cut short while it was read"});
}

void watch(const unsigned char* begin, std::uint64_t size, const std::string& name)
{
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = on_bus_error;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, nullptr) == 0;
    }();
    (void)installed;
    auto* const open_slot =
        std::find_if(watched.begin(), watched.end(), [](const watched_map& m) { return m.begin == nullptr; });
    if (open_slot != watched.end()) {
        open_slot->name = name.c_str();
        open_slot->size = size;
        open_slot->begin = begin;
    }
}

void unwatch(const unsigned char* begin)
{
    for (watched_map& m : watched) {
        if (m.begin == begin) {
            m.begin = nullptr;
        }
    }
}

class mapped_file {
public:
    // Not blocking: a FIFO given as an index is refused, not waited on.
    explicit mapped_file(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "cannot read " + path);
        }
    }
    ~mapped_file() { (void)close(fd_); }
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

void index_file::refuse(const std::string& why) const { throw unusable_index(name_ + ": not a usable index: " + why); }

// The header's checks, in the order that names the fault best.
class index_reader {
public:
    static void read_header(index_file& f)
    {
        const unsigned char* h = f.map_;
        if (!std::equal(magic.begin(), magic.end(), h)) {
            f.refuse("not an index");
        }
        if (const auto version = get<std::uint32_t>(h + version_at); version != index_version) {
            f.refuse("format version " + std::to_string(version) + ", not " + std::to_string(index_version));
        }
        if (crc(h, payload) != get<std::uint32_t>(h + payload)) {
            f.refuse("its header is damaged");
        }
        f.verified_.assign(f.size_ / index_block, false);
        f.verified_[0] = true;
        f.shape_ = shape_of(f, h);
        f.sections_ = layout(f.shape_);
        const std::uint64_t expected = file_size(f.sections_);
        if (get<std::uint64_t>(h + file_size_at) != expected ||
            get<std::uint64_t>(h + entries_at) != seconds_of(f.shape_.seeds) * f.shape_.libcs.size()) {
            f.refuse("its header does not add up");
        }
        if (f.size_ != expected) {
            f.refuse((f.size_ < expected ? "truncated: " : "longer than its header says: ") +
                     std::to_string(f.size_) + " bytes, not " + std::to_string(expected));
        }
    }

private:
    static index_shape shape_of(const index_file& f, const unsigned char* h)
    {
        index_shape shape;
        shape.seeds = {get<std::uint32_t>(h + first_at), get<std::uint32_t>(h + last_at)};
        shape.print_bits = get<std::uint32_t>(h + print_bits_at);
        const auto streams = get<std::uint32_t>(h + stream_count_at);
        if (get<std::uint32_t>(h + block_size_at) != index_block || shape.seeds.first > shape.seeds.last ||
            streams == 0 || streams > all_libcs.size()) {
            f.refuse("its header does not add up");
        }
        for (std::size_t k = 0; k < streams; ++k) {
            if (h[libcs_at + k] >= all_libcs.size()) {
                f.refuse("a stream this version does not know");
            }
            shape.libcs.push_back(all_libcs[h[libcs_at + k]]);
        }
        if (!shape_is_sound(shape) ||
            std::any_of(h + libcs_at + streams, h + payload, [](unsigned char c) { return c != 0; })) {
            f.refuse("its header does not add up");
        }
        return shape;
    }
};

index_file::index_file(const std::string& path) : name_(path)
{
    const mapped_file file(path);
    struct stat st {};
    if (fstat(file.fd(), &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    }
    if (!S_ISREG(st.st_mode)) {
        refuse("not a regular file");
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    if (size_ < index_block) {
        refuse(size_ < magic.size() ? "too short" : "too short for its header");
    }
    void* map = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file.fd(), 0);
    if (map == MAP_FAILED) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    }
    map_ = static_cast<const unsigned char*>(map);
    watch(map_, size_, name_);
    try {
        index_reader::read_header(*this);
    } catch (...) {
        unwatch(map_);
        (void)munmap(map, size_);
        throw;
    }
    (void)madvise(map, size_, MADV_RANDOM);
}

index_file::~index_file()
{
    unwatch(map_);
    (void)munmap(const_cast<unsigned char*>(map_), size_);
}

const unsigned char* index_file::block(std::uint64_t b) const
{
    const unsigned char* data = map_ + b * index_block;
    if (!verified_[b]) {
        if (crc(data, payload) != get<std::uint32_t>(data + payload)) {
            refuse("block " + std::to_string(b) + " is damaged");
        }
        verified_[b] = true;
    }
    return data;
}

std::uint64_t index_file::directory(const section& s, std::uint64_t bucket) const
{
    if (bucket == std::uint64_t{1} << s.bucket_bits) {
        return s.count;
    }
    const unsigned char* at =
        block(s.directory_first + bucket / directory_per_block) + directory_width * (bucket % directory_per_block);
    std::uint64_t first = 0;
    for (std::size_t k = 0; k < directory_width; ++k) {
        first |= std::uint64_t{at[k]} << (8 * k);
    }
    return first;
}

std::uint64_t index_file::entry(const section& s, std::uint64_t i) const
{
    const unsigned char* data = block(s.entries_first + i / s.per_block);
    const std::uint64_t bit = i % s.per_block * s.entry_bits;
    std::uint64_t word = 0;
    const std::uint64_t bytes = std::min<std::uint64_t>(8, payload - bit / 8);
    for (std::uint64_t k = 0; k < bytes; ++k) {
        word |= std::uint64_t{data[bit / 8 + k]} << (8 * k);
    }
    return word >> (bit % 8) & mask(s.entry_bits);
}

std::vector<std::uint32_t> index_file::candidates(std::size_t k, const mpz_class& n) const
{
    const section& s = sections_[k];
    const std::uint64_t print = fingerprint(n) >> (64 - shape_.print_bits);
    const std::uint64_t bucket = print >> s.rest_bits;
    const std::uint64_t from = directory(s, bucket);
    const std::uint64_t to = directory(s, bucket + 1);
    if (from > to || to > s.count) {
        refuse("its directory is out of order");
    }
    std::vector<std::uint32_t> seeds;
    for (std::uint64_t i = from; i < to; ++i) {
        const std::uint64_t value = entry(s, i);
        const std::uint64_t offset = value & mask(s.offset_bits);
        if (offset >= s.count) {
            refuse("an entry outside its window");
        }
        if (value >> s.offset_bits == (print & mask(s.rest_bits))) {
            seeds.push_back(static_cast<std::uint32_t>(shape_.seeds.first + offset));
        }
    }
    return seeds;
}

// A stream's entries read back: each entry's bucket from the directory
// walked beside it.
class stored_entries final : public entry_source {
public:
    stored_entries(const index_file& f, const section& s) : f_(f), s_(s) { stored_entries::rewind(); }

    void rewind() override
    {
        i_ = 0;
        bucket_ = 0;
        bucket_end_ = f_.directory(s_, 1);
    }

    bool next(index_entry& e) override
    {
        if (i_ == s_.count) {
            return false;
        }
        while (i_ >= bucket_end_) {
            if (++bucket_ >= (std::uint64_t{1} << s_.bucket_bits)) {
                f_.refuse("its directory is out of order");
            }
            bucket_end_ = f_.directory(s_, bucket_ + 1);
        }
        const std::uint64_t value = f_.entry(s_, i_++);
        e.print = bucket_ << s_.rest_bits | value >> s_.offset_bits;
        e.seed = static_cast<std::uint32_t>(f_.shape().seeds.first + (value & mask(s_.offset_bits)));
        return true;
    }

private:
    const index_file& f_;
    const section& s_;
    std::uint64_t i_ = 0;
    std::uint64_t bucket_ = 0;
    std::uint64_t bucket_end_ = 0;
};

std::unique_ptr<entry_source> index_file::entries(std::size_t k) const
{
    return std::make_unique<stored_entries>(*this, sections_[k]);
}

}  // namespace keyaudit
