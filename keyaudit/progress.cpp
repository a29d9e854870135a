#include "keyaudit/progress.hpp"

#include <cstdio>

namespace keyaudit {

void show_progress(const progress& p)
{
    if (p.total == 0 || p.seconds <= 0) {
        return;
    }
    const double rate = static_cast<double>(p.searched) / p.seconds;
    const double left = rate > 0 ? static_cast<double>(p.total - p.searched) / rate : 0;
    const auto secs = static_cast<long>(left);
    (void)std::fprintf(stderr,
                       "\rkeyaudit: %5.1f%% of %llu seeds, %zu found, %.0f seeds/s, %ld:%02ld:%02ld left ",
                       100.0 * static_cast<double>(p.searched) / static_cast<double>(p.total),
                       static_cast<unsigned long long>(p.total), p.found, rate, secs / 3600,
                       secs / 60 % 60, secs % 60);
}

void clear_progress() { (void)std::fputs("\r\033[K", stderr); }

}  // namespace keyaudit
