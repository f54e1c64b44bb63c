// The server process's own figures from /proc: CPU time, memory, start time and descriptors.
#pragma once

#include <string_view>

#include "core/metrics.h"

namespace quarel::platform {

// Reads /proc/self; `valid` is false when /proc is not there to read.
core::ProcessSample read_process_stats();

// The parsing, apart from the reading: the text of /proc/self/stat, the boot time (btime of
// /proc/stat), clock ticks per second and page size. False when `stat` does not parse.
bool parse_proc_stat(std::string_view stat, double boot_time, long ticks_per_second, long page_size,
                     core::ProcessSample& out);

}  // namespace quarel::platform
