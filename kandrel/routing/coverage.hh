// Which routing behaviour the library runs. The classic one binds one socket
// per route and bounces only send, sendto, sendmsg and write; full coverage
// (KANDREL_COVERAGE=full) binds every socket whose peer is routed and bounces
// every way a program sends, for real programs. The path model
// (KANDREL_COVERAGE=path) is full coverage whose TCP connections to routed
// destinations go through the path relay instead (kandrel/path_model/).
#pragma once

enum class coverage_mode { classic, full, path };

// Read from the environment once, on first use.
coverage_mode coverage();

inline bool full_coverage()
{
    return coverage() != coverage_mode::classic;
}

inline bool path_model()
{
    return coverage() == coverage_mode::path;
}

// Whether full coverage bounces the program's own bytes off the hop
// (KANDREL_ECHO_PAYLOAD=1) rather than a filler of the same length. The
// classic behaviour always bounces the program's bytes.
bool echo_program_bytes();

// Whether round trips bounce the filler instead of the program's bytes.
inline bool bounces_filler()
{
    return full_coverage() && !echo_program_bytes();
}
