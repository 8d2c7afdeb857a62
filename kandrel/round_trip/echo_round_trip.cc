// Echo round trips over the system's own calls, never the interposed ones,
// so the library's traffic is neither traced nor diverted.
#include "echo_round_trip.hh"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "address_text.hh"
#include "elapsed_time.hh"
#include "filler.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "record_lines.hh"
#include "recording.hh"
#include "route_line.hh"
#include "routing_policy.hh"
#include "timelog.hh"
#include "trace.hh"

namespace {

// The echo of one round trip, zeroed. Round trips keep as much of it as the
// routing policy shows (all of it in the classic behaviour, with full
// coverage what its debug lines show), so a large send costs no more memory
// than that. Kept bytes live on
// the stack for a send of one chunk, in pages of their own for more. Never
// the heap: a round trip may run in a signal handler that interrupted the
// application inside malloc.
class echo_buffer {
public:
    enum keeping { as_the_behaviour_keeps, everything };
    explicit echo_buffer(size_t len, keeping keep = as_the_behaviour_keeps)
        : kept_(keep == as_the_behaviour_keeps ? std::min(len, routing().echo_kept_limit) : len)
    {
        if (kept_ <= sizeof small_) {
            std::memset(small_, 0, sizeof small_);
            data_ = small_;
            return;
        }
        void *pages = mmap(nullptr, kept_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages != MAP_FAILED) {
            data_ = static_cast<char *>(pages);
            mapped_ = kept_;
        }
    }
    ~echo_buffer()
    {
        if (mapped_ != 0) {
            munmap(data_, mapped_);
        }
    }
    echo_buffer(const echo_buffer &) = delete;
    echo_buffer &operator=(const echo_buffer &) = delete;

    char *data() const { return data_; }
    size_t kept() const { return kept_; }
    explicit operator bool() const { return data_ != nullptr; }

    // Where the echo's bytes from position on are received; count is cut to
    // what fits there. Bytes past the kept ones go to a scratch area.
    char *into(size_t position, size_t &count)
    {
        if (position < kept_) {
            count = std::min(count, kept_ - position);
            return data_ + position;
        }
        count = std::min(count, sizeof scratch_);
        return scratch_;
    }

private:
    size_t kept_;
    char small_[echo_chunk_size];
    char scratch_[echo_chunk_size];
    char *data_ = nullptr;
    size_t mapped_ = 0;
};

// How an exchange with the hop ended.
struct exchange_outcome {
    ssize_t result = 0;        // the operation's result
    bool reached = false;      // an echo came back, or the bound was waited out
    int error = 0;             // why not, when it did not
    bool out_of_step = false;  // a stream holds bytes of this exchange still in flight
    bool waited_out = false;   // the bound passed before the whole echo came back
};

// Errors after which a hop connection is of no further use.
bool connection_broken(int error)
{
    switch (error) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNREFUSED:
    case ECONNABORTED:
    case EBADF:
        return true;
    default:
        return false;
    }
}

// Drops what is already queued on s: the late echo of an earlier round trip
// that waited out its bound, or more than a hop was sent. Bounded, so a
// flooding hop cannot hold the round trip here.
void drain_stale(int s)
{
    char scratch[512];
    for (int i = 0; i < 256; ++i) {
        if (real_calls().recv(s, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) {
            return;
        }
    }
}

long elapsed_since(const timeval &start)
{
    return elapsed_ms_between(start, interval_clock_now());
}

// A round trip of len bytes waits at most the reply bound for each chunk's
// worth of data, whatever a trickling or flooding hop does.
long overall_limit_ms(size_t len)
{
    size_t chunks = len / echo_chunk_size + 1;
    return chunks > static_cast<size_t>(LONG_MAX / hop_reply_timeout_ms)
               ? LONG_MAX
               : static_cast<long>(chunks) * hop_reply_timeout_ms;
}

// Sends all of buf and reads as many bytes back. Sending and receiving are
// interleaved: writing everything first would deadlock once the echo fills
// both directions' socket buffers. The hop may vanish, so sends never raise
// SIGPIPE in the application. When a send fails, only what went out is
// waited for.
exchange_outcome stream_exchange(int s, const echo_source &source, size_t len, echo_buffer &echo)
{
    exchange_outcome outcome;
    size_t sent = 0, received = 0, expected = len;
    timeval start = interval_clock_now(), progress = start;
    long limit = overall_limit_ms(len);
    while (received < expected) {
        short ready =
            wait_for_hop_until(s, POLLIN | (sent < expected ? POLLOUT : 0), progress, hop_reply_timeout_ms);
        if (ready == 0 || elapsed_since(start) >= limit) {
            outcome.reached = true;
            outcome.waited_out = true;
            outcome.out_of_step = sent > received;
            outcome.result = -1;
            return outcome;
        }
        if (ready & POLLNVAL) {
            outcome.error = EBADF;
            break;
        }
        if ((ready & POLLOUT) && sent < expected) {
            size_t count = expected - sent;
            const char *bytes = source.at(sent, count);
            ssize_t n = real_calls().send(s, bytes, count, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                progress = interval_clock_now();
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                outcome.error = errno;
                expected = sent;
            }
        }
        if (!(ready & (POLLIN | POLLHUP | POLLERR)) || received >= expected) {
            continue;
        }
        size_t room = expected - received;
        char *into = echo.into(received, room);
        ssize_t n = real_calls().recv(s, into, room, MSG_DONTWAIT);
        if (n > 0) {
            received += static_cast<size_t>(n);
            progress = interval_clock_now();
        } else if (n == 0) {
            outcome.error = ECONNRESET;
            break;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            outcome.error = errno;
            outcome.result = n;
            break;
        }
    }
    outcome.reached = received > 0 || outcome.error == 0;
    outcome.out_of_step = received < sent;
    if (outcome.result == 0) {
        outcome.result = static_cast<ssize_t>(received);
    }
    return outcome;
}

// The stream exchange over the link, reopening a connection found broken
// before anything came back, once.
exchange_outcome stream_round_trip(hop_link &link, const echo_source &source, size_t len, echo_buffer &echo)
{
    if (len == 0) {
        return {0, true, 0, false};
    }
    for (int attempt = 0;; ++attempt) {
        int s = usable_socket(link);
        if (s < 0) {
            return {-1, false, errno, false};
        }
        drain_stale(s);
        exchange_outcome outcome = stream_exchange(s, source, len, echo);
        bool broken = !outcome.reached && connection_broken(outcome.error);
        if (broken || outcome.out_of_step) {
            discard_socket(link);
        }
        if (!broken || attempt == 1) {
            return outcome;
        }
    }
}

// Whether a datagram's sender is the hop's echo service.
bool from_hop(const sockaddr_storage &sender, socklen_t sender_len, const hop_link &link)
{
    return sender_len == link.hop_length && std::memcmp(&sender, link.hop, link.hop_length) == 0;
}

// What the chunks of a datagram round trip brought back: the total of the
// receive results and the address the last datagram came from.
struct datagram_echo {
    ssize_t c = 0;
    sockaddr_storage sender{};
    socklen_t sender_len = 0;
    bool reached = false;
    int error = 0;
    bool waited_out = false;

    const char *sender_text() const
    {
        return get_address(reinterpret_cast<const sockaddr *>(&sender), static_cast<int>(sender_len));
    }
};

// One chunk's echo: the next datagram from the hop within the reply bound
// that can be the echo of what was sent. On a socket not connected to the
// hop, datagrams from anywhere else are not the echo and are dropped.
ssize_t receive_chunk(int s, const hop_link &link, char *echo, const char *sent, size_t chunk_length,
                      int flags, datagram_echo &result, bool &waited_out)
{
    timeval start = interval_clock_now();
    for (;;) {
        short ready = wait_for_hop_until(s, POLLIN, start, hop_reply_timeout_ms);
        if (ready == 0) {
            waited_out = true;
            errno = ETIMEDOUT;
            return -1;
        }
        if (ready & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        result.sender_len = sizeof result.sender;
        ssize_t n = real_calls().recvfrom(s, echo, chunk_length, flags | MSG_DONTWAIT | MSG_TRUNC,
                                          reinterpret_cast<sockaddr *>(&result.sender), &result.sender_len);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (n >= 0 && ((!link.connected && !from_hop(result.sender, result.sender_len, link)) ||
                       !echo_of_chunk(echo, static_cast<size_t>(n), sent, chunk_length))) {
            std::memset(echo, 0, std::min(static_cast<size_t>(n), chunk_length));
            continue;
        }
        return n;
    }
}

// Sends len bytes chunk by chunk with send_chunk(s, position, length),
// taking one datagram back per chunk into the same place of echo. A chunk
// whose send failed is not waited for; after a chunk waited out the whole
// bound, the hop is taken as silent and no further chunk is sent. The loop
// keeps the names its debug line prints: len1 is the chunk's length, c1 its
// receive's result, c the running total of the c1 values.
template <typename SendChunk>
datagram_echo exchange_chunks(hop_link &link, const echo_source &source, size_t len, echo_buffer &echo,
                              int receive_flags, const char *operation, SendChunk send_chunk)
{
    datagram_echo result;
    if (len == 0) {
        result.reached = true;
        return result;
    }
    int s = usable_socket(link);
    if (s < 0) {
        result.error = errno;
        return result;
    }
    drain_stale(s);
    // All chunks at once, their echoes collected after, make a datagram of
    // any size one round trip; one chunk at a time makes one per chunk.
    bool at_once = routing().sends_datagram_chunks_at_once;
    size_t sent_until = 0;
    int send_error = 0;
    for (size_t position = 0; at_once && position < len; position += echo_chunk_size) {
        size_t len1 = echo_chunk_length(len, position);
        if (send_chunk(s, position, len1) < 0) {
            send_error = errno;
            break;
        }
        sent_until = position + len1;
    }
    for (size_t position = 0; position < len; position += echo_chunk_size) {
        size_t len1 = echo_chunk_length(len, position);
        bool waited_out = false;
        size_t room = len1;
        char *into = echo.into(position, room);
        size_t sent_length = len1;
        const char *sent = source.at(position, sent_length);
        bool chunk_sent = at_once ? position < sent_until : send_chunk(s, position, len1) >= 0;
        if (!chunk_sent && at_once) {
            errno = send_error;
        }
        ssize_t c1 =
            !chunk_sent ? -1 : receive_chunk(s, link, into, sent, room, receive_flags, result, waited_out);
        if (c1 >= 0 || waited_out) {
            result.reached = true;
        } else {
            result.error = errno;
        }
        result.c += c1;
        trace_debug("%s()\t:\tlen1=%zd c1=%zd, c=%zd\n", operation, static_cast<ssize_t>(len1), c1, result.c);
        if (waited_out) {
            result.waited_out = true;
            break;
        }
    }
    return result;
}

// Ends a round trip: the elapsed time on the trace and in "timelog", or,
// when the hop was never reached, why, and no record; and its line in the
// recording, when the run records. Writing the lines before this counts as
// part of the round trip's time.
void finish_round_trip(const hop_link &link, const char *operation, const timeval &start, size_t len,
                       bool reached, bool waited_out, int error)
{
    timeval end = interval_clock_now();
    long rtt_us = (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_usec - start.tv_usec);
    // On the stack: a round trip may run in a signal handler.
    char line[recording_line_size];
    std::size_t line_length = link.route == nullptr
                                  ? 0
                                  : recording_line_of(*link.route, len, rtt_us,
                                                      !reached     ? trip_outcome::unreachable
                                                      : waited_out ? trip_outcome::waited_out
                                                                   : trip_outcome::echoed,
                                                      line);
    if (!reached) {
        write_recording_line(line, line_length);
        const char *why = strerrordesc_np(error);
        trace(hop_not_reached_format, operation, why != nullptr ? why : "unknown error");
        return;
    }
    report_round_trip(operation, len, elapsed_ms_between(start, end), line, line_length);
}

}  // namespace

const char *echo_source::at(size_t position, size_t &count) const
{
    if (bytes_ != nullptr) {
        return bytes_ + position;
    }
    return filler_at(position, count);
}

ssize_t TCPecho(hop_link &link, const echo_source &source, size_t len)
{
    echo_buffer echo(len);
    if (!echo) {
        trace("TCPecho()\t:\tError in malloc\n");
        return -1;
    }
    trace_debug("TCPecho()\t:\tTCPecho called \n");
    timeval start = interval_clock_now();
    exchange_outcome outcome = stream_round_trip(link, source, len, echo);
    print_echo(echo_stream::output, "buf=", echo.data(), echo.kept());
    finish_round_trip(link, "TCPecho", start, len, outcome.reached, outcome.waited_out, outcome.error);
    return outcome.result;
}

ssize_t UDPecho(hop_link &link, const echo_source &source, size_t len, int flags)
{
    trace_debug("UDPecho()\t:\tUDPEcho called\n");
    echo_buffer echo(len);
    if (!echo) {
        trace("UDPecho()\t:\tError in malloc\n");
        return -1;
    }
    int hop_flags = flags & ~flags_kept_from_hop;
    timeval start = interval_clock_now();
    datagram_echo result = exchange_chunks(
        link, source, len, echo, hop_flags, "UDPecho", [&](int s, size_t position, size_t len1) {
            return real_calls().sendto(s, source.at(position, len1), len1, hop_flags | MSG_NOSIGNAL, link.hop,
                                       link.hop_length);
        });
    trace_debug("UDPecho()\t:\tReceived from %s\n", result.sender_text());
    print_echo(echo_stream::trace_debug, "UDPecho()\t:\t", echo.data(), echo.kept());
    finish_round_trip(link, "UDPecho", start, len, result.reached, result.waited_out, result.error);
    return result.c;
}

ssize_t UDPecho1(hop_link &link, const echo_source &source, size_t len)
{
    echo_buffer echo(len);
    if (!echo) {
        trace("UDPecho1()\t:\terror in malloc\n");
        return -1;
    }
    trace_debug("UDPecho1()\t:\tUDPecho1 called \n");
    timeval start = interval_clock_now();
    datagram_echo result =
        exchange_chunks(link, source, len, echo, 0, "UDPecho1", [&](int s, size_t position, size_t len1) {
            return real_calls().write(s, source.at(position, len1), len1);
        });
    print_echo_line("received from %s\n", result.sender_text());
    print_echo(echo_stream::output, "buf=", echo.data(), echo.kept());
    finish_round_trip(link, "UDPecho1", start, len, result.reached, result.waited_out, result.error);
    return result.c;
}

void connect_round_trip(hop_link &link)
{
    echo_buffer echo(1);
    stream_round_trip(link, echo_source::filler(), 1, echo);
}

void stream_message_round_trip(hop_link &link, const msghdr &msg, int flags)
{
    size_t total;
    if (!vector_length(msg.msg_iov, msg.msg_iovlen, total)) {
        return;
    }
    echo_buffer echo(total);
    int s = echo ? usable_socket(link) : -1;
    if (s < 0) {
        return;
    }
    drain_stale(s);
    // The copy sent carries neither the caller's destination nor its
    // ancillary data, and the echo lands in the library's own buffer, never
    // in the caller's.
    msghdr outgoing{};
    outgoing.msg_iov = msg.msg_iov;
    outgoing.msg_iovlen = msg.msg_iovlen;
    if (real_calls().sendmsg(s, &outgoing, (flags & ~flags_kept_from_hop) | MSG_NOSIGNAL) < 0) {
        return;
    }
    if (wait_for_hop(s, POLLIN) & (POLLIN | POLLHUP | POLLERR)) {
        size_t room = total;
        iovec into{echo.into(0, room), room};
        msghdr incoming{};
        incoming.msg_iov = &into;
        incoming.msg_iovlen = 1;
        real_calls().recvmsg(s, &incoming, MSG_DONTWAIT);
    }
}

void datagram_message_round_trip(hop_link &link, const msghdr &msg, int flags)
{
    size_t total;
    if (vector_length(msg.msg_iov, msg.msg_iovlen, total)) {
        bounce_payload(link, protocol_udp, {nullptr, msg.msg_iov, msg.msg_iovlen}, total, flags);
    }
}

bool send_would_block(int s, int flags)
{
    int status = real_calls().fcntl(s, F_GETFL);
    if (!(flags & MSG_DONTWAIT) && (status < 0 || !(status & O_NONBLOCK))) {
        return false;
    }
    pollfd watch{s, POLLOUT, 0};
    return poll(&watch, 1, 0) == 0;
}

size_t send_room(int s, int flags, size_t length)
{
    int status = real_calls().fcntl(s, F_GETFL);
    if (!(flags & MSG_DONTWAIT) && (status < 0 || !(status & O_NONBLOCK))) {
        return length;
    }
    int type = 0, buffer = 0, queued = 0;
    socklen_t size = sizeof type;
    if (real_calls().getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
        return length;
    }
    size = sizeof buffer;
    if (real_calls().getsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, &size) != 0 ||
        ioctl(s, SIOCOUTQ, &queued) != 0) {
        return length;
    }
    size_t room = static_cast<size_t>(buffer > queued ? buffer - queued : buffer);
    return std::min(length, room);
}

void bounce_payload(hop_link &link, int protocol, const send_payload &payload, size_t len, int flags)
{
    // A replayed run waits its recording's times and sends nothing to a hop.
    if (replaying() && link.route != nullptr) {
        replay_round_trip(*link.route, protocol == protocol_tcp ? "TCPecho" : "UDPecho", len);
        return;
    }
    auto bounce = [&](const echo_source &source) {
        if (protocol == protocol_tcp) {
            TCPecho(link, source, len);
        } else {
            UDPecho(link, source, len, flags);
        }
    };
    if (routing().bounces_filler || (payload.bytes == nullptr && payload.vector == nullptr)) {
        bounce(echo_source::filler());
    } else if (payload.bytes != nullptr) {
        bounce(echo_source::program_bytes(payload.bytes));
    } else {
        echo_buffer gathered(len, echo_buffer::everything);
        iovec local{gathered.data(), len};
        if (gathered &&
            (len == 0 || process_vm_readv(getpid(), &local, 1, payload.vector, payload.vector_length, 0) ==
                             static_cast<ssize_t>(len))) {
            bounce(echo_source::program_bytes(gathered.data()));
        }
    }
}
