#pragma once
// Where a key comes from, and where it goes: standard output, or a file
// that appears only complete.
#include "keyfile/key_reader.hpp"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

namespace keyfile {

// A key file opened for reading, or standard input for "-".
class source {
public:
    // Throws std::system_error "cannot read NAME". An open broken off by a
    // signal (a FIFO waits for its writer) is taken up again unless stop is
    // given and set: then it throws interrupted.
    explicit source(const std::string& path, const stop_flag* stop = nullptr);
    ~source();
    source(const source&) = delete;
    source& operator=(const source&) = delete;

    // The path, or "(standard input)".
    const std::string& name() const { return name_; }

    // Reads the key; throws as read_key does.
    void read(parsed_key& key, const stop_flag* stop = nullptr) const;

    // The device and inode of what is read.
    std::pair<dev_t, ino_t> identity() const;

    // When the file was last changed, in seconds since the epoch.
    std::int64_t modified() const;

private:
    std::string name_;
    int fd_;
};

inline constexpr mode_t private_mode = 0600;
inline constexpr mode_t public_mode = 0644;

// Writes the lines to the stream it is given; throws std::system_error
// with the failure text when they could not be written.
using line_writer = std::function<void(std::FILE* out, const std::string& failure)>;

class destination {
public:
    // path "" or "-" is standard output. A file gets exactly mode, whatever
    // the umask; it is never written through a symbolic link, and never over
    // an existing file unless replace is set. noun names what is written in
    // messages ("the key"). Checks at once what it can before the key exists
    // and throws std::system_error: an existing file, a folder that is
    // missing, closed to us or that cannot be opened to be synced.
    // exists_hint says, after "File exists", what would replace it.
    // beside: a new file too is written beside its name and only then
    // given it (never over a file that appeared meanwhile), for a file
    // that takes long to write.
    destination(std::string path, mode_t mode, bool replace, const std::string& noun,
                const std::string& exists_hint = {}, bool beside = false);
    ~destination();
    destination(const destination&) = delete;
    destination& operator=(const destination&) = delete;

    // Throws when the file would replace the one in is read from.
    void refuse_to_replace(const source& in) const;

    // Runs write, then makes the file durable and puts it in place: a new
    // file is created with O_EXCL; a replaced one is written beside it and
    // renamed over it, every step relative to the folder opened once.
    // Throws std::system_error naming the file; on failure, or on a stop
    // signal that ends the run before the file is complete at its name, no
    // new file is left and an existing one is as it was. Returns a warning, or
    // nothing, when a replaced file is in place but its folder could not be
    // synced.
    std::string write(const line_writer& write) const;

private:
    int create(std::string& name) const;
    std::string write_file(const line_writer& write) const;
    std::string put_in_place(const std::string& name) const;

    std::string path_;
    std::string name_;  // in folder_
    mode_t mode_;
    bool replace_;
    bool beside_;
    std::string failure_;
    int folder_ = -1;
};

}  // namespace keyfile
