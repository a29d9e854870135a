#pragma once
// The one command that goes on after a stop: the command line as given,
// every option kept, with --resume at the first second not yet searched.
#include "keyaudit/options.hpp"

#include <optional>
#include <string>
#include <vector>

namespace keyaudit {

// next: where the search stopped, nothing when it had not begun; found:
// the seeds at which keys were found, by this run or the one it resumed.
std::string resume_command(const options& o, std::optional<std::uint32_t> next,
                           std::vector<std::uint32_t> found);

}  // namespace keyaudit
