// Bounded waits for servers, files and namespaces to be ready.
#include "waiting.hh"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "netns.hh"
#include "process.hh"

namespace testsupport {
void wait_until(const std::function<bool()> &ready, const std::string &what, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(what + " was not ready within " + std::to_string(limit.count()) + " ms");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool tcp_accepts(const std::string &address, int port)
{
    sockaddr_in peer = ipv4_address(address, port);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = connect(s, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0;
    close(s);
    return connected;
}

bool tcp_listening(int port)
{
    return !run_program({.argv = {"ss", "-Hltn", "sport = :" + std::to_string(port)}}).out.empty();
}

bool udp_echoes(const std::string &address, int port)
{
    sockaddr_in peer = ipv4_address(address, port);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sendto(s, "ready?", 6, 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    pollfd answer{s, POLLIN, 0};
    bool answered = poll(&answer, 1, 20) == 1;
    close(s);
    return answered;
}

}  // namespace testsupport
