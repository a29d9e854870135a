#include "keyfile/key_file.hpp"

#include "foundation/output.hpp"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
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

// A file this run has created and not yet put in place, for the signal
// handler: it removes the file and lets the signal end the run. Once the
// key is complete at its name, a signal changes nothing and the run ends
// as it would have. A handler the program had before goes on handling the
// signal whenever no file is being written.
enum file_state : int { idle, writing, committed };
volatile std::sig_atomic_t state = idle;
int pending_folder = -1;
std::array<char, NAME_MAX + 1> pending_name{};

constexpr std::array<int, 3> cleanup_signals{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, cleanup_signals.size()> before{};

void die_of(int signo)
{
    // Blocked while the handler runs, the signal is taken again at its
    // return, now with the default action.
    (void)std::signal(signo, SIG_DFL);
    (void)raise(signo);
}

extern "C" void on_signal(int signo)
{
    if (state == writing) {
        (void)unlinkat(pending_folder, pending_name.data(), 0);
        die_of(signo);
        return;
    }
    std::size_t i = 0;
    while (cleanup_signals[i] != signo) {
        ++i;
    }
    const auto earlier = before[i].sa_handler;
    if (earlier == SIG_IGN || (earlier == SIG_DFL && state == committed)) {
        return;
    }
    if (earlier == SIG_DFL) {
        die_of(signo);
        return;
    }
    earlier(signo);
}

void install_handlers()
{
    static bool installed = false;
    if (installed) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < cleanup_signals.size(); ++i) {
        (void)sigaction(cleanup_signals[i], &action, &before[i]);
    }
    installed = true;
}

// Keeps the handler from seeing a file half recorded.
class signals_held {
public:
    signals_held()
    {
        sigset_t held;
        sigemptyset(&held);
        for (const int signo : cleanup_signals) {
            sigaddset(&held, signo);
        }
        (void)pthread_sigmask(SIG_BLOCK, &held, &old_);
    }
    ~signals_held() { (void)pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t old_{};
};

// For the handler; called with the signals held.
void record_pending(int folder, const std::string& name)
{
    pending_folder = folder;
    const std::size_t size = name.copy(pending_name.data(), pending_name.size() - 1);
    pending_name[size] = '\0';
    state = writing;
}

// Removes the file being written unless it was put in place.
class unfinished_file {
public:
    unfinished_file() = default;
    // A file put in place stays committed: a signal until exit changes
    // nothing, and the run ends as it would have.
    ~unfinished_file()
    {
        const signals_held held;
        if (state == writing) {
            (void)unlinkat(pending_folder, pending_name.data(), 0);
            state = idle;
        }
    }
    unfinished_file(const unfinished_file&) = delete;
    unfinished_file& operator=(const unfinished_file&) = delete;

    // The key is complete at its name: nothing is undone from here.
    static void commit() { state = committed; }
};

// The name of the file written beside the one it replaces; its length does
// not depend on the target's, so any name that fits can be replaced.
std::string temporary_template(const std::string& path)
{
    return (std::filesystem::path(directory_of(path)) / ".keyfile-XXXXXX").string();
}

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

void source::read(read_key_result& key, const stop_flag* stop) const
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
    const std::string folder = directory_of(path_);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        fail(errno);
    }
    // The new name is durable only once the folder is synced, so a folder
    // that cannot be opened is refused now, before a key is written.
    folder_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
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
    if (is_standard_output(path_) || lstat(path_.c_str(), &target) != 0) {
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

int destination::create(std::string& name) const
{
    const signals_held held;
    install_handlers();
    int fd = -1;
    if (replace_) {
        std::string made = temporary_template(path_);
        fd = mkostemp(made.data(), O_CLOEXEC);
        name = base_name(made);
    } else {
        name = base_name(path_);
        fd = openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_);
    }
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), failure_);
    }
    record_pending(folder_, name);
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
    if (replace_) {
        const signals_held held;
        if (renameat(folder_, name.c_str(), folder_, base_name(path_).c_str()) != 0) {
            fail(errno);
        }
        unfinished_file::commit();
    }
    const int synced = fsync(folder_) == 0 ? 0 : errno;
    if (replace_) {
        // The new key is in place: the status must say so.
        return synced == 0 ? std::string()
                           : failure_ + ": it is in place, but its folder could not be synced: " +
                                 std::generic_category().message(synced);
    }
    // A crash now could lose the name: a new file that is not durable is
    // removed.
    if (synced != 0) {
        fail(synced);
    }
    unfinished_file::commit();
    return {};
}

}  // namespace keyfile
