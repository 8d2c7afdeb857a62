// Echo round trips over the system's own calls, never the interposed ones,
// so the library's traffic is neither traced nor diverted.
#include "echo_round_trip.hh"

#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "address_text.hh"
#include "elapsed_time.hh"
#include "real_calls.hh"
#include "route_table.hh"
#include "trace.hh"

namespace {

// Waits for any of events on s within the reply bound; true when they came.
// A negative descriptor is not waited on: the call that follows fails at once.
bool wait_for(int s, short events)
{
    if (s < 0) {
        return true;
    }
    timeval start = interval_clock_now();
    for (;;) {
        long waited = elapsed_ms_between(start, interval_clock_now());
        if (waited >= hop_reply_timeout_ms) {
            return false;
        }
        pollfd watch{s, events, 0};
        int ready = poll(&watch, 1, static_cast<int>(hop_reply_timeout_ms - waited));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

// A zeroed receive buffer of len bytes (one at least, so a zero length
// still has a valid buffer), or null.
char *receive_buffer(size_t len)
{
    return static_cast<char *>(std::calloc(len != 0 ? len : 1, 1));
}

// The echo as text: up to its first zero byte, never past len bytes.
int printable_length(size_t len)
{
    return len > INT_MAX ? INT_MAX : static_cast<int>(len);
}

// Appends the record of one round trip to "timelog", flushed at once. With
// no timelog stream the record is dropped.
void log_round_trip(size_t len, long ms)
{
    FILE *stream = __atomic_load_n(&kandrel_timelog_stream, __ATOMIC_ACQUIRE);
    if (stream != nullptr) {
        std::fprintf(stream, "%zd bytes %ld ms\n", static_cast<ssize_t>(len), ms);
        std::fflush(stream);
    }
}

// Sends all of buf and reads as many bytes back. Sending and receiving are
// interleaved: writing everything first would deadlock once the echo fills
// both directions' socket buffers. The hop may vanish, so sends never raise
// SIGPIPE in the application.
ssize_t stream_exchange(int s, const char *buf, size_t len, char *echo)
{
    size_t sent = 0, received = 0;
    while (received < len) {
        short events = POLLIN | (sent < len ? POLLOUT : 0);
        if (!wait_for(s, events)) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (sent < len) {
            ssize_t n = real_calls().send(s, buf + sent, len - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                sent = len;  // the send failed: whatever can still be read back is taken
            }
        }
        ssize_t n = real_calls().recv(s, echo + received, len - received, MSG_DONTWAIT);
        if (n > 0) {
            received += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return n;
        }
    }
    return static_cast<ssize_t>(received);
}

// Writes all of nbytes, stopping at the first write that gives 0 or less.
ssize_t writen(int s, const char *ptr, size_t nbytes)
{
    size_t left = nbytes;
    while (left > 0) {
        ssize_t written = real_calls().write(s, ptr, left);
        if (written <= 0) {
            return written;
        }
        left -= static_cast<size_t>(written);
        ptr += written;
    }
    return static_cast<ssize_t>(nbytes - left);
}

// One datagram's echo into echo, waiting at most the reply bound.
ssize_t receive_chunk(int s, char *echo, size_t len1, int flags, sockaddr_in &sender, socklen_t &sender_len)
{
    sender_len = sizeof sender;
    if (!wait_for(s, POLLIN)) {
        errno = ETIMEDOUT;
        return -1;
    }
    return real_calls().recvfrom(s, echo, len1, flags, reinterpret_cast<sockaddr *>(&sender), &sender_len);
}

}  // namespace

bool wait_for_reply(int s)
{
    return wait_for(s, POLLIN);
}

ssize_t TCPecho(int s, const char *buf, size_t len)
{
    char *echo = receive_buffer(len);
    if (echo == nullptr) {
        trace("TCPecho()\t:\tError in malloc\n");
        return -1;
    }
    trace_debug("TCPecho()\t:\tTCPecho called \n");
    timeval start = interval_clock_now();
    ssize_t result = stream_exchange(s, buf, len, echo);
    print_output("buf=%.*s\n", printable_length(len), echo);
    long ms = elapsed_ms_between(start, interval_clock_now());
    trace("TCPecho()\t:\tTIME=%ld. ms\n", ms);
    log_round_trip(len, ms);
    std::free(echo);
    return result;
}

ssize_t UDPecho(int s, const char *buf, size_t len, int flags, const struct sockaddr *to, socklen_t tolen)
{
    trace_debug("UDPecho()\t:\tUDPEcho called\n");
    char *echo = receive_buffer(len);
    if (echo == nullptr) {
        trace("UDPecho()\t:\tError in malloc\n");
        return -1;
    }
    timeval start = interval_clock_now();
    ssize_t c = 0;
    sockaddr_in sender{};
    socklen_t sender_len = 0;
    for (size_t position = 0; position < len; position += echo_chunk_size) {
        size_t len1 = echo_chunk_length(len, position);
        real_calls().sendto(s, buf + position, len1, flags, to, tolen);
        ssize_t c1 = receive_chunk(s, echo + position, len1, flags, sender, sender_len);
        c += c1;
        trace_debug("UDPecho()\t:\tlen1=%zd c1=%zd, c=%zd\n", static_cast<ssize_t>(len1), c1, c);
    }
    trace_debug("UDPecho()\t:\tReceived from %s\n",
                get_address(reinterpret_cast<const sockaddr *>(&sender), static_cast<int>(sender_len)));
    trace_debug("UDPecho()\t:\t%.*s\n", printable_length(len), echo);
    long ms = elapsed_ms_between(start, interval_clock_now());
    trace("UDPecho()\t:\tTIME=%ld. ms\n", ms);
    log_round_trip(len, ms);
    std::free(echo);
    return c;
}

ssize_t UDPecho1(int s, const char *buf, size_t len)
{
    char *echo = receive_buffer(len);
    if (echo == nullptr) {
        trace("UDPecho1()\t:\terror in malloc\n");
        return -1;
    }
    trace_debug("UDPecho1()\t:\tUDPecho1 called \n");
    timeval start = interval_clock_now();
    ssize_t c = 0;
    sockaddr_in sender{};
    socklen_t sender_len = 0;
    for (size_t position = 0; position < len; position += echo_chunk_size) {
        size_t len1 = echo_chunk_length(len, position);
        writen(s, buf + position, len1);
        ssize_t c1 = receive_chunk(s, echo + position, len1, 0, sender, sender_len);
        c += c1;
        trace_debug("UDPecho1()\t:\tlen1=%zd c1=%zd, c=%zd\n", static_cast<ssize_t>(len1), c1, c);
    }
    print_output("received from %s\n",
                 get_address(reinterpret_cast<const sockaddr *>(&sender), static_cast<int>(sender_len)));
    print_output("buf=%.*s\n", printable_length(len), echo);
    long ms = elapsed_ms_between(start, interval_clock_now());
    trace("UDPecho1()\t:\tTIME=%ld. ms\n", ms);
    log_round_trip(len, ms);
    std::free(echo);
    return c;
}
