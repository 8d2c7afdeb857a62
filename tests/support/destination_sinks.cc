// A TCP receiver standing in for the destination of routed traffic.
#include "destination_sinks.hh"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "netns.hh"

namespace testsupport {
namespace {

constexpr int finish_limit_ms = 5000;

int bound_socket(int type, const std::string &address, int port)
{
    const SocketAddress local = socket_address(address, port);
    int s = socket(local.family(), type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (s < 0 || bind(s, local.get(), local.length) != 0) {
        throw std::runtime_error("cannot bind destination " + address);
    }
    return s;
}

}  // namespace

TcpSink::TcpSink(const std::string &address, int port)
    : listener_(bound_socket(SOCK_STREAM, address, port))
{
    if (listen(listener_, 128) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot listen on " + address);
    }
    thread_ = std::thread(&TcpSink::serve, this);
}

TcpSink::~TcpSink()
{
    streams();
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

void TcpSink::serve()
{
    struct connection {
        int fd;
        std::size_t index;
    };
    std::vector<connection> open;
    std::chrono::steady_clock::time_point deadline{};
    for (;;) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        for (const auto &c : open) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), 20);
        // The bound starts when finishing is first seen: the flag may be seen
        // before the wake byte arrives, and an unset deadline must not end
        // the connections at once.
        bool finishing = finishing_.load();
        if (finishing && deadline == std::chrono::steady_clock::time_point{}) {
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(finish_limit_ms);
        }
        bool accepted = false;
        for (int s; (s = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            std::lock_guard<std::mutex> hold(lock_);
            open.push_back({s, streams_.size()});
            streams_.emplace_back();
            accepted = true;
        }
        for (std::size_t i = 0; i < open.size();) {
            char chunk[65536];
            ssize_t n = recv(open[i].fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                std::lock_guard<std::mutex> hold(lock_);
                streams_[open[i].index].append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(open[i].fd);
                open.erase(open.begin() + static_cast<long>(i));
                continue;
            }
            ++i;
        }
        if (finishing && ((open.empty() && !accepted) ||
                          std::chrono::steady_clock::now() > deadline)) {
            break;
        }
    }
    for (const auto &c : open) {
        close(c.fd);
    }
}

std::vector<std::string> TcpSink::streams()
{
    if (thread_.joinable()) {
        finishing_ = true;
        char wake = 1;
        (void)!write(wake_[1], &wake, 1);
        thread_.join();
    }
    std::lock_guard<std::mutex> hold(lock_);
    return streams_;
}

TcpBacklog::TcpBacklog(const std::string &address, int port)
    : listener_(bound_socket(SOCK_STREAM, address, port))
{
    if (listen(listener_, 1) != 0) {
        throw std::runtime_error("cannot listen on " + address);
    }
}

TcpBacklog::~TcpBacklog()
{
    close(listener_);
}

}  // namespace testsupport
