#pragma once
// Which seconds, and so which seeds, an audit searches.
#include <cstdint>
#include <string>
#include <vector>

namespace keyaudit {

inline constexpr std::int64_t last_seed = 0xffffffff;

// Seeds from first to last, both included.
struct window {
    std::uint32_t first;
    std::uint32_t last;
};

enum class bound { from, to };

// The second WHEN names: YYYY-MM-DD (its first second for --from, its last
// for --to), YYYY-MM-DDTHH:MM:SSZ, "YYYY-MM-DD HH:MM:SS UTC" (as reports
// write it) or @SECONDS, all UTC. Throws std::invalid_argument for anything
// else, and for a second outside
// 0 .. 2^32-1, the seeds a clock cut to 32 bits gives.
std::uint32_t parse_when(const std::string& when, bound which);

// "2023-11-14 22:13:20 UTC", or as format says (strftime's, of UTC).
inline constexpr const char* report_time = "%Y-%m-%d %H:%M:%S UTC";
inline constexpr const char* iso_time = "%Y-%m-%dT%H:%M:%SZ";
std::string utc_text(std::int64_t seconds, const char* format = report_time);

// The windows joined: sorted, without overlaps or touching neighbours.
std::vector<window> join_windows(std::vector<window> windows);

}  // namespace keyaudit
