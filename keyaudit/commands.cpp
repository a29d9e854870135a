#include "keyaudit/commands.hpp"

#include "keyaudit/run.hpp"

namespace keyaudit {

int run(const options& o, const foundation::stop_flag& stop)
{
    switch (o.action) {
    case verb::help:
        foundation::print_help(program);
        return 0;
    case verb::version:
        foundation::print_version(program);
        return 0;
    case verb::audit:
        break;
    }
    return run_audit(o, stop);
}

}  // namespace keyaudit
