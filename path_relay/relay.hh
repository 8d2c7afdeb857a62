// The path relay's event loop: the control socket where the library
// registers connects, the loopback listeners the program's sockets really
// connect to, the relayed connections and the hop lines.
#pragma once

#include <poll.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hop_line.hh"
#include "loopback_address.hh"
#include "relay_records.hh"
#include "relayed_connection.hh"

struct relay_settings {
    std::string control_name;  // abstract name, without the leading '@'
    int program_pidfd = -1;    // the run ends with it (and no connection left)
    int ready_fd = -1;         // "ready\n" goes here once everything listens
    std::string routes;        // the route file: its hops are connected before the program starts
};

// Lets fd share its port with the holding listener (SO_REUSEPORT).
void share_port(int fd);

// The acknowledgements of a program's connection: held until the relay
// reads, then sent (TCP_QUICKACK).
void keep_acknowledgements_for_reads(int program_fd);
void acknowledge_what_was_read(int program_fd);

class path_relay {
public:
    explicit path_relay(relay_records &records) : records_(records) {}
    // Listens; false, with errno, when it cannot.
    bool start(const relay_settings &settings);
    // Runs until the program is gone and no connection is left.
    void run();

private:
    void connect_hops_of_routes();
    void take_control();
    void read_control_message(int fd);
    relayed_connection &add_connection(path_registration &registration);
    bool has_listener(const path_registration &registration) const;
    void read_registration(int fd, path_registration &registration);
    void adopt(int fd, path_registration &registration, int accepted);
    relayed_connection *registered_for(std::uint16_t family, std::uint16_t port);
    void take_no_delay(const path_registration &change);
    void identify(int fd, const path_registration &question);
    void hold_datagram(const path_registration &registration, int socket, const char *bytes,
                       std::size_t length);
    void release_datagram(std::uint64_t id, micros round_trip_us);
    void take_program_connection(int listener);
    void on_echo(const echo_owner &owner, std::size_t length, micros round_trip_us);
    void decide_handshake(relayed_connection &connection);
    void attach_held(relayed_connection &connection);
    void read_side(relayed_connection &connection, int lane_number);
    void deliver(relayed_connection &connection, int lane_number, micros now);
    void reset(relayed_connection &connection);
    void finish(relayed_connection &connection);
    hop_line &hop_for(const sockaddr_storage &address, socklen_t length, int type);
    int source_of(const relayed_connection &connection, int lane_number) const;
    int target_of(const relayed_connection &connection, int lane_number) const;
    micros half_trip(const relayed_connection &connection) const;
    void poll_once();

    relay_records &records_;
    relay_settings settings_;
    int control_fd_ = -1;
    int listener_v4_ = -1;
    int listener_v6_ = -1;
    std::uint16_t port_v4_ = 0;
    int holding_v4_ = -1;  // see hold_on_loopback
    int holding_v6_ = -1;
    std::uint16_t holding_port_v4_ = 0;
    std::uint16_t holding_port_v6_ = 0;
    std::vector<int> holding_fillers_;
    std::uint16_t port_v6_ = 0;
    bool program_gone_ = false;
    std::uint64_t next_id_ = 1;
    std::vector<int> pending_controls_;
    std::map<std::uint64_t, std::unique_ptr<relayed_connection>> connections_;
    std::vector<std::unique_ptr<hop_line>> hops_;
    std::map<std::uint64_t, held_datagram> datagrams_;
};
