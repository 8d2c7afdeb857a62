// The round-trip log "timelog": created by the route-table load, one record
// appended per timed round trip, and exported to the program as `fd`.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

// Storage of the exported timelog stream `fd`; null until the load opened it.
extern "C" FILE *kandrel_timelog_stream;

// Creates or empties "timelog" in the working directory (with full coverage
// creates it or appends to it) and reports the outcome as the load's first
// line.
void open_timelog();

// The end of a timed round trip: its TIME line on the trace, as operation
// (TCPecho, UDPecho, UDPecho1), its timelog record, and its recording line
// when one is given (recording_length 0: none). Without a timelog the record
// is dropped.
void report_round_trip(const char *operation, size_t len, long ms, const char *recording_line = nullptr,
                       size_t recording_length = 0);
