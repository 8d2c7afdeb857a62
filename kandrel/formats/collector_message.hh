// The messages the library sends to kandrel-run's collector over a stream
// connection of each process's own: a header (one kind byte, the text's
// length as four bytes in the host's order), then the text as it would have
// gone into the run's file.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <span>

enum class collector_kind : char {
    timelog = 'T',    // one timelog record, then the round trip's recording line if any
    recording = 'R',  // one recording line (of a round trip that made no record)
    trace = 'L',      // trace text, for the trace file (-o)
    around = 'B',     // "BYTES TO HOP PROTOCOL": bytes a routed socket sent around the library
    unseen = 'U',     // "WHY:PATH": an exec'd program that runs without the library
};

constexpr std::size_t collector_header_size = 5;

// The largest text of one message; longer text is sent in pieces.
constexpr std::size_t collector_text_limit = 16 * 1024;

// Writes the header of a message of kind with length bytes of text.
void collector_header(collector_kind kind, std::uint32_t length, unsigned char *header);

// One message read back from a stream of them.
struct collector_message {
    collector_kind kind;
    std::span<const char> text;
};

// The first whole message at the start of bytes, if there is one: returns
// the bytes it takes (0 when the message is not whole yet).
std::size_t next_collector_message(std::span<const char> bytes, collector_message &message);

// The socket address of a collector named as in KANDREL_COLLECTOR ('@' for
// the abstract namespace's leading NUL); returns its length, 0 when the name
// is not an abstract one or does not fit.
socklen_t collector_address(const char *name, sockaddr_un &address);
