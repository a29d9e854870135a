#include "keyfile/key_file.hpp"

#include "foundation/output.hpp"
#include "foundation/stop_signals.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace keyfile {

namespace {

bool is_standard_output(const std::string& path) { return path.empty() || path == "-"; }

std::string directory_of(const std::string& path)
{
    const std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

// Removes the file being written unless it was put in place.
class unfinished_file {
public:
    unfinished_file() = default;
    ~unfinished_file()
    {
        const foundation::stop_signals_held held;
        foundation::file_abandoned();
    }
    unfinished_file(const unfinished_file&) = delete;
    unfinished_file& operator=(const unfinished_file&) = delete;

    // The key is complete at its name: nothing is undone from here, and a
    // signal until exit changes nothing.
    static void commit() { foundation::file_in_place(); }
};

std::string base_name(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

}  // namespace

source::source(const std::string& path, const stop_flag* stop)
    : name_(path == "-" ? "(standard input)" : path), fd_(STDIN_FILENO)
{
    if (path == "-") {
        return;
    }
    while ((fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
        if (stop != nullptr && *stop != 0) {
            throw interrupted();
        }
    }
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + name_);
    }
}

source::~source()
{
    if (fd_ != STDIN_FILENO) {
        (void)close(fd_);
    }
}

void source::read(parsed_key& key, const stop_flag* stop) const
{
    read_key(fd_, name_, key, stop);
}

std::pair<dev_t, ino_t> source::identity() const
{
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + name_);
    }
    return {st.st_dev, st.st_ino};
}

std::int64_t source::modified() const
{
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + name_);
    }
    return st.st_mtime;
}

destination::destination(std::string path, mode_t mode, bool replace, const std::string& noun,
                         const std::string& exists_hint, bool beside)
    : path_(std::move(path)), name_(base_name(path_)), mode_(mode), replace_(replace), beside_(beside || replace),
      failure_("cannot write " + noun + (is_standard_output(path_) ? "" : " to " + path_))
{
    if (is_standard_output(path_)) {
        return;
    }
    auto fail = [this](int err) { throw std::system_error(err, std::generic_category(), failure_); };
    // Everything from here goes through the folder opened once, so that a
    // folder renamed or a link flipped meanwhile cannot send a part of the
    // work elsewhere. The new name is durable only once the folder is
    // synced, so a folder that cannot be opened is refused now.
    folder_ = open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        fail(errno);
    }
    if (name_.empty() || name_ == "." || name_ == "..") {
        throw std::runtime_error(failure_ + ": not a file name");
    }
    struct stat st {};
    if (fstatat(folder_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            throw std::runtime_error(failure_ + ": a symbolic link, which is never followed");
        }
        if (!replace_) {
            throw std::runtime_error(failure_ + ": " + std::generic_category().message(EEXIST) +
                                     (exists_hint.empty() ? "" : " (" + exists_hint + ")"));
        }
        // Renaming over a device or a directory would destroy more than
        // an old key.
        if (!S_ISREG(st.st_mode)) {
            throw std::runtime_error(failure_ + ": not a regular file");
        }
    } else if (errno != ENOENT) {
        fail(errno);
    }
    if (faccessat(folder_, ".", W_OK | X_OK, 0) != 0) {
        fail(errno);
    }
}

destination::~destination()
{
    if (folder_ >= 0) {
        (void)close(folder_);
    }
}

void destination::refuse_to_replace(const source& in) const
{
    struct stat target {};
    if (is_standard_output(path_) || fstatat(folder_, name_.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    const auto [device, inode] = in.identity();
    if (target.st_dev == device && target.st_ino == inode) {
        throw std::runtime_error(failure_ + ": it is the file read");
    }
}

std::string destination::write(const line_writer& write) const
{
    if (is_standard_output(path_)) {
        write(stdout, failure_);
        return {};
    }
    return write_file(write);
}

namespace {

// A name for the file written beside the one it replaces. O_EXCL makes it
// safe whatever its letters; they only need to differ between tries. Its
// length does not depend on the target's, so any name that fits can be
// replaced.
std::string temporary_name(unsigned attempt)
{
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    int here = 0;
    std::uint64_t mix = (static_cast<std::uint64_t>(getpid()) << 32) ^ reinterpret_cast<std::uintptr_t>(&here) ^
                        (std::uint64_t{attempt} * 0x9e3779b97f4a7c15U);
    std::string name = ".keyfile-";
    for (int i = 0; i < 6; ++i) {
        name += letters[mix % (sizeof letters - 1)];
        mix /= sizeof letters - 1;
    }
    return name;
}

// The file at to, unless something is there already: by a rename that
// does not replace, or where the file system has none, by a second name.
int give_new_name(int folder, const std::string& from, const std::string& to)
{
    if (renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) {
        return -1;
    }
    (void)unlinkat(folder, from.c_str(), 0);
    return 0;
}

}  // namespace

int destination::create(std::string& name) const
{
    const foundation::stop_signals_held held;
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = -1;
    if (beside_) {
        for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            name = temporary_name(attempt);
            fd = openat(folder_, name.c_str(), flags, private_mode);
            if (fd < 0 && errno != EEXIST) {
                break;
            }
        }
    } else {
        name = name_;
        fd = openat(folder_, name.c_str(), flags, mode_);
    }
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), failure_);
    }
    foundation::file_pending(folder_, name);
    return fd;
}

std::string destination::write_file(const line_writer& write) const
{
    auto fail = [this](int err) { throw std::system_error(err, std::generic_category(), failure_); };
    std::string name;
    const int fd = create(name);
    const unfinished_file unfinished;
    std::FILE* out = fdopen(fd, "w");
    if (out == nullptr || fchmod(fd, mode_) != 0) {
        const int err = errno;
        out != nullptr ? (void)std::fclose(out) : (void)close(fd);
        fail(err);
    }
    foundation::use_private_buffer(out);
    try {
        write(out, failure_);
    } catch (...) {
        (void)std::fclose(out);
        throw;
    }
    if (fsync(fd) != 0) {
        const int err = errno;
        (void)std::fclose(out);
        fail(err);
    }
    if (std::fclose(out) != 0) {
        fail(errno);
    }
    return put_in_place(name);
}

std::string destination::put_in_place(const std::string& name) const
{
    auto fail = [this](int err) { throw std::system_error(err, std::generic_category(), failure_); };
    if (beside_) {
        const foundation::stop_signals_held held;
        if ((replace_ ? renameat(folder_, name.c_str(), folder_, name_.c_str())
                      : give_new_name(folder_, name, name_)) != 0) {
            fail(errno);
        }
        unfinished_file::commit();
    }
    const int synced = fsync(folder_) == 0 ? 0 : errno;
    if (beside_) {
        // The new file is in place: the status must say so.
        return synced == 0 ? std::string()
                           : failure_ + ": it is in place, but its folder could not be synced: " +
                                 std::generic_category().message(synced);
    }
    // A crash now could lose the name: a new file that is not durable is
    // removed.
    if (synced != 0) {
        (void)unlinkat(folder_, name_.c_str(), 0);
        fail(synced);
    }
    unfinished_file::commit();
    return {};
}

}  // namespace keyfile
