#pragma once
// How an audit ended, and the exit status that says so.

#include "foundation/diagnostics.hpp"

namespace keyaudit {

struct outcome {
    bool compromised = false;  // a key's line says COMPROMISED
    int stopped_by = 0;        // the signal that stopped the audit before its end
    bool not_audited = false;  // an input, or the report, fell short
};

// 1 for a compromised key, whatever else happened; else 128+N for a stop
// signal N; else 2 when something was not audited, as for a usage error;
// else 0.
constexpr int exit_status(const outcome& o)
{
    if (o.compromised) {
        return foundation::exit_failure;
    }
    if (o.stopped_by != 0) {
        return 128 + o.stopped_by;
    }
    return o.not_audited ? foundation::exit_usage : 0;
}

}  // namespace keyaudit
