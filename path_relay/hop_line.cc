// The shared echo connection to a hop.
#include "hop_line.hh"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "filler.hh"

micros now_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

hop_line::hop_line(const sockaddr_storage &address, socklen_t length, int type, echo_done done)
    : address_(address), length_(length), type_(type), done_(std::move(done))
{
}

hop_line::~hop_line()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool hop_line::is(const sockaddr_storage &address, socklen_t length, int type) const
{
    return type == type_ && length == length_ && std::memcmp(&address, &address_, length) == 0;
}

bool hop_line::open()
{
    fd_ = socket(address_.ss_family, type_ | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return false;
    }
    if (type_ == SOCK_DGRAM) {
        if (connect(fd_, reinterpret_cast<const sockaddr *>(&address_), length_) != 0) {
            close(fd_);
            fd_ = -1;
            return false;
        }
        return true;
    }
    // Pieces are small and must leave at once, as the packets they stand for.
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd_, reinterpret_cast<const sockaddr *>(&address_), length_) != 0 && errno != EINPROGRESS) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    connecting_ = true;
    return true;
}

void hop_line::send_echo(const echo_owner &owner, std::size_t length)
{
    if (fd_ < 0 && !open()) {
        done_(owner, length, -1);
        return;
    }
    if (type_ == SOCK_DGRAM) {
        // One datagram per piece; one that cannot be sent is lost, as on
        // a path, and waited out.
        length = std::min(length, largest_echo_datagram);
        waiting_.push_back({owner, length, now_us()});
        backlog_ += length;
        ::send(fd_, filler_bytes(), length, MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    // Whole segments: an echo service holds a segment shorter than one
    // behind its unacknowledged answers (Nagle's algorithm), which over a
    // real distance adds a round trip to every piece echoed meanwhile.
    length = (length + segment_ - 1) / segment_ * segment_;
    waiting_.push_back({owner, length, now_us()});
    backlog_ += length;
    unsent_ += length;
    if (!connecting_) {
        flush();
    }
}

short hop_line::events() const
{
    if (fd_ < 0) {
        return 0;
    }
    return static_cast<short>(POLLIN | (connecting_ || unsent_ > 0 ? POLLOUT : 0));
}

void hop_line::on_ready(short revents)
{
    if (fd_ < 0) {
        return;
    }
    if (connecting_ && (revents & (POLLOUT | (POLLERR | POLLHUP)))) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            give_up();
            return;
        }
        connecting_ = false;
        int segment = 0;
        socklen_t segment_size = sizeof segment;
        if (getsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &segment, &segment_size) == 0 && segment > 0) {
            segment_ = std::min(static_cast<std::size_t>(segment), ethernet_segment);
        }
        // Pieces that waited for the connection count their round trip from
        // now: the hop's handshake is not the echo's.
        micros now = now_us();
        for (waiting_piece &piece : waiting_) {
            piece.sent_at = now;
        }
    }
    if (!connecting_ && (revents & (POLLIN | (POLLERR | POLLHUP)))) {
        take_echo();
    }
    if (fd_ >= 0 && !connecting_ && unsent_ > 0) {
        flush();
    }
}

void hop_line::flush()
{
    while (unsent_ > 0) {
        std::size_t offset = filler_at_ % filler_size;
        std::size_t piece = std::min(unsent_, filler_size - offset);
        ssize_t sent = ::send(fd_, filler_bytes() + offset, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                give_up();
            }
            return;
        }
        unsent_ -= static_cast<std::size_t>(sent);
        filler_at_ += static_cast<std::size_t>(sent);
    }
}

void hop_line::take_echo()
{
    static char scratch[65536];
    for (;;) {
        ssize_t got = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            give_up();
            return;
        }
        if (got < 0) {
            return;
        }
        micros now = now_us();
        auto left = static_cast<std::size_t>(got);
        if (type_ == SOCK_DGRAM) {
            // A datagram's echo is the oldest piece of its length; anything
            // else is nobody's.
            auto piece = std::find_if(waiting_.begin(), waiting_.end(),
                                      [&](const waiting_piece &waiting) { return waiting.length == left; });
            if (piece != waiting_.end()) {
                waiting_piece done = *piece;
                waiting_.erase(piece);
                backlog_ -= done.length;
                finish_piece(done, now);
            }
            continue;
        }
        // Bytes beyond what was sent belong to nothing and are dropped.
        while (left > 0 && !waiting_.empty()) {
            waiting_piece &head = waiting_.front();
            std::size_t taken = std::min(left, head.length - echoed_of_head_);
            left -= taken;
            echoed_of_head_ += taken;
            if (echoed_of_head_ == head.length) {
                waiting_piece piece = head;
                waiting_.pop_front();
                backlog_ -= piece.length;
                echoed_of_head_ = 0;
                finish_piece(piece, now);
            }
        }
    }
}

void hop_line::finish_piece(const waiting_piece &piece, micros now)
{
    micros sample = now - piece.sent_at;
    if (round_trip_us_ == 0 || sample <= round_trip_us_ ||
        now - round_trip_measured_at_ > round_trip_memory_us) {
        round_trip_us_ = sample;
        round_trip_measured_at_ = now;
    }
    done_(piece.owner, piece.length, sample);
}

void hop_line::give_up()
{
    close(fd_);
    fd_ = -1;
    connecting_ = false;
    unsent_ = 0;
    echoed_of_head_ = 0;
    backlog_ = 0;
    std::deque<waiting_piece> abandoned;
    abandoned.swap(waiting_);
    for (const waiting_piece &piece : abandoned) {
        done_(piece.owner, piece.length, -1);
    }
}

micros hop_line::deadline() const
{
    return waiting_.empty() ? -1 : waiting_.front().sent_at + echo_patience_us;
}

void hop_line::on_time(micros now)
{
    if (waiting_.empty() || now < deadline()) {
        return;
    }
    if (type_ == SOCK_STREAM) {
        give_up();
        return;
    }
    // A lost datagram is waited out alone: the others may still come.
    while (!waiting_.empty() && now >= deadline()) {
        waiting_piece lost = waiting_.front();
        waiting_.pop_front();
        backlog_ -= lost.length;
        done_(lost.owner, lost.length, -1);
    }
}
