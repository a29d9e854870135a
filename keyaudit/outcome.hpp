#pragma once
// How an audit ended, and the exit status that says so.

namespace keyaudit {

inline constexpr int exit_compromised = 1;
inline constexpr int exit_not_audited = 2;

struct outcome {
    bool compromised = false;  // a key's line says COMPROMISED
    int stopped_by = 0;        // the signal that stopped the audit before its end
    bool not_audited = false;  // an input, or the report, fell short
};

// 1 for a compromised key, whatever else happened; else 128+N for a stop
// signal N; else 2 when something was not audited; else 0.
constexpr int exit_status(const outcome& o)
{
    if (o.compromised) {
        return exit_compromised;
    }
    if (o.stopped_by != 0) {
        return 128 + o.stopped_by;
    }
    return o.not_audited ? exit_not_audited : 0;
}

}  // namespace keyaudit
