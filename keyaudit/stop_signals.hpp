#pragma once
// SIGINT, SIGTERM and SIGHUP ask the audit to stop; they are recorded, not
// acted on, in the handler.
#include <atomic>

namespace keyaudit {

// The number of the first signal that asked to stop, or 0.
extern std::atomic<int> stop_signal;

// While the inputs are read and searched, a signal breaks off a blocked
// open or read, so that a FIFO or a pipe cannot hold the stop back. Once
// the search is over, nothing is stopped any more: restart makes system
// calls go on after the handler, so that the report is written whole.
void catch_stop_signals(bool restart) noexcept;

}  // namespace keyaudit
