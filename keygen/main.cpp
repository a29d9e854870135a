// keygen: makes a fresh Rabin key (P, Q and N = P*Q) as eight key lines.
#include "keygen/commands.hpp"
#include "keygen/options.hpp"

#include "foundation/stop_signals.hpp"

int main(int argc, char** argv)
{
    foundation::stop_flag stopped{0};
    return foundation::run_program(keygen::program, argc, argv, [&stopped](int count, char** words) {
        foundation::own_stop_signals(foundation::stop_policy::end_run, stopped);
        return keygen::run(keygen::parse_options(count, words));
    });
}
