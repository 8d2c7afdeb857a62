// The datagrams the library sends to kandrel-run's collector: one kind byte,
// then the text as it would have gone into the run's file.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>

enum class collector_kind : char {
    hello = 'H',      // a process loaded its routes (no text)
    timelog = 'T',    // one timelog record
    recording = 'R',  // one recording line
    trace = 'L',      // trace text, for the trace file (-o)
    around = 'B',     // "BYTES TO HOP PROTOCOL": bytes a routed socket sent around the library
};

// The largest datagram, kind byte included; longer text is sent in pieces.
constexpr std::size_t collector_datagram_size = 16 * 1024;

// The socket address of a collector named as in KANDREL_COLLECTOR ('@' for
// the abstract namespace's leading NUL); returns its length, 0 when the name
// is not an abstract one or does not fit.
socklen_t collector_address(const char *name, sockaddr_un &address);
