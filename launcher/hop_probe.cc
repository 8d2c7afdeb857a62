// Echo checks of hops: resolve, connect or send, wait with poll, compare.
#include "hop_probe.hh"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace launcher {
namespace {

constexpr char echo_text[] = "kandrel-run hop check";
constexpr std::size_t echo_size = sizeof echo_text - 1;

double now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Waits for events on s until deadline_ms; false with errno ETIMEDOUT when it
// passes.
bool wait_for(int s, short events, double deadline_ms)
{
    for (;;) {
        int left = static_cast<int>(deadline_ms - now_ms());
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{s, events, 0};
        int ready = poll(&p, 1, left);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Connects (TCP) or sends and waits for the whole echo; errno says why not.
bool echo_once(int s, const addrinfo &hop, bool stream, double deadline_ms)
{
    if (connect(s, hop.ai_addr, hop.ai_addrlen) != 0 && errno != EINPROGRESS) {
        return false;
    }
    if (stream) {
        int error = 0;
        socklen_t length = sizeof error;
        if (!wait_for(s, POLLOUT, deadline_ms) || getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return false;
        }
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    if (send(s, echo_text, echo_size, MSG_NOSIGNAL) != static_cast<ssize_t>(echo_size)) {
        return false;
    }
    char echo[echo_size];
    std::size_t got = 0;
    while (got < echo_size) {
        if (!wait_for(s, POLLIN, deadline_ms)) {
            return false;
        }
        ssize_t n = recv(s, echo + got, echo_size - got, 0);
        if (n == 0) {
            errno = ECONNRESET;
            return false;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (std::memcmp(echo, echo_text, echo_size) != 0) {
        errno = EBADMSG;
        return false;
    }
    return true;
}

}  // namespace

bool host_resolves(const std::string &name)
{
    addrinfo *found = nullptr;
    bool resolved = getaddrinfo(name.c_str(), nullptr, nullptr, &found) == 0;
    if (found != nullptr) {
        freeaddrinfo(found);
    }
    return resolved;
}

hop_echo probe_hop(const std::string &hop, const std::string &protocol)
{
    hop_echo result;
    bool stream = protocol == "TCP";
    addrinfo hints{};
    hints.ai_socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (int error = getaddrinfo(hop.c_str(), "7", &hints, &found); error != 0) {
        result.failure = gai_strerror(error);
        return result;
    }
    char text[INET6_ADDRSTRLEN] = {};
    getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    result.address = text;
    int s = socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    double start = now_ms();
    result.reached = s >= 0 && echo_once(s, *found, stream, start + hop_check_wait_ms);
    if (result.reached) {
        result.ms = now_ms() - start;
    } else {
        result.failure = errno == ETIMEDOUT
                             ? "no echo within " + std::to_string(hop_check_wait_ms / 1000) + " s"
                             : std::strerror(errno);
    }
    if (s >= 0) {
        close(s);
    }
    freeaddrinfo(found);
    return result;
}

}  // namespace launcher
