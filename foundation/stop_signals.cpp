#include "foundation/stop_signals.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace foundation {

namespace {

static_assert(std::atomic<int>::is_always_lock_free);

constexpr std::array<int, 3> stop_signals{SIGINT, SIGTERM, SIGHUP};

stop_policy policy = stop_policy::end_run;
// Written by the handler, so that a wait begun after the signal ends too.
std::array<int, 2> wakeup{-1, -1};
stop_flag* flag = nullptr;
std::array<bool, stop_signals.size()> owned{};

enum file_state : int { none, writing, in_place };
volatile std::sig_atomic_t state = none;
int pending_folder = -1;
std::array<char, NAME_MAX + 1> pending_name{};

void note(int signo)
{
    int first = 0;
    (void)flag->compare_exchange_strong(first, signo);
}

extern "C" void on_stop(int signo)
{
    note(signo);
    if (wakeup[1] >= 0) {
        const int saved = errno;
        (void)!write(wakeup[1], "", 1);
        errno = saved;
    }
    if (policy == stop_policy::note || state == in_place) {
        return;
    }
    if (state == writing) {
        (void)unlinkat(pending_folder, pending_name.data(), 0);
    }
    // Blocked while the handler runs, the signal is taken again at its
    // return, now with the default action.
    (void)std::signal(signo, SIG_DFL);
    (void)raise(signo);
}

// Above the standard descriptors: one of them closed at the start must not
// become the pipe.
void make_wakeup() noexcept
{
    std::array<int, 2> ends{-1, -1};
    if (pipe2(ends.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    for (std::size_t i = 0; i < ends.size(); ++i) {
        wakeup[i] = fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
        (void)close(ends[i]);
    }
    if (wakeup[0] < 0 || wakeup[1] < 0) {
        wakeup = {-1, -1};
    }
}

void install(bool restart) noexcept
{
    struct sigaction action {};
    action.sa_handler = on_stop;
    action.sa_flags = restart ? SA_RESTART : 0;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < stop_signals.size(); ++i) {
        if (owned[i]) {
            (void)sigaction(stop_signals[i], &action, nullptr);
        }
    }
}

}  // namespace

void own_stop_signals(stop_policy policy_to_take, stop_flag& flag_to_set) noexcept
{
    policy = policy_to_take;
    flag = &flag_to_set;
    if (wakeup[0] < 0) {
        make_wakeup();
    }
    for (std::size_t i = 0; i < stop_signals.size(); ++i) {
        struct sigaction before {};
        owned[i] = sigaction(stop_signals[i], nullptr, &before) == 0 && before.sa_handler != SIG_IGN;
    }
    install(policy_to_take == stop_policy::end_run);
}

void stop_breaks_calls(bool yes) noexcept { install(!yes); }

bool readable_unless_stopped(int fd, const stop_flag& stop) noexcept
{
    for (;;) {
        if (stop != 0) {
            return false;
        }
        std::array<pollfd, 2> waits{{{fd, POLLIN, 0}, {wakeup[0], POLLIN, 0}}};
        const int ready = poll(waits.data(), wakeup[0] >= 0 ? 2 : 1, -1);
        if (ready > 0 && waits[1].revents == 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return true;  // the read that follows says what is wrong
        }
    }
}

stop_signals_held::stop_signals_held() noexcept
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signo : stop_signals) {
        sigaddset(&held, signo);
    }
    (void)pthread_sigmask(SIG_BLOCK, &held, &old_);
}

stop_signals_held::~stop_signals_held()
{
    (void)pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

void file_pending(int folder, const std::string& name) noexcept
{
    pending_folder = folder;
    const std::size_t size = name.copy(pending_name.data(), pending_name.size() - 1);
    pending_name[size] = '\0';
    state = writing;
}

void file_in_place() noexcept { state = in_place; }

void file_abandoned() noexcept
{
    if (state == writing) {
        (void)unlinkat(pending_folder, pending_name.data(), 0);
        state = none;
    }
}

}  // namespace foundation
