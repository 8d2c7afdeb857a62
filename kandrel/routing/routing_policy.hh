// The routing behaviour, chosen once when the library loads: a policy the
// exported calls consult at each moment routing cares about (a connect, a
// send, an accept, descriptors ending), and the choices of output and echo
// that differ between behaviours. Exported calls trace, ask the policy and
// make the real call; none of them asks which behaviour is on.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

#include "route_line.hh"
#include "route_reach.hh"
#include "route_table.hh"
#include "send_payload.hh"

// The exported call a send came through: the classic behaviour routes each
// of its four calls in a way of its own.
enum class send_call { send, sendto, sendmsg, write, writev, sendmmsg, sendfile, splice };

// One send as the program made it.
struct outgoing_send {
    send_call call;
    int s;
    const sockaddr *destination;  // named by the call; null for the socket's peer
    socklen_t destination_length;
    int flags;
    send_payload payload;             // the data, as far as the library may read it
    bool has_ancillary_data = false;  // a message's control data (sendmsg, sendmmsg)
};

struct routing_policy {
    // Output: whether writev, sendfile, sendmmsg, splice and accept4 are
    // traced and routed at all; whether trace lines show IPv6 addresses as
    // text; whether the library's standard-output lines go to the trace
    // instead (and only with debug), leaving the program's output its own.
    bool traces_added_calls;
    bool shows_ipv6_addresses;
    bool keeps_program_output;

    // Echoes: whether round trips bounce the filler rather than the
    // program's bytes, and how much of an echo is kept for the debug lines.
    bool bounces_filler;
    std::size_t echo_kept_limit;
    // Whether a datagram longer than one chunk sends all its chunks before
    // collecting their echoes (one round trip), or one chunk at a time.
    bool sends_datagram_chunks_at_once;

    // Records: how the load opens timelog (emptied, or appended to across
    // the processes of a run), and whether round trips are recorded and
    // replayed.
    int timelog_open_flags;
    bool records_round_trips;

    // Routes: the room of a route-file line and of a host word, the most of
    // the file read (and whether a file cut there is said on the trace), and
    // how a parsed line becomes a route (false: the route is left out).
    std::size_t route_line_room;
    std::size_t host_word_room;
    std::size_t route_file_limit;
    bool says_route_file_cut;
    bool (*store_route)(const route_words &words, route_names_needed needed, rtbl_ent &entry);
    // Whether KANDREL_HOST may name this host instead of its host name.
    bool takes_host_name_setting;

    // The moments: before a connect's real call; before a send's (false when
    // the send's data cannot be read, so that a call of several messages
    // stops there as the system does); after accept returned s; after the
    // program's descriptors first to last ended or took other files; before
    // the program closes a descriptor; after the program set an option.
    void (*before_connect)(int s, const struct sockaddr *name, socklen_t namelen);
    bool (*before_send)(const outgoing_send &send);
    void (*after_accept)(int s);
    void (*descriptors_ended)(unsigned first, unsigned last);
    void (*before_close)(int descriptor);
    // After setsockopt set an option of s.
    void (*after_option)(int s, int level, int optname);

    // As the library loads, before the program runs: the sockets the
    // process was started with. When a call that makes a descriptor found
    // none free: gives back descriptors of the library's own that it can do
    // without; true when it gave back any, and the call is worth making again.
    void (*at_load)();
    bool (*gives_back_descriptors)();

    // Calls a policy may carry itself instead of the system (the path
    // model's relay): whether it carries a connect, and that connect; a
    // send, true when carried whole (the exported call then makes no real
    // call and returns the send's length, which length gives). getpeername's
    // and getsockname's calls: the path model names a carried socket's real
    // destination and the relay's real local address on it.
    bool (*carries_connect)(int s, const struct sockaddr *name, socklen_t namelen);
    int (*carried_connect)(int s, const struct sockaddr *name, socklen_t namelen);
    bool (*carried_send)(const outgoing_send &send, size_t &length);
    int (*peer_name)(int s, struct sockaddr *name, socklen_t *namelen);
    int (*local_name)(int s, struct sockaddr *name, socklen_t *namelen);
};

// The policy of this process.
const routing_policy &routing();

// What a policy that carries no call of its own gives for those moments.
bool carries_no_connect(int s, const struct sockaddr *name, socklen_t namelen);
bool carries_no_send(const outgoing_send &send, size_t &length);
int system_peer_name(int s, struct sockaddr *name, socklen_t *namelen);
int system_local_name(int s, struct sockaddr *name, socklen_t *namelen);
void no_option_moment(int s, int level, int optname);
