// Parsing of one line of the route file: from host, to host, hop host,
// protocol, separated by white space; words after the fourth are ignored.
#pragma once

#include <cstddef>

// Room for each word, terminator included, as the route file format allows.
constexpr std::size_t host_word_size = 32;     // 31 characters
constexpr std::size_t protocol_word_size = 8;  // 7 characters

// The longest piece of a line read at once (127 characters and a NUL); the
// rest of a longer line is read as the next line.
constexpr std::size_t route_line_buffer_size = 128;

// With full coverage a host word is any host name or IPv6 address text, and
// a line may be as long as four such words.
constexpr std::size_t full_host_word_size = 256;  // 255 characters
constexpr std::size_t full_route_line_buffer_size = 1024;

// The most routes kept, and the most of a route file read: far more than any
// real table, and a bound on a file that never ends. Full coverage, whose
// lines may be long, reads more; a line beyond the limit is said in the trace.
constexpr int route_table_capacity = 64;
constexpr std::size_t route_file_read_limit = std::size_t{1} << 20;        // 1 MiB
constexpr std::size_t full_route_file_read_limit = std::size_t{16} << 20;  // 16 MiB

// Route protocols as stored in the table.
enum route_protocol { protocol_none = 0, protocol_tcp = 1, protocol_udp = 2 };

struct route_words {
    char from[full_host_word_size];
    char to[full_host_word_size];
    char hop[full_host_word_size];
    char protocol[protocol_word_size];
};

// Which words of a route line must resolve besides its destination. A host
// named by KANDREL_HOST need not be a resolvable name; a replayed run never
// reaches its hops, whose names may be gone.
struct route_names_needed {
    bool from = true;
    bool hop = true;
};

enum class route_line_status {
    ok,             // four words, each fits its field
    too_few_words,  // blank or fewer than four words
    word_too_long,  // a word would not fit its field: the line is not a route
};

// Splits a NUL-terminated line into its first four words; a host word may
// have host_room - 1 characters.
route_line_status parse_route_line(const char *line, route_words &words,
                                   std::size_t host_room = host_word_size);

// The protocol number of a protocol word: "TCP" 1, "UDP" 2, anything else 0.
int route_protocol_of(const char *word);
