// The one vocabulary of expected trace lines: every line the library writes,
// built from the values that vary, so a change to a line's text is made here
// and nowhere else.
//
// Each traced call gives its whole text (the line before the underlying call
// and the line after it); the sending calls are also split into their pieces
// (first line, routing lines, round trip, return line) and put together for a
// send on a route in one call: `lines::routed_send({lines::tcp}, 4, "hello")`.
#pragma once

#include <string>
#include <vector>

namespace lines {

// printf into a string.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

// A number as the lines print it; lengths the trace could not read are
// passed as the text "(null)" instead.
std::string num(long value);
inline const char *const null_text = "(null)";

// The first line of a text: for a program whose descriptors are not known,
// the line before the call is matched alone.
std::string first_line(const std::string &text);
std::string last_line(const std::string &text);

// ---- The route-table load that the first socket() of a process starts.
namespace loader {

extern const std::string timelog_opened;
extern const std::string no_route_file;  // debug: QUOR_ROUTE_TABLE is not set
extern const std::string debug_tail;
extern const std::string skipped;   // debug: a line of fewer than four words
extern const std::string not_mine;  // a line for another host
extern const std::string timelog_unopenable;  // on standard output
// Debug lines before the route lines.
std::string debug_head(const std::string &host_name);
// A stored route: the two unconditional lines, and with debug the family and
// protocol lines after them (protocol 1 TCP, 2 UDP, 0 anything else).
std::string stored(const std::string &from, const std::string &to, const std::string &hop);
std::string stored_debug(const std::string &from, const std::string &to, const std::string &hop, int protocol);
// A route line for this host whose to or hop name does not resolve.
std::string unknown_host(const std::string &name);
// debug: the route file named cannot be opened.
std::string unopenable(const std::string &path, int error);
// Full coverage: the route file goes on beyond the read limit.
extern const std::string route_file_cut;
// Full coverage: the recording KANDREL_REPLAY names cannot be read.
std::string cannot_replay(const std::string &path, const std::string &why);

}  // namespace loader

// process_vm_readv refused: the library reads the program's memory itself.
std::string memory_read_directly(const std::string &why);

// The load with no route file named.
std::string route_load(bool debug);

// ---- Traced calls, whole.
std::string socket(const std::string &family, const std::string &type, const std::string &protocol, long result);
// An AF_INET socket of protocol 0, as the routed tests open them.
std::string tcp_socket(long s);
std::string udp_socket(long s);
std::string socketpair(const std::string &domain, const std::string &type, const std::string &protocol, long result,
                       const std::string &sv0, const std::string &sv1);
std::string listen(long s, long backlog, long result);
std::string shutdown(long s, const std::string &how, long result);
std::string getsockopt(long s, const std::string &level, const std::string &optname, const std::string &optval,
                       const std::string &optlen, long result);
std::string setsockopt(long s, const std::string &level, const std::string &optname, const std::string &optval,
                       long optlen, long result);
std::string bind(long s, const std::string &name, long namelen, long result);
std::string accept(long s, const std::string &addrlen_before, long result, const std::string &addr,
                   const std::string &addrlen_after);
std::string getpeername(long s, const std::string &namelen_before, long result, const std::string &name,
                        const std::string &namelen_after);
std::string getsockname(long s, const std::string &namelen_before, long result, const std::string &name,
                        const std::string &namelen_after);
// bind to a loopback port of the kernel's choice, then getsockname for it.
std::string bound_on_loopback(long s, const std::string &port);
std::string close(long result);
std::string select(long result);

// Two-piece lines: the first piece is on the stream while the call blocks.
std::string recv_first(long s, const std::string &buf, long len, long flags);
std::string recv(long s, const std::string &buf, long len, long flags, long result);
std::string recvmsg_first(long s, const std::string &msg, long flags);
std::string recvmsg(long s, const std::string &msg, long flags, long result);
std::string second_piece(long result);

// recvfrom writes only while debug is on, each line tested by itself.
std::string recvfrom_called(bool debug);
std::string recvfrom_returning(bool debug);
std::string recvfrom(bool debug);

// ---- Route lookups (debug only).
// A lookup by destination that visits the entries whose to addresses are
// given, for the destination address name; found: the last one matched.
std::string lookup(const std::vector<std::string> &visited_to, const std::string &name, bool found);
// A lookup by descriptor that found its entry.
extern const std::string sock_entry_found;
// The signed 32-bit value of an address's four bytes read big-endian, as
// lookups print addresses.
long address_value(const std::string &dotted);

// ---- The sending calls and connect, in pieces. Names are address texts
// ("127.0.0.5:9000"); entry N is the N-th distinct route entry the run's trace
// names ("rtbl_ptr=<entry N>"), 0 none.
std::string connect_named(long s, const std::string &name, long namelen);  // debug
std::string connect_returned(long result);
// A connect no route names (debug adds "Table entry not found").
std::string connect(long s, const std::string &name, long namelen, long result, bool debug);

std::string send_first(long s, const std::string &msg, long len, long flags);
std::string send_returned(long result);
std::string send(long s, const std::string &msg, long len, long flags, long result);
std::string sendto_entry(long entry);  // debug: the route the destination lookup found
std::string sendto_returned(long result, bool debug);
// A sendto whose destination has no usable route (debug: entry, if found).
std::string sendto(long result, bool debug, long entry = 0);
std::string sendmsg_first(long s, const std::string &msg, long flags);
std::string sendmsg_returned(long result);
std::string sendmsg(long s, const std::string &msg, long flags, long result);
// write's debug lines; a descriptor with a route entry adds its lookup.
std::string write(bool debug, long entry = 0);

// ---- Routed sends: one round trip through the hop each.
enum class Via { tcp, udp };
inline constexpr Via tcp = Via::tcp;
inline constexpr Via udp = Via::udp;

// How a routed call shows: the route's protocol, debug on or off, the hop's
// echo service as the lines name it, and for a round trip that never reached
// the hop, the reason the trace gives.
struct Trip {
    Via via;
    bool debug = false;
    std::string hop = "10.77.0.2:7";
    std::string unreached = "";
};

// Where the routed tests' application keeps its data and message header, so
// that the pointers on its lines are the same on every run.
inline const std::string scenario_data = "0x10000000";
inline const std::string scenario_header = "0x14000000";
// And its unreadable data, once the step "baddata" ran.
inline const std::string scenario_bad_data = "0x18000000";

// The protocol line each call writes (debug) once it found its route.
std::string send_via(Via via);
std::string sendto_via(Via via);
std::string sendmsg_via(Via via);

// The round trips, timed with "TIME=#. ms". UDPecho sends in chunks of at
// most 1024 bytes; chunk_echoes are what each chunk's receive returned
// (empty: each chunk came back whole).
std::string tcp_echo(bool debug);
std::string udp_echo(const std::string &bytes, const std::string &hop, bool debug,
                     const std::vector<long> &chunk_echoes = {});
std::string udp_echo1(std::size_t length, bool debug, const std::vector<long> &chunk_echoes = {});
// The line of a round trip that never reached the hop, instead of its TIME.
std::string hop_not_reached(const std::string &operation, const std::string &reason);
// TCPecho or UDPecho of the trip's protocol; an unreached UDPecho's chunks
// were all sent in vain.
std::string round_trip(const Trip &trip, const std::string &bytes);

// A send on the route's socket s: first line, the routing and round trip, the
// return line; bytes is what the application sent.
std::string routed_send(const Trip &trip, long s, const std::string &bytes);
// A write on the route's socket, through hop socket s1.
std::string routed_write(const Trip &trip, long s1, const std::string &bytes, long entry = 1);
// A sendto the route's destination after the lookup given; UDP goes over
// the hop socket if connect opened one, else over the application's own.
std::string routed_sendto(const Trip &trip, const std::string &lookup_lines, const std::string &bytes,
                          bool over_hop_socket, long entry = 1);
// A sendmsg to the route's destination on socket s: the TCP round trip is
// untimed and unwritten, the UDP one is UDPecho's.
std::string routed_sendmsg(const Trip &trip, long s, const std::string &lookup_lines, const std::string &bytes);
// A connect that binds the route: s to name, hop socket s1 to the trip's hop.
std::string routed_connect(const Trip &trip, const std::string &lookup_lines, long s, const std::string &name,
                           long s1, long result);

// ---- Full coverage (KANDREL_COVERAGE=full): the send paths it adds, its
// binding of a connecting socket and what its round trips show with debug.
std::string writev_first(long s, const std::string &iov, long iovcnt);
std::string sendfile_first(long out, long in, long count);
std::string sendmmsg_first(long s, const std::string &msgvec, long vlen, long flags);
std::string splice_first(long in, long out, long len, long flags);
// The return line of writev, sendfile, sendmmsg or splice.
std::string returned(const std::string &call, long result);
std::string accept4(long s, const std::string &addrlen_before, long result, const std::string &addr,
                    const std::string &addrlen_after);
// debug: connect bound s to its route with hop socket s1 to hop ("[v6]:7" for IPv6).
std::string bound_connect(long s, long s1, const std::string &hop);
// debug: the echo of a stream round trip, as it shows on the trace.
std::string echo_shown(const std::string &shown);

}  // namespace lines
