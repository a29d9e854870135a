// keygen: makes a fresh Rabin key (P, Q and N = P*Q) as eight key lines.
#include "keygen/commands.hpp"
#include "keygen/options.hpp"

int main(int argc, char** argv)
{
    return foundation::run_program(keygen::program, argc, argv, [](int count, char** words) {
        return keygen::run(keygen::parse_options(count, words));
    });
}
