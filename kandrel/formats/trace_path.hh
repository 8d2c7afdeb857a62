// The name of the trace file: KANDREL_TRACE_FILE with "%p" standing for the
// process id, so each process of a run can write its own file.
#pragma once

#include <cstddef>

// Writes pattern into out with each "%p" replaced by pid and "%%" by "%";
// any other "%" stays as it is. False when the name does not fit in size
// bytes, terminator included.
bool expand_trace_path(const char *pattern, long pid, char *out, std::size_t size);
