// Stream and datagram round trips through a hop, over the supervisor's own
// sockets.
#include "hop_exchange.hh"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "elapsed_time.hh"
#include "filler.hh"
#include "hop_exchange_rules.hh"
#include "route_line.hh"

namespace {

long ms_since(const timeval &start)
{
    return elapsed_ms_between(start, interval_clock_now());
}

// Waits for events on s until the bound from start passes; 0 then.
short wait_until(int s, short events, const timeval &start)
{
    for (;;) {
        long left = hop_reply_timeout_ms - ms_since(start);
        pollfd watch{s, events, 0};
        int ready = left > 0 ? poll(&watch, 1, static_cast<int>(left)) : 0;
        if (ready > 0) {
            return watch.revents;
        }
        if (ready == 0 || errno != EINTR) {
            return 0;
        }
    }
}

bool connection_broken(int error)
{
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ECONNREFUSED ||
           error == ECONNABORTED;
}

}  // namespace

hop_binding::~hop_binding()
{
    discard();
}

void hop_binding::discard()
{
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
}

void hop_binding::open()
{
    std::lock_guard<std::mutex> exclusive(exchange_);
    open_unlocked();
}

void hop_binding::open_unlocked()
{
    if (socket_ >= 0) {
        return;
    }
    int type = route_.protocol == protocol_tcp ? SOCK_STREAM : SOCK_DGRAM;
    socket_ = socket(route_.hop.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ < 0) {
        open_error_ = errno;
        return;
    }
    const auto *hop = reinterpret_cast<const sockaddr *>(&route_.hop);
    int error = connect(socket_, hop, route_.hop_length) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
        timeval start = interval_clock_now();
        socklen_t length = sizeof error;
        error = wait_until(socket_, POLLOUT, start) == 0                          ? ETIMEDOUT
                : getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error
                                                                                  : errno;
    }
    open_error_ = error;
    if (error != 0) {
        discard();
    }
}

trip_result hop_binding::round_trip(std::size_t len)
{
    std::lock_guard<std::mutex> exclusive(exchange_);
    timeval start = interval_clock_now();
    trip_result result = route_.protocol == protocol_tcp ? stream_trip(len) : datagram_trip(len);
    timeval end = interval_clock_now();
    result.rtt_us =
        static_cast<std::uint64_t>((end.tv_sec - start.tv_sec) * 1000000L + (end.tv_usec - start.tv_usec));
    result.ms = elapsed_ms_between(start, end);
    return result;
}

trip_result hop_binding::stream_trip(std::size_t len)
{
    trip_result result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        open_unlocked();
        if (socket_ < 0) {
            result.error = open_error_;
            return result;
        }
        char scratch[4096];
        while (recv(socket_, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
        std::size_t sent = 0, received = 0, expected = len;
        timeval progress = interval_clock_now();
        int error = 0;
        while (received < expected && error == 0) {
            short ready = wait_until(socket_, POLLIN | (sent < expected ? POLLOUT : 0), progress);
            if (ready == 0) {
                // The rest may still come: this connection is out of step.
                discard();
                result.reached = result.waited_out = true;
                return result;
            }
            if ((ready & POLLOUT) && sent < expected) {
                std::size_t count = expected - sent;
                const char *bytes = filler_at(sent, count);
                ssize_t n = send(socket_, bytes, count, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                    progress = interval_clock_now();
                } else if (n < 0 && errno != EAGAIN) {
                    error = errno;
                }
            }
            if (ready & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n =
                    recv(socket_, scratch, std::min(sizeof scratch, expected - received), MSG_DONTWAIT);
                if (n > 0) {
                    received += static_cast<std::size_t>(n);
                    progress = interval_clock_now();
                } else if (n == 0) {
                    error = ECONNRESET;
                } else if (errno != EAGAIN) {
                    error = errno;
                }
            }
        }
        if (error == 0) {
            result.reached = true;
            return result;
        }
        discard();
        result.error = error;
        result.reached = received > 0;
        // A connection found broken before anything came back is reopened once.
        if (result.reached || !connection_broken(error)) {
            return result;
        }
    }
    return result;
}

trip_result hop_binding::datagram_trip(std::size_t len)
{
    trip_result result;
    open_unlocked();
    if (socket_ < 0) {
        result.error = open_error_;
        return result;
    }
    char echo[echo_chunk_size];
    while (recv(socket_, echo, sizeof echo, MSG_DONTWAIT) >= 0) {
    }
    result.reached = len == 0;
    for (std::size_t position = 0; position < len; position += echo_chunk_size) {
        std::size_t len1 = echo_chunk_length(len, position);
        std::size_t count = len1;
        const char *sent = filler_at(position, count);
        if (send(socket_, sent, len1, MSG_NOSIGNAL) < 0) {
            result.error = errno;
            continue;
        }
        timeval start = interval_clock_now();
        for (;;) {
            if (wait_until(socket_, POLLIN, start) == 0) {
                result.reached = result.waited_out = true;
                return result;
            }
            ssize_t n = recv(socket_, echo, len1, MSG_DONTWAIT | MSG_TRUNC);
            if (n >= 0 && echo_of_chunk(echo, static_cast<std::size_t>(n), sent, len1)) {
                result.reached = true;
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                result.error = errno;
                break;
            }
        }
    }
    return result;
}
