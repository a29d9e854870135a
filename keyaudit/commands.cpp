#include "keyaudit/commands.hpp"

#include "keyaudit/run.hpp"

namespace keyaudit {

int run(const options& o, const foundation::stop_flag& stop)
{
    return foundation::print_help_or_version(program, o.action) ? 0 : run_audit(o, stop);
}

}  // namespace keyaudit
