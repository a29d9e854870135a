#include "keyaudit/inputs.hpp"

#include "foundation/diagnostics.hpp"
#include "keyaudit/stop_signals.hpp"
#include "keyfile/key_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace keyaudit {

namespace {

namespace fs = std::filesystem;

// A name to read, whether a folder walk found it, and why it cannot be
// read when that is known already.
struct named {
    std::string path;
    bool found_in_folder;
    std::string error;
};

window window_for(const options& o, const keyfile::source& in)
{
    const std::int64_t time = o.from && o.to ? 0 : in.modified();
    const std::int64_t before = std::int64_t{86400} * o.days;
    const std::int64_t first = o.from ? *o.from : std::clamp<std::int64_t>(time - before, 0, last_seed);
    const std::int64_t last = o.to ? *o.to : std::clamp<std::int64_t>(time, 0, last_seed);
    return {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
}

std::string period(const window& w)
{
    return "from " + utc_text(w.first) + " to " + utc_text(w.last);
}

void fail(input& in, const std::string& message, const std::string& reason)
{
    foundation::report(std::runtime_error(message));
    in.what = input::state::failed;
    in.error = reason;
}

void read_key(const options& o, input& in)
{
    const keyfile::source file(in.path, &stop_signal);
    keyfile::read_key_result key;
    file.read(key, &stop_signal);
    const window seeds = window_for(o, file);
    if (seeds.first > seeds.last) {
        const std::string why = "the window " + period(seeds) + " is empty";
        fail(in, in.name + ": " + why, why);
        return;
    }
    in.n = key.n;
    in.seeds = seeds;
    in.what = input::state::ready;
}

// Reads one input; false when it is a file of a folder that is no key.
bool read_input(const options& o, const named& what, input& in)
{
    if (!what.error.empty()) {
        fail(in, "cannot read " + in.name + ": " + what.error, what.error);
        return true;
    }
    try {
        std::error_code error;
        if (what.path != "-" && fs::is_directory(what.path, error)) {
            const std::string why = "a folder; -r audits the keys in it";
            fail(in, in.name + ": " + why, why);
            return true;
        }
        read_key(o, in);
    } catch (const keyfile::interrupted&) {
    } catch (const keyfile::key_error& e) {
        if (what.found_in_folder) {
            return false;
        }
        fail(in, e.what(), e.reason());
    } catch (const std::system_error& e) {
        fail(in, e.what(), e.code().message());
    }
    return true;
}

void walk(const std::string& folder, std::vector<named>& names)
{
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error) || it->is_symlink(error)) {
            found.push_back(it->path().string());
        }
    }
    if (error) {
        names.push_back({folder, false, error.message()});
        return;
    }
    std::sort(found.begin(), found.end());
    for (std::string& path : found) {
        // A link to a folder is not followed: is_regular_file follows it to
        // a file only.
        if (fs::is_regular_file(path, error)) {
            names.push_back({std::move(path), true, {}});
        }
    }
}

std::vector<std::string> listed(const options& o)
{
    const int fd = *o.files_from == "-" ? STDIN_FILENO : open(o.files_from->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot read the list " + *o.files_from);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR && stop_signal == 0) {
            continue;
        }
        if (got <= 0) {
            const int err = got < 0 ? errno : 0;
            if (fd != STDIN_FILENO) {
                (void)close(fd);
            }
            if (err != 0) {
                throw std::system_error(err, std::generic_category(), "cannot read the list " + *o.files_from);
            }
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    std::vector<std::string> names;
    const char end = o.null_separated ? '\0' : '\n';
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t to = std::min(text.find(end, from), text.size());
        if (to > from) {
            names.push_back(text.substr(from, to - from));
        }
        from = to + 1;
    }
    return names;
}

std::vector<named> names_of(const options& o)
{
    std::vector<std::string> given = o.files;
    if (o.files_from) {
        std::vector<std::string> list = listed(o);
        given.insert(given.end(), std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
    }
    std::vector<named> names;
    std::error_code error;
    for (std::string& path : given) {
        if (o.recursive && path != "-" && fs::is_directory(path, error)) {
            walk(path, names);
        } else {
            names.push_back({std::move(path), false, {}});
        }
    }
    return names;
}

}  // namespace

gathered gather_inputs(const options& o)
{
    gathered g;
    for (const named& what : names_of(o)) {
        input in;
        in.path = what.path;
        in.name = what.path == "-" ? "(standard input)" : what.path;
        if (stop_signal != 0 || read_input(o, what, in)) {
            g.inputs.push_back(std::move(in));
        } else {
            ++g.skipped;
        }
    }
    return g;
}

}  // namespace keyaudit
