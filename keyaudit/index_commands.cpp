#include "keyaudit/index_commands.hpp"

#include "foundation/diagnostics.hpp"
#include "keyaudit/index_build.hpp"
#include "keyaudit/progress.hpp"
#include "keyfile/key_file.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace keyaudit {

namespace {


keyfile::destination destination_of(const options& o)
{
    if ((o.index_out == "-") && isatty(STDOUT_FILENO) != 0) {
        throw foundation::usage_error("an index is not for a terminal: give a file");
    }
    // Hours of writing: the index is made beside its name.
    return {o.index_out, keyfile::public_mode, false, "the index", {}, true};
}

void write(const keyfile::destination& to, const index_entries& entries)
{
    const std::vector<entry_source*> streams = entries.sources();
    const std::string warning = to.write([&entries, &streams](std::FILE* out, const std::string& failure) {
        write_index(out, entries.shape, streams, failure);
    });
    if (!warning.empty()) {
        foundation::report(std::runtime_error(warning));
    }
}

}  // namespace

int make_index(const options& o)
{
    foundation::set_failure_status(foundation::exit_failure);
    build_settings settings;
    settings.seeds = {*o.from, *o.to};
    settings.libcs = o.libcs;
    settings.check = o.exact ? prime_check::exact : prime_check::base2;
    // Where the index goes is checked before the hours of work.
    const keyfile::destination to = destination_of(o);
    const bool progress_line = !o.quiet && isatty(STDERR_FILENO) != 0;
    const index_entries entries = build_index(settings, thread_count(o), [progress_line](const build_progress& p) {
        progress_line ? show_progress(p) : void();
    });
    if (progress_line) {
        clear_progress();
    }
    write(to, entries);
    return 0;
}

int merge_index(const options& o)
{
    foundation::set_failure_status(foundation::exit_failure);
    const keyfile::destination to = destination_of(o);
    std::vector<std::unique_ptr<index_file>> shards(o.files.size());
    std::transform(o.files.begin(), o.files.end(), shards.begin(),
                   [](const std::string& name) { return std::make_unique<index_file>(name); });
    try {
        write(to, merge_indexes(shards));
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(std::string("cannot merge the indexes: ") + e.what());
    }
    return 0;
}

}  // namespace keyaudit
