#include "keyaudit/commands.hpp"

#include "keyaudit/index_commands.hpp"
#include "keyaudit/run.hpp"

namespace keyaudit {

int run(const options& o, const foundation::stop_flag& stop)
{
    switch (o.action) {
    case verb::make_index:
        return make_index(o);
    case verb::merge_index:
        return merge_index(o);
    case verb::audit:
        return run_audit(o, stop);
    default:
        return foundation::print_help_or_version(program, o.action) ? 0 : 2;
    }
}

}  // namespace keyaudit
