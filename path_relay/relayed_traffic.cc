// A relayed connection's traffic: what may be read, when each piece is
// delivered, windows and their acknowledgements, echoes, resets and ends.
#include "relay.hh"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The most filler bytes a connection's hop line has unechoed; a piece read
// beyond them is delivered all the same, without an echo of its own.
constexpr std::size_t echo_backlog_limit = 1u << 20;

// Closes with a reset, as a peer's refusal or reset shows on the other side.
void close_with_reset(int &fd)
{
    if (fd < 0) {
        return;
    }
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
    fd = -1;
}

}  // namespace

// The program's loopback connection is acknowledged only once the relay has
// read: while a short piece it wrote is unread, its kernel holds the next
// short one (Nagle's algorithm, unless TCP_NODELAY), so each short piece is
// read as the program wrote it and the model can hold it as a distant path
// would. Acknowledging at once would merge pieces; leaving the kernel to
// acknowledge later would stall the program for real.
void keep_acknowledgements_for_reads(int program_fd)
{
    int off = 0;
    setsockopt(program_fd, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
}

void acknowledge_what_was_read(int program_fd)
{
    int on = 1;
    setsockopt(program_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    keep_acknowledgements_for_reads(program_fd);
}

void path_relay::on_echo(const echo_owner &owner, std::size_t, micros round_trip_us)
{
    if (owner.lane == lane_datagram) {
        release_datagram(owner.connection, round_trip_us);
        return;
    }
    auto found = connections_.find(owner.connection);
    if (found == connections_.end()) {
        return;
    }
    relayed_connection &connection = *found->second;
    if (owner.lane == lane_handshake) {
        connection.handshake_echoed = true;
        decide_handshake(connection);
        return;
    }
    // A piece whose echo came back sooner than the estimate said leaves at
    // half its own round trip.
    for (held_chunk &chunk : connection.direction(owner.lane).queue) {
        if (chunk.sequence == owner.sequence && round_trip_us >= 0) {
            chunk.release_at = std::min(chunk.release_at, chunk.leaves_at + round_trip_us / 2);
            break;
        }
    }
}

int path_relay::source_of(const relayed_connection &connection, int lane_number) const
{
    return lane_number == lane_up ? connection.program_fd : connection.destination_fd;
}

int path_relay::target_of(const relayed_connection &connection, int lane_number) const
{
    return lane_number == lane_up ? connection.destination_fd : connection.program_fd;
}

micros path_relay::half_trip(const relayed_connection &connection) const
{
    micros own = connection.data_hop->round_trip();
    return (own > 0 ? own : connection.handshake_hop->round_trip()) / 2;
}

void path_relay::read_side(relayed_connection &connection, int lane_number)
{
    relay_direction &direction = connection.direction(lane_number);
    std::size_t room = direction.room();
    if (room == 0) {
        return;
    }
    std::vector<char> bytes(room);
    ssize_t got = recv(source_of(connection, lane_number), bytes.data(), room, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    micros now = now_us();
    micros round_trip = 2 * half_trip(connection);
    if (got <= 0) {
        direction.take_end(got == 0 ? held_chunk::kind::end : held_chunk::kind::reset, now, round_trip);
        return;
    }
    if (lane_number == lane_up) {
        acknowledge_what_was_read(connection.program_fd);
    }
    bytes.resize(static_cast<std::size_t>(got));
    bytes.shrink_to_fit();
    direction.acknowledge(now);
    const held_chunk &chunk = direction.take(std::move(bytes), now, ethernet_segment, round_trip);
    // The echoes measure the path; a hop slower than the traffic is not made
    // to carry all of it.
    if (connection.data_hop->backlog() < echo_backlog_limit) {
        connection.data_hop->send_echo({connection.id, lane_number, chunk.sequence}, chunk.bytes.size());
    }
}

void path_relay::deliver(relayed_connection &connection, int lane_number, micros now)
{
    relay_direction &direction = connection.direction(lane_number);
    int target = target_of(connection, lane_number);
    while (!direction.queue.empty() && direction.queue.front().release_at <= now) {
        held_chunk &chunk = direction.queue.front();
        if (chunk.what == held_chunk::kind::reset) {
            reset(connection);
            return;
        }
        if (chunk.what == held_chunk::kind::end) {
            shutdown(target, SHUT_WR);
            direction.end_delivered = true;
            direction.queue.pop_front();
            continue;
        }
        ssize_t sent = send(target, chunk.bytes.data() + chunk.written, chunk.bytes.size() - chunk.written,
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                reset(connection);  // the target reset: so does the other side
            }
            return;
        }
        chunk.written += static_cast<std::size_t>(sent);
        if (chunk.written < chunk.bytes.size()) {
            return;
        }
        std::size_t length = chunk.bytes.size();
        direction.held -= length;
        if (lane_number == lane_up) {
            records_.add(connection.registration, "TCP", length,
                         chunk.release_at - chunk.read_at + half_trip(connection));
        }
        direction.queue.pop_front();
    }
}

void path_relay::reset(relayed_connection &connection)
{
    close_with_reset(connection.program_fd);
    close_with_reset(connection.destination_fd);
    finish(connection);
}

void path_relay::finish(relayed_connection &connection)
{
    if (connection.control_fd >= 0) {
        close(connection.control_fd);
        connection.control_fd = -1;
    }
    for (int *fd : {&connection.program_fd, &connection.destination_fd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    connection.over = true;
}
