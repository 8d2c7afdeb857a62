// Echo services that the routed-traffic tests bounce traffic off: the
// project's own test hop (echo_hop) and the system's standard echo service
// (inetd's internal echo), each started inside the test's namespaces.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "files.hh"
#include "process.hh"

namespace testsupport {

// How the test hop answers each TCP read and UDP datagram, after its wait.
enum class HopAnswer {
    echo,     // the bytes that came
    flood,    // the echo, then "<FLOOD>" three times: extra bytes on TCP, extra datagrams on UDP
    garbage,  // as many other bytes: hop_garbage, repeated as far as needed
    silence,  // nothing, on either protocol
};

// What a garbage-answering hop sends, from its first byte: terminal escapes,
// a line break and a forged trace line.
inline const std::string hop_garbage = "\x1b[2J\x1b]0;owned\x07\r\nsend()\t\t:\treturn value = 0\n\xff";

struct EchoHopOptions {
    std::string address;  // IPv4 or IPv6
    int port = 7;
    int delay_ms = 0;        // wait before answering each TCP read and UDP datagram
    bool silent_udp = false;  // never answer a datagram
    HopAnswer answer = HopAnswer::echo;
    int reset_after = -1;     // TCP: reset each connection at the read after this many (0: the first); -1 never
    bool delay_line = false;  // answer each read and datagram delay_ms after it came, not after the last answer
};

// One line of the hop's record: what one TCP read or one datagram carried.
struct HopRecord {
    std::string protocol;  // "tcp" or "udp"
    std::size_t count = 0;
    std::string bytes;     // unescaped
    bool operator==(const HopRecord &) const = default;
};

// The test hop, running until the object goes; the constructor returns once
// both of its sockets listen.
class EchoHop {
public:
    explicit EchoHop(const EchoHopOptions &options);

    // Every read and datagram received so far, in order of arrival, but the
    // one-byte echoes full coverage makes when a program connects over a
    // stream route (connect_echoes() counts those).
    std::vector<HopRecord> records() const;
    std::size_t connect_echoes() const;
    // The raw record file, escaped as the hop wrote it.
    std::string record_text() const;
    // The microseconds the hop really held back each answer.
    std::vector<long> waits_us() const;
    // The peer ("address port") of each TCP connection accepted so far.
    std::vector<std::string> connections() const;

private:
    ScratchDir dir_;
    std::unique_ptr<BackgroundProgram> program_;
};

// inetd with only the internal TCP and UDP echo services on one address, in
// the foreground. It needs a private /run (it always writes its pid file
// there), so the constructor mounts a fresh tmpfs over /run of the test's
// own mount namespace. Its UDP echo ignores loopback senders: put it on a
// veth address.
class InetdEcho {
public:
    explicit InetdEcho(const std::string &address);

private:
    ScratchDir dir_;
    std::unique_ptr<BackgroundProgram> program_;
};

// The hop's records of round trips of these lengths with full coverage: each
// bounces the library's filler (repeated past its size), never the
// program's bytes.
std::vector<HopRecord> filler_records(const std::string &protocol, const std::vector<long> &lengths);

// Parses record lines as echo_hop writes them.
std::vector<HopRecord> parse_hop_records(const std::string &text);

}  // namespace testsupport
