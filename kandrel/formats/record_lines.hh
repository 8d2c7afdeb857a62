// The lines a round trip and the route load leave on the trace and in
// "timelog", as formats shared by the preloaded library and by kandrel-run
// supervising a program, so both write them byte for byte alike.
#pragma once

// A timed round trip: its TIME line (the operation's name, the elapsed
// milliseconds) and its timelog record (bytes, milliseconds).
inline constexpr char round_trip_time_format[] = "%s()\t:\tTIME=%ld. ms\n";
inline constexpr char timelog_record_format[] = "%zd bytes %ld ms\n";
// A round trip that never reached the hop: the operation and why.
inline constexpr char hop_not_reached_format[] = "%s()\t:\thop not reached: %s\n";

// The route load: the timelog opened, each line for this host or another,
// and each route stored with its addresses as text.
inline constexpr char timelog_opened_line[] = "init_route_tbl()\t:\ttimelog file opened\n";
inline constexpr char route_for_this_host_line[] = "init_route_tbl()\t:\tFrom matches myname\n";
inline constexpr char route_for_another_host_line[] = "init_route_tbl()\t:\tFrom doesnot match myname\n";
inline constexpr char route_added_format[] = "init_route_tbl()\t:\tAdded route (%s)=>(%s) : (%s)\n";

// The message for a name getaddrinfo could not resolve, as a format taking
// the name (some ignore it), or null for errors that go unreported.
const char *unresolved_name_format(int getaddrinfo_error);
