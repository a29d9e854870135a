#pragma once
// The progress line, on a terminal only: share done, keys found, speed,
// time left.
#include "keyaudit/audit.hpp"

namespace keyaudit {

void show_progress(const progress& p);
void clear_progress();

}  // namespace keyaudit
