#include "keyaudit/progress.hpp"

#include <cstdio>

namespace keyaudit {

namespace {

// Done per second, and the time left at that rate in whole seconds.
struct pace {
    double rate;
    long left;
};

pace pace_of(std::uint64_t done, std::uint64_t total, double seconds)
{
    const double rate = static_cast<double>(done) / seconds;
    return {rate, static_cast<long>(rate > 0 ? static_cast<double>(total - done) / rate : 0)};
}

}  // namespace

void show_progress(const progress& p)
{
    if (p.total == 0 || p.seconds <= 0) {
        return;
    }
    const pace at = pace_of(p.searched, p.total, p.seconds);
    (void)std::fprintf(stderr,
                       "\rkeyaudit: %5.1f%% of %llu seeds, %zu found, %.0f seeds/s, %ld:%02ld:%02ld left ",
                       100.0 * static_cast<double>(p.searched) / static_cast<double>(p.total),
                       static_cast<unsigned long long>(p.total), p.found, at.rate, at.left / 3600,
                       at.left / 60 % 60, at.left % 60);
}

void show_progress(const build_progress& p)
{
    if (p.total == 0 || p.seconds <= 0) {
        return;
    }
    const pace at = pace_of(p.done, p.total, p.seconds);
    (void)std::fprintf(stderr, "\rkeyaudit: %llu of %llu seconds, %.0f a second, %ld:%02ld:%02ld left ",
                       static_cast<unsigned long long>(p.done), static_cast<unsigned long long>(p.total), at.rate,
                       at.left / 3600, at.left / 60 % 60, at.left % 60);
}

void clear_progress() { (void)std::fputs("\r\033[K", stderr); }

}  // namespace keyaudit
