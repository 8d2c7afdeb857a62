// The trace file that KANDREL_TRACE_FILE names, used instead of standard
// error: for programs whose standard error is their own log, or is closed.
#pragma once

#include <cstdio>

// The stream of this process's trace file, opened on first use (and anew in
// a child of fork, or after the program closed it or took its number); null
// when none is named or it cannot be opened, and the trace then goes to
// standard error.
FILE *trace_file();
