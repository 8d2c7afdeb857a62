// The times in the two logs that users summarise: the library's "timelog"
// ("BYTES bytes MS ms" per round trip) and the client's "tavik.time"
// ("DEST<tab>MS. ms" per exchange).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace launcher {

struct timing_records {
    std::vector<long> ms;  // in file order
    std::size_t timelog_lines = 0;
    std::size_t tavik_time_lines = 0;
    std::size_t other_lines = 0;  // neither kind; blank lines are not counted
};

// The milliseconds of one timelog record, "COUNT bytes MS ms".
std::optional<long> timelog_ms(std::string_view line);

// The milliseconds of one tavik.time line, "DEST<tab>MS. ms"; DEST is
// whatever precedes the last tab.
std::optional<long> tavik_time_ms(std::string_view line);

// Every time in a file of either kind, or of both mixed.
timing_records read_timing_records(std::string_view text);

}  // namespace launcher
