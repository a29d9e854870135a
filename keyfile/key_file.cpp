#include "keyfile/key_file.hpp"

#include "keyfile/key_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// A hidden name beside the target, for the file that is renamed over it.
std::string temporary_name(const std::string& path)
{
    const std::filesystem::path target(path);
    return (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
}

// Removes the file it names when the write did not finish.
class unfinished_file {
public:
    explicit unfinished_file(std::string path) : path_(std::move(path)) {}
    ~unfinished_file()
    {
        if (!path_.empty()) {
            (void)unlink(path_.c_str());
        }
    }
    unfinished_file(const unfinished_file&) = delete;
    unfinished_file& operator=(const unfinished_file&) = delete;
    void keep() { path_.clear(); }

private:
    std::string path_;
};

// The new name is durable only once its directory is.
int sync_directory(const std::string& path)
{
    const int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int err = fsync(fd) == 0 ? 0 : errno;
    (void)close(fd);
    return err;
}

}  // namespace

source::source(const std::string& path)
    : name_(path == "-" ? "(standard input)" : path),
      fd_(path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC))
{
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

void source::read(read_key_result& key) const { read_key(fd_, name_, key); }

std::int64_t source::modified() const
{
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read " + name_);
    }
    return st.st_mtime;
}

destination::destination(std::string path, mode_t mode, bool replace, const std::string& noun)
    : path_(std::move(path)), mode_(mode), replace_(replace),
      failure_("cannot write " + noun + (is_standard_output(path_) ? "" : " to " + path_))
{
    if (is_standard_output(path_)) {
        return;
    }
    auto fail = [this](int err) { throw std::system_error(err, std::generic_category(), failure_); };
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
        if (!replace_) {
            fail(EEXIST);
        }
        // Renaming over a device, a link or a directory would destroy more
        // than an old key.
        if (!S_ISREG(st.st_mode)) {
            throw std::runtime_error(failure_ + ": not a regular file");
        }
    } else if (errno != ENOENT) {
        fail(errno);
    }
    if (access(directory_of(path_).c_str(), W_OK | X_OK) != 0) {
        fail(errno);
    }
}

void destination::write(const line_writer& write) const
{
    if (is_standard_output(path_)) {
        write(stdout, failure_);
    } else {
        write_file(write);
    }
}

void destination::write_file(const line_writer& write) const
{
    auto fail = [this](int err) { throw std::system_error(err, std::generic_category(), failure_); };
    std::string made = replace_ ? temporary_name(path_) : path_;
    const int fd = replace_ ? mkostemp(made.data(), O_CLOEXEC)
                            : open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   mode_);
    if (fd < 0) {
        fail(errno);
    }
    unfinished_file unfinished(made);
    std::FILE* out = fdopen(fd, "w");
    if (out == nullptr || fchmod(fd, mode_) != 0) {
        const int err = errno;
        out != nullptr ? (void)std::fclose(out) : (void)close(fd);
        fail(err);
    }
    use_private_buffer(out);
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
    if (replace_ && std::rename(made.c_str(), path_.c_str()) != 0) {
        fail(errno);
    }
    if (replace_) {
        unfinished.keep();
    }
    // A crash now could lose the name, so a failure still counts; a new
    // file is then removed, a replaced one is already in place.
    if (const int err = sync_directory(path_); err != 0) {
        fail(err);
    }
    unfinished.keep();
}

}  // namespace keyfile
