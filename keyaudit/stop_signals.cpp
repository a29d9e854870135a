#include "keyaudit/stop_signals.hpp"

#include <signal.h>

namespace keyaudit {

std::atomic<int> stop_signal{0};

namespace {

static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void request_stop(int signo)
{
    int none = 0;
    (void)stop_signal.compare_exchange_strong(none, signo);
}

}  // namespace

void catch_stop_signals(bool restart) noexcept
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    action.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&action.sa_mask);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        (void)sigaction(signo, &action, nullptr);
    }
}

}  // namespace keyaudit
