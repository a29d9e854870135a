// keyaudit: finds the keys the clock-seeded generator made, and recovers them.
#include "keyaudit/commands.hpp"
#include "keyaudit/options.hpp"
#include "keyaudit/stop_signals.hpp"

int main(int argc, char** argv)
{
    return foundation::run_program(keyaudit::program, argc, argv, [](int count, char** words) {
        keyaudit::catch_stop_signals(false);
        return keyaudit::run(keyaudit::parse_options(count, words));
    });
}
