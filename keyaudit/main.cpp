// keyaudit: finds the keys the clock-seeded generator made, and recovers them.
#include "keyaudit/commands.hpp"
#include "keyaudit/options.hpp"

#include <csignal>

int main(int argc, char** argv)
{
    foundation::stop_flag stop{0};
    return foundation::run_program(keyaudit::program, argc, argv, [&stop](int count, char** words) {
        // A reader that goes away is a failed write, not the end of the
        // audit: the status must still tell of a compromised key.
        (void)std::signal(SIGPIPE, SIG_IGN);
        const keyaudit::options o = keyaudit::parse_options(count, words);
        // An index half made is worth nothing: a stop ends the run, and
        // the file it was writing with it.
        const bool indexing = o.action == keyaudit::verb::make_index || o.action == keyaudit::verb::merge_index;
        foundation::own_stop_signals(indexing ? foundation::stop_policy::end_run : foundation::stop_policy::note, stop);
        foundation::stop_breaks_calls(true);
        return keyaudit::run(o, stop);
    });
}
