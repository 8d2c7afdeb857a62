// The supervisor of a program run under the system-call filter: it takes
// each notified call, routes what reaches a routed destination through its
// hop as the library would, writes what it saw, and lets the call continue.
// Decisions are made on the thread that takes the notifications; a call's
// round trips are made on a thread of their own, which lets the call
// continue once they are done, so the calls of other threads and processes
// never wait for them.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "hop_exchange.hh"
#include "notified_call.hh"
#include "program_access.hh"
#include "run_records.hh"
#include "supervised_routes.hh"
#include "worker_pool.hh"

struct seccomp_notif;

class supervisor {
public:
    supervisor(int listener, std::vector<supervised_route> routes, run_records &records);
    supervisor(const supervisor &) = delete;
    supervisor &operator=(const supervisor &) = delete;

    // Takes one notification (the listener is readable), handles it and lets
    // its call continue.
    void handle_next();

    // How many io_uring rings the run's processes set up: calls made
    // through them reach the kernel unseen.
    unsigned rings_set_up() const { return rings_set_up_; }

    // How many processes of the run made a call the filter hands over.
    std::size_t processes_seen() const { return processes_seen_.size(); }

private:
    // What the supervisor knows of a process's descriptor: a socket bound to
    // a route (with its hop connection), or nothing to route.
    struct descriptor_state {
        std::shared_ptr<hop_binding> binding;
    };
    // What a call waits for before it continues: its binding's hop socket
    // opened (len unset), or a round trip of len bytes.
    // A send's round trip of len bytes; without len, a connect's: the hop
    // connection opened, and for a TCP socket over a stream route one small
    // unrecorded round trip (the handshake's).
    struct pending_trip {
        std::shared_ptr<hop_binding> binding;
        std::optional<std::size_t> len;
        bool handshake = false;
    };
    using descriptor_key = std::pair<pid_t, int>;

    void handle(const seccomp_notif &request);
    // Makes the trips of call id of process pid, then lets the call continue.
    void make_trips(pid_t pid, std::uint64_t id, std::vector<pending_trip> trips);
    void let_continue(std::uint64_t id);
    bool still_waiting(std::uint64_t id) const;
    // The binding a send without a destination on fd goes through, or null.
    std::shared_ptr<hop_binding> binding_of(pid_t pid, int fd);
    // fd bound to route, by a connect or a send naming a routed destination.
    std::shared_ptr<hop_binding> bind(pid_t pid, int fd, const supervised_route &route);
    const supervised_route *route_of_address(pid_t pid, std::uint64_t address, std::uint32_t length);
    void forget(pid_t pid, unsigned first, unsigned last);
    // Adds the round trip of a send of len bytes by call, unless the system
    // would refuse the send at once.
    void bounce(pid_t pid, const notified_call &call, std::shared_ptr<hop_binding> binding, std::size_t len);
    bool send_would_block(pid_t pid, const notified_call &call);
    // The total length of an iovec array in the program; false if unreadable.
    bool vector_length(pid_t pid, std::uint64_t vector, std::uint64_t count, std::size_t &total);
    void send_message(pid_t pid, const notified_call &call, std::uint64_t header_address);
    std::size_t sendfile_length(pid_t pid, const notified_call &call);

    int listener_;
    std::vector<supervised_route> routes_;
    run_records &records_;
    process_handles processes_;
    std::map<descriptor_key, descriptor_state> descriptors_;
    std::uint64_t current_id_ = 0;
    pid_t pid_of_call_ = 0;
    unsigned rings_set_up_ = 0;
    std::set<pid_t> processes_seen_;
    std::vector<pending_trip> trips_;  // of the call being handled
    worker_pool workers_;              // last: its threads end first
};
