#pragma once
// The progress line, on a terminal only: share done, keys found, speed,
// time left.
#include "keyaudit/audit.hpp"
#include "keyaudit/index_build.hpp"

namespace keyaudit {

void show_progress(const progress& p);
// An index's: seconds done, rate, time left.
void show_progress(const build_progress& p);
void clear_progress();

}  // namespace keyaudit
