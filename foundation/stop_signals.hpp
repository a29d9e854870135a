#pragma once
// SIGINT, SIGTERM and SIGHUP, owned in one place for both programs. A
// signal that was ignored when the program started stays ignored, as with
// nohup or a script's background job.
#include <signal.h>

#include <atomic>
#include <string>

namespace foundation {

// The number of the first stop signal, or 0; set by the handler.
using stop_flag = std::atomic<int>;

enum class stop_policy {
    // The run dies of the signal, after removing a file it is writing;
    // once that file is complete at its name, the signal changes nothing.
    end_run,
    // The signal is noted in the flag, and the program stops itself; a
    // file being written is completed.
    note,
};

// Takes the stop signals for the process; flag receives them. Call once,
// before any file is written; flag must outlive the run.
void own_stop_signals(stop_policy policy_to_take, stop_flag& flag_to_set) noexcept;

// Whether a stop breaks off a call that waits (the open of a FIFO, the
// read of a pipe) so that the program can act on it, or the call goes on
// after the handler, so that what is written is written whole.
void stop_breaks_calls(bool yes) noexcept;

// Waits until fd has something to read (or its end), or a stop signal
// has come; false for the stop. A signal just before the wait is not
// missed.
bool readable_unless_stopped(int fd, const stop_flag& stop) noexcept;

// Blocks the stop signals in this thread for its lifetime, so that the
// handler never sees a state half recorded.
class stop_signals_held {
public:
    stop_signals_held() noexcept;
    ~stop_signals_held();
    stop_signals_held(const stop_signals_held&) = delete;
    stop_signals_held& operator=(const stop_signals_held&) = delete;

private:
    sigset_t old_{};
};

// The file being written, for the handler: name in the folder open as
// folder. Call with the signals held. Once in place, a signal leaves it.
void file_pending(int folder, const std::string& name) noexcept;
void file_in_place() noexcept;
// Removes the pending file unless it was put in place.
void file_abandoned() noexcept;

}  // namespace foundation
