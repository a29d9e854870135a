#include "keyaudit/inputs.hpp"

#include "keyaudit/base2_sprp_ifma.hpp"
#include "keyaudit/fermat_ifma.hpp"
#include "keyaudit/old_key_file.hpp"
#include "keyaudit/report.hpp"
#include "keyaudit/work_queue.hpp"
#include "keyfile/key_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>
#include <unordered_set>
#include <utility>

namespace keyaudit {

namespace {

namespace fs = std::filesystem;
using foundation::stop_flag;

std::string name_of(const std::string& path) { return path == "-" ? "(standard input)" : path; }

// The names in order, each once.
class name_list {
public:
    explicit name_list(const stop_flag& stop) : stop_(stop) {}

    void add(named n)
    {
        if (n.what != input::state::unread || seen_.insert(n.path).second) {
            names_.push_back(std::move(n));
        }
    }
    void add(const std::string& path, named::origin from) { add(named{path, name_of(path), from, {}, {}}); }
    void fail(const std::string& path, named::origin from, input::state what, const std::string& why)
    {
        add(named{path, name_of(path), from, what, why});
    }
    bool stopped() const { return stop_ != 0; }
    std::vector<named> take() { return std::move(names_); }

private:
    const stop_flag& stop_;
    std::vector<named> names_;
    std::unordered_set<std::string> seen_;
};

std::string message(const std::error_code& e) { return e.message(); }

// One entry of a folder: a file to read, a folder to walk, or what is
// said of it.
void take_entry(const fs::directory_entry& entry, std::vector<named>& files, std::vector<std::string>& folders)
{
    const std::string path = entry.path().string();
    auto skip = [&](input::state what, const std::string& why) {
        files.push_back(named{path, path, named::origin::folder, what, why});
    };
    std::error_code error;
    const fs::file_status own = entry.symlink_status(error);
    if (error) {
        skip(input::state::failed, "cannot examine it: " + message(error));
        return;
    }
    if (fs::is_directory(own)) {
        folders.push_back(path);
        return;
    }
    const fs::file_status target = fs::is_symlink(own) ? entry.status(error) : own;
    if (fs::is_symlink(own) && error) {
        skip(error == std::errc::no_such_file_or_directory ? input::state::skipped : input::state::failed,
             error == std::errc::no_such_file_or_directory ? "a dangling link"
                                                           : "cannot examine it: " + message(error));
    } else if (fs::is_directory(target)) {
        skip(input::state::skipped, "a link to a folder, not followed");
    } else if (fs::is_regular_file(target)) {
        files.push_back(named{path, path, named::origin::folder, input::state::unread, {}});
    } else {
        skip(input::state::skipped, "not a regular file");
    }
}

// A folder's files, sorted by path, its own folders walked in turn.
void walk(const std::string& folder, name_list& names)
{
    std::vector<named> files;
    std::vector<std::string> pending{folder};
    while (!pending.empty() && !names.stopped()) {
        const std::string here = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator it(here, error);
        for (const fs::directory_iterator end; !error && it != end && !names.stopped(); it.increment(error)) {
            take_entry(*it, files, pending);
        }
        if (error) {
            files.push_back(named{here, here, named::origin::folder, input::state::failed,
                                  "cannot list the folder: " + message(error)});
        }
    }
    if (names.stopped()) {
        names.add(named{folder, folder, named::origin::command_line, input::state::unread, {}});
        return;
    }
    std::sort(files.begin(), files.end(), [](const named& a, const named& b) { return a.path < b.path; });
    for (named& file : files) {
        names.add(std::move(file));
    }
}

// Splits what the list holds into names as it comes.
class list_reader {
public:
    list_reader(const options& o, name_list& names)
        : list_name_(name_of(*o.files_from)), end_(o.null_separated ? '\0' : '\n'), recursive_(o.recursive),
          names_(names)
    {
    }

    void take(std::string_view text)
    {
        for (std::size_t from = 0;;) {
            const std::size_t end = text.find(end_, from);
            if (end == std::string_view::npos) {
                partial_.append(text.substr(from));
                return;
            }
            partial_.append(text.substr(from, end - from));
            finish_line();
            from = end + 1;
        }
    }

    void finish()
    {
        if (!partial_.empty()) {
            finish_line();
        }
    }

private:
    void finish_line()
    {
        ++line_;
        const std::string where = list_name_ + ":" + std::to_string(line_);
        if (partial_.find('\0') != std::string::npos) {
            names_.add(named{where, where, named::origin::list, input::state::failed, "a name with a NUL byte"});
        } else if (partial_ == "-") {
            names_.add(named{where, where, named::origin::list, input::state::failed,
                             "'-' in a list names no file"});
        } else if (std::error_code error; recursive_ && fs::is_directory(partial_, error)) {
            walk(partial_, names_);
        } else if (!partial_.empty()) {
            names_.add(partial_, named::origin::list);
        }
        partial_.clear();
    }

    std::string list_name_;
    char end_;
    bool recursive_;
    name_list& names_;
    std::string partial_;
    std::size_t line_ = 0;
};

int open_list(const std::string& path, const stop_flag& stop)
{
    if (path == "-") {
        return STDIN_FILENO;
    }
    int fd = -1;
    while ((fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR && stop == 0) {
    }
    return fd;
}

bool is_regular(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Returns false when the list cannot be given again.
bool read_list(const options& o, name_list& names, const stop_flag& stop)
{
    const std::string& path = *o.files_from;
    auto failed = [&](int err) {
        names.fail(path, named::origin::command_line, input::state::failed,
                   "cannot read the list: " + std::generic_category().message(err));
    };
    const int fd = open_list(path, stop);
    if (fd < 0) {
        stop != 0 && errno == EINTR ? names.add(named{path, name_of(path), named::origin::command_line,
                                                      input::state::unread, {}})
                                    : failed(errno);
        return path != "-";
    }
    const bool repeatable = path != "-" && is_regular(fd);
    list_reader reader(o, names);
    char buffer[65536];
    for (;;) {
        if (stop != 0) {
            names.add(named{path, name_of(path), named::origin::command_line, input::state::unread, {}});
            break;
        }
        if (!foundation::readable_unless_stopped(fd, stop)) {
            continue;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            failed(errno);
            break;
        }
        if (got == 0) {
            reader.finish();
            break;
        }
        reader.take(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    if (fd != STDIN_FILENO) {
        (void)close(fd);
    }
    return repeatable;
}

}  // namespace

collected collect_names(const options& o, const stop_flag& stop)
{
    name_list names(stop);
    collected result;
    for (const std::string& path : o.files) {
        std::error_code error;
        if (o.recursive && path != "-" && fs::is_directory(path, error)) {
            walk(path, names);
        } else {
            names.add(path, named::origin::command_line);
        }
        result.repeatable = result.repeatable && path != "-";
    }
    if (o.files_from) {
        result.repeatable = read_list(o, names, stop) && result.repeatable;
    }
    result.names = names.take();
    return result;
}

namespace {

std::string period(std::int64_t first, std::int64_t last) { return "from " + utc_text(first) + " to " + utc_text(last); }

// The window of a file of that time; throws std::range_error when it holds
// no second a seed can be.
window window_for(const options& o, std::int64_t time)
{
    if (!o.indexes.empty()) {
        return {0, static_cast<std::uint32_t>(last_seed)};  // the indexes say what is covered
    }
    const std::int64_t before = std::int64_t{86400} * o.days.value_or(1);
    const std::int64_t first = o.from ? *o.from : time - before;
    const std::int64_t last = o.to ? *o.to : time;
    if (first > last || last < 0 || first > last_seed) {
        throw std::range_error("the window " + period(first, last) + " is empty" +
                               (first <= last ? " of 32-bit seconds" : ""));
    }
    return {static_cast<std::uint32_t>(std::max<std::int64_t>(first, 0)),
            static_cast<std::uint32_t>(std::min<std::int64_t>(last, last_seed))};
}

// An open file, closed at the end of the scope.
class open_file {
public:
    // waits: whether the open of a FIFO waits for its writer, as for a
    // FIFO named on the command line.
    open_file(const std::string& path, bool waits, const stop_flag& stop) : fd_(STDIN_FILENO)
    {
        if (path == "-") {
            return;
        }
        const int flags = O_RDONLY | O_CLOEXEC | (waits ? 0 : O_NONBLOCK);
        while ((fd_ = open(path.c_str(), flags)) < 0 && errno == EINTR) {
            if (stop != 0) {
                throw keyfile::interrupted();
            }
        }
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category());
        }
    }
    ~open_file()
    {
        if (fd_ > STDIN_FILENO) {
            (void)close(fd_);
        }
    }
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

using identity = std::pair<dev_t, ino_t>;

void fail(input& in, const std::string& why)
{
    in.what = input::state::failed;
    in.error = why;
}

void skip(input& in, const std::string& why)
{
    in.what = input::state::skipped;
    in.error = why;
}

// A key read, to be checked as keygen -c checks it.
struct read_key {
    input* in;
    std::unique_ptr<keyfile::parsed_key> key;  // wiped, so never moved
    std::int64_t time;                          // the file's
};

void settle(const options& o, read_key& k, keyfile::n_primality primality)
{
    input& in = *k.in;
    try {
        keyfile::check_key(*k.key, in.name, keyfile::small_factors::left_to_caller, primality);
    } catch (const keyfile::key_error& e) {
        fail(in, "not a valid key: " + e.problem());
        return;
    }
    try {
        in.seeds = window_for(o, k.time);
    } catch (const std::range_error& e) {
        fail(in, e.what());
        return;
    }
    in.whole = k.key->whole;
    in.n = std::move(k.key->n);
    in.what = input::state::ready;
}

// The public N that the vector kernel proves composite need no test of
// their own: that test is most of a key's check.
std::vector<bool> known_composite(const std::vector<read_key>& batch)
{
    std::vector<bool> known(batch.size(), false);
    if (!ifma_available()) {
        return known;
    }
    std::vector<const mpz_class*> n;
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (!batch[i].key->whole && fermat_ifma_accepts(batch[i].key->n)) {
            n.push_back(&batch[i].key->n);
            at.push_back(i);
        }
    }
    const auto composite = std::make_unique<bool[]>(n.size());
    fermat_composite_ifma(n.data(), n.size(), composite.get());
    for (std::size_t j = 0; j < n.size(); ++j) {
        known[at[j]] = composite[j];
    }
    return known;
}

void settle_all(const options& o, std::vector<read_key>& batch)
{
    const std::vector<bool> known = known_composite(batch);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        settle(o, batch[i], known[i] ? keyfile::n_primality::known_composite : keyfile::n_primality::tested);
    }
}

class reader {
public:
    reader(const stop_flag& stop, work_queue<read_key>& checks) : stop_(stop), checks_(checks) {}

    void read(const named& what, input& in)
    {
        in.what = what.what;
        in.error = what.error;
        if (what.what != input::state::unread) {
            return;
        }
        try {
            const bool named = what.from == named::origin::command_line;
            const open_file file(what.path, named, stop_);
            struct stat st {};
            if (fstat(file.fd(), &st) != 0) {
                throw std::system_error(errno, std::generic_category());
            }
            if (S_ISDIR(st.st_mode)) {
                fail(in, "a folder; -r audits the keys in it");
                return;
            }
            // Met in a list, a FIFO, a device or a socket is no key file:
            // reading one could wait for ever.
            if (!named && !S_ISREG(st.st_mode)) {
                skip(in, "not a regular file");
                return;
            }
            if (const auto [it, fresh] = seen_.emplace(identity{st.st_dev, st.st_ino}, &in.name); !fresh) {
                skip(in, "the same file as " + keyaudit::quoted(*it->second));
                return;
            }
            read_as_key(what, file.fd(), st, in);
        } catch (const keyfile::interrupted&) {
            in.what = input::state::unread;
        } catch (const keyfile::key_error& e) {
            fail(in, e.reason());
        } catch (const std::system_error& e) {
            fail(in, e.code().message());
        }
    }

private:
    void read_as_key(const named& what, int fd, const struct stat& st, input& in)
    {
        read_key k{&in, std::make_unique<keyfile::parsed_key>(), st.st_mtime};
        const std::int64_t size = S_ISREG(st.st_mode) && st.st_size > 0 ? st.st_size : -1;
        if (read_key_leniently(fd, size, in.name, *k.key, stop_) == key_kind::not_a_key) {
            what.from == named::origin::command_line ? fail(in, "not a key") : skip(in, "not a key");
            return;
        }
        checks_.add(std::move(k));
    }

    const stop_flag& stop_;
    std::map<identity, const std::string*> seen_;
    work_queue<read_key>& checks_;
};

}  // namespace

std::vector<input> read_inputs(const options& o, const std::vector<named>& names, const stop_flag& stop,
                               unsigned threads)
{
    std::vector<input> inputs(names.size());
    work_queue<read_key> checks(threads, [&o](std::vector<read_key>& batch) { settle_all(o, batch); });
    reader read(stop, checks);
    for (std::size_t i = 0; i < names.size(); ++i) {
        inputs[i].path = names[i].path;
        inputs[i].name = names[i].name;
        if (stop == 0 || names[i].what != input::state::unread) {
            read.read(names[i], inputs[i]);
        }
    }
    checks.finish();
    return inputs;
}

}  // namespace keyaudit
