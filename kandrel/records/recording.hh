// Recording and replaying round trips, with full coverage: kandrel-run
// --record names a file (KANDREL_RECORD) every process of the run appends a
// line to per round trip; --replay names one (KANDREL_REPLAY) whose times
// routed sends then wait, with no traffic to any hop.
#pragma once

#include <cstddef>

#include "recording_line.hh"
#include "route_table.hh"

// Opens the recording and loads the replay's times for the stored routes;
// the route load calls it once routes are stored. Nothing happens in the
// classic behaviour.
void start_recording_and_replay(rtbl_ent *routes, rtbl_ent *end);

// Whether routed sends replay recorded times instead of reaching hops.
bool replaying();

// Writes into line (recording_line_size bytes, on the caller's stack: a
// round trip may run in a signal handler) the recording line of one round
// trip of route; returns its length, 0 when the run does not record.
std::size_t recording_line_of(const rtbl_ent &route, size_t len, long rtt_us, trip_outcome outcome,
                              char *line);

// Appends a recording line (nothing for length 0).
void write_recording_line(const char *line, std::size_t length);

// Whether this run asks to replay (KANDREL_REPLAY with full coverage), known
// before the routes load: a replayed route's hop is then never resolved.
bool replay_asked();

// A replayed round trip of route: waits the route's next recorded time, then
// writes the TIME line (as operation) and the timelog record. Returns len.
ssize_t replay_round_trip(const rtbl_ent &route, const char *operation, size_t len);
