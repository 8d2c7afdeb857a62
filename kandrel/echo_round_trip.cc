// Echo round trips over the system's own calls, never the interposed ones,
// so the library's traffic is neither traced nor diverted.
#include "echo_round_trip.hh"

#include <netinet/in.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "address_text.hh"
#include "elapsed_time.hh"
#include "real_calls.hh"
#include "hop_socket.hh"
#include "timelog.hh"
#include "trace.hh"

namespace {

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

// Sends all of buf and reads as many bytes back. Sending and receiving are
// interleaved: writing everything first would deadlock once the echo fills
// both directions' socket buffers. The hop may vanish, so sends never raise
// SIGPIPE in the application.
ssize_t stream_exchange(int s, const char *buf, size_t len, char *echo)
{
    size_t sent = 0, received = 0;
    while (received < len) {
        short ready = wait_for_hop(s, POLLIN | (sent < len ? POLLOUT : 0));
        if (ready == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (ready & POLLOUT) {
            ssize_t n = real_calls().send(s, buf + sent, len - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                sent = len;  // the send failed: whatever can still be read back is taken
            }
        }
        if (!(ready & (POLLIN | POLLHUP | POLLERR))) {
            continue;
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
    if (wait_for_hop(s, POLLIN) == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    return real_calls().recvfrom(s, echo, len1, flags, reinterpret_cast<sockaddr *>(&sender), &sender_len);
}

// What the chunks of a datagram round trip brought back: the total of the
// receive results and the address the last datagram came from.
struct datagram_echo {
    ssize_t c = 0;
    sockaddr_in sender{};
    socklen_t sender_len = 0;

    const char *sender_text() const
    {
        return get_address(reinterpret_cast<const sockaddr *>(&sender), static_cast<int>(sender_len));
    }
};

// Sends len bytes chunk by chunk with send_chunk(position, len1), taking one
// datagram back per chunk into the same place of echo.
template <typename SendChunk>
datagram_echo exchange_chunks(int s, size_t len, char *echo, int receive_flags, const char *operation,
                              SendChunk send_chunk)
{
    datagram_echo result;
    for (size_t position = 0; position < len; position += echo_chunk_size) {
        size_t len1 = echo_chunk_length(len, position);
        send_chunk(position, len1);
        ssize_t c1 = receive_chunk(s, echo + position, len1, receive_flags, result.sender, result.sender_len);
        result.c += c1;
        trace_debug("%s()\t:\tlen1=%zd c1=%zd, c=%zd\n", operation, static_cast<ssize_t>(len1), c1, result.c);
    }
    return result;
}

// Ends a round trip: the elapsed time on the trace and in "timelog", and the
// receive buffer released. Writing the lines before this counts as part of
// the round trip's time.
void finish_round_trip(const char *operation, const timeval &start, size_t len, char *echo)
{
    long ms = elapsed_ms_between(start, interval_clock_now());
    trace("%s()\t:\tTIME=%ld. ms\n", operation, ms);
    log_round_trip(len, ms);
    std::free(echo);
}

// The total length of a message's data, or false when it has none that could
// be sent (no vector, or lengths that overflow).
bool message_length(const msghdr &msg, size_t &total)
{
    total = 0;
    if (msg.msg_iov == nullptr && msg.msg_iovlen != 0) {
        return false;
    }
    for (size_t i = 0; i < msg.msg_iovlen; ++i) {
        if (__builtin_add_overflow(total, msg.msg_iov[i].iov_len, &total)) {
            return false;
        }
    }
    return true;
}

// Copies a message's data into one buffer of the library's. The kernel reads
// the application's vectors, so a bad pointer there gives an error instead
// of a crash, as it would for the application's own call.
char *gather_message(const msghdr &msg, size_t total)
{
    char *gathered = static_cast<char *>(std::malloc(total != 0 ? total : 1));
    if (gathered == nullptr) {
        return nullptr;
    }
    iovec local{gathered, total};
    if (total != 0 &&
        process_vm_readv(getpid(), &local, 1, msg.msg_iov, msg.msg_iovlen, 0) != static_cast<ssize_t>(total)) {
        std::free(gathered);
        return nullptr;
    }
    return gathered;
}

}  // namespace

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
    finish_round_trip("TCPecho", start, len, echo);
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
    datagram_echo result = exchange_chunks(s, len, echo, flags, "UDPecho", [&](size_t position, size_t len1) {
        real_calls().sendto(s, buf + position, len1, flags, to, tolen);
    });
    trace_debug("UDPecho()\t:\tReceived from %s\n", result.sender_text());
    trace_debug("UDPecho()\t:\t%.*s\n", printable_length(len), echo);
    finish_round_trip("UDPecho", start, len, echo);
    return result.c;
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
    datagram_echo result = exchange_chunks(s, len, echo, 0, "UDPecho1", [&](size_t position, size_t len1) {
        writen(s, buf + position, len1);
    });
    print_output("received from %s\n", result.sender_text());
    print_output("buf=%.*s\n", printable_length(len), echo);
    finish_round_trip("UDPecho1", start, len, echo);
    return result.c;
}

void stream_message_round_trip(int hop_socket, const msghdr &msg, int flags)
{
    size_t total;
    if (!message_length(msg, total)) {
        return;
    }
    char *echo = static_cast<char *>(std::malloc(total != 0 ? total : 1));
    if (echo == nullptr) {
        return;
    }
    // The copy sent carries neither the caller's destination nor its
    // ancillary data, and the echo lands in the library's own buffer, never
    // in the caller's.
    msghdr outgoing{};
    outgoing.msg_iov = msg.msg_iov;
    outgoing.msg_iovlen = msg.msg_iovlen;
    real_calls().sendmsg(hop_socket, &outgoing, flags | MSG_NOSIGNAL);
    if (wait_for_hop(hop_socket, POLLIN) != 0) {
        iovec into{echo, total};
        msghdr incoming{};
        incoming.msg_iov = &into;
        incoming.msg_iovlen = 1;
        real_calls().recvmsg(hop_socket, &incoming, MSG_DONTWAIT);
    }
    std::free(echo);
}

void datagram_message_round_trip(int s, const msghdr &msg, int flags, const sockaddr *to, socklen_t tolen)
{
    size_t total;
    char *gathered = message_length(msg, total) ? gather_message(msg, total) : nullptr;
    if (gathered == nullptr) {
        return;
    }
    UDPecho(s, gathered, total, flags, to, tolen);
    std::free(gathered);
}
