// The destination of routed stream traffic: a TCP receiver that keeps
// everything the application really sent, so tests can check that every real
// send arrived once and intact. (The datagram destination is a UdpEndpoint:
// its datagrams() are what arrived.)
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Accepts every connection and reads it to its end on a thread of its own,
// so large sends never stall on a full receive buffer. An IPv6 address of
// "::" takes IPv4 connections too.
class TcpSink {
public:
    TcpSink(const std::string &address, int port);
    ~TcpSink();
    TcpSink(const TcpSink &) = delete;
    TcpSink &operator=(const TcpSink &) = delete;

    // Waits (bounded) until every connection made so far has ended, then
    // returns what each carried, in order of acceptance.
    std::vector<std::string> streams();

private:
    void serve();

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> finishing_{false};
    std::mutex lock_;
    std::vector<std::string> streams_;
    std::thread thread_;
};

// A destination that listens and never accepts: what is sent to it stays in
// the socket buffers, so a non-blocking sender soon has no room.
class TcpBacklog {
public:
    TcpBacklog(const std::string &address, int port);
    ~TcpBacklog();
    TcpBacklog(const TcpBacklog &) = delete;
    TcpBacklog &operator=(const TcpBacklog &) = delete;

private:
    int listener_;
};

}  // namespace testsupport
