// Test hop: TCP and UDP echo service on one address that can wait before each
// answer, answer as a hostile hop would, and records every read and datagram
// it receives.
//
//   echo_hop --address A [--port P] [--delay-ms N] [--delay-line] [--silent-udp]
//            [--answer echo|flood|garbage TEXT|silence] [--reset-after N]
//            [--record FILE] [--wait-log FILE] [--ready-file FILE]
//            [--connection-log FILE]
//
// Answers: echo sends back what came; flood sends the echo and then more
// (extra bytes on TCP, extra datagrams on UDP); garbage sends as many bytes
// of TEXT, repeated as far as needed; silence sends nothing (--silent-udp:
// nothing on UDP only). --reset-after N resets each TCP connection (no
// answer, SO_LINGER 0) at the read after its first N.
//
// --delay-line echoes each TCP read and each datagram N ms after it arrived,
// whatever came before it, as a path holds each packet: pipelined pieces are
// not made to wait for each other's delay (echo answers only, not in the
// wait log).
//
// A is an IPv4 or IPv6 address. The connection log gets one line per
// accepted TCP connection: the peer's address and port.
//
// Record lines: "tcp|udp COUNT BYTES\n", BYTES with printable characters as
// they are, a backslash doubled and every other byte as \xNN. The wait log
// gets the microseconds really waited before each answer, one per line.
// "ready\n" goes to standard output (and the ready file is created) once both
// sockets listen.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct hop_options {
    std::string address;
    int port = 7;
    int delay_ms = 0;
    bool delay_line = false;
    bool silent_udp = false;
    std::string answer = "echo";
    std::string garbage;
    int reset_after = -1;  // never
    std::string record_path;
    std::string wait_log_path;
    std::string ready_path;
    std::string connection_log_path;
};

// Shared by the connection threads and the datagram loop: each line goes out
// in one append so lines of concurrent connections never mix.
struct hop_logs {
    std::mutex lock;
    int record_fd = -1;
    int wait_log_fd = -1;
    int connection_log_fd = -1;
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "echo_hop: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: echo_hop --address A [--port P] [--delay-ms N] [--delay-line] [--silent-udp]"
                 " [--answer echo|flood|garbage TEXT|silence] [--reset-after N]"
                 " [--record FILE] [--wait-log FILE] [--ready-file FILE] [--connection-log FILE]\n");
    std::exit(2);
}

hop_options parse_options(int argc, char **argv)
{
    hop_options options;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        bool has_value = i + 1 < argc;
        if (word == "--delay-line") {
            options.delay_line = true;
        } else if (word == "--silent-udp") {
            options.silent_udp = true;
        } else if (word == "--address" && has_value) {
            options.address = argv[++i];
        } else if (word == "--port" && has_value) {
            options.port = std::atoi(argv[++i]);
        } else if (word == "--delay-ms" && has_value) {
            options.delay_ms = std::atoi(argv[++i]);
        } else if (word == "--answer" && has_value) {
            options.answer = argv[++i];
            if (options.answer == "garbage") {
                options.garbage = i + 1 < argc ? argv[++i] : "";
            }
        } else if (word == "--reset-after" && has_value) {
            options.reset_after = std::atoi(argv[++i]);
        } else if (word == "--record" && has_value) {
            options.record_path = argv[++i];
        } else if (word == "--wait-log" && has_value) {
            options.wait_log_path = argv[++i];
        } else if (word == "--ready-file" && has_value) {
            options.ready_path = argv[++i];
        } else if (word == "--connection-log" && has_value) {
            options.connection_log_path = argv[++i];
        } else {
            usage();
        }
    }
    bool known_answer = options.answer == "echo" || options.answer == "flood" || options.answer == "silence" ||
                        (options.answer == "garbage" && !options.garbage.empty());
    if (options.address.empty() || !known_answer) {
        usage();
    }
    return options;
}

std::string escaped(const char *bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            text += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        }
    }
    return text;
}

void append_line(int fd, const std::string &line)
{
    if (fd >= 0 && write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        fail("write log");
    }
}

void record(hop_logs &logs, const char *protocol, const char *bytes, std::size_t count)
{
    std::string line = std::string(protocol) + " " + std::to_string(count) + " " +
                       escaped(bytes, count) + "\n";
    std::lock_guard<std::mutex> hold(logs.lock);
    append_line(logs.record_fd, line);
}

// Waits the configured time and logs how long the wait really was, so a
// benchmark can compare measured round trips with what the hop held back.
void log_wait_since(hop_logs &logs, std::chrono::steady_clock::time_point start)
{
    auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    std::lock_guard<std::mutex> hold(logs.lock);
    append_line(logs.wait_log_fd, std::to_string(waited.count()) + "\n");
}

void hold_answer(hop_logs &logs, int delay_ms)
{
    auto start = std::chrono::steady_clock::now();
    if (delay_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    }
    log_wait_since(logs, start);
}

int open_log(const std::string &path)
{
    if (path.empty()) {
        return -1;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail(path.c_str());
    }
    return fd;
}

sockaddr_storage service_address(const hop_options &options)
{
    sockaddr_storage address{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, options.address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(options.port));
    } else if (inet_pton(AF_INET6, options.address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(options.port));
    } else {
        usage();
    }
    return address;
}

socklen_t address_length(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::string peer_text(const sockaddr_storage &peer)
{
    char host[INET6_ADDRSTRLEN] = "";
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&peer);
    const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
    bool is_v6 = peer.ss_family == AF_INET6;
    inet_ntop(peer.ss_family, is_v6 ? static_cast<const void *>(&v6->sin6_addr) : &v4->sin_addr, host, sizeof host);
    return std::string(host) + " " + std::to_string(ntohs(is_v6 ? v6->sin6_port : v4->sin_port));
}

int bound_socket(int type, const sockaddr_storage &address)
{
    int s = socket(address.ss_family, type | SOCK_CLOEXEC, 0);
    if (s < 0) {
        fail("socket");
    }
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(s, reinterpret_cast<const sockaddr *>(&address), address_length(address)) != 0) {
        fail("bind");
    }
    return s;
}

bool write_all(int s, const char *bytes, std::size_t count)
{
    while (count > 0) {
        ssize_t n = send(s, bytes, count, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// What a flooding hop sends after each echo, on TCP as extra bytes, on UDP as
// that many extra datagrams.
const char flood_piece[] = "<FLOOD>";
constexpr int flood_pieces = 3;

// The answer to count bytes: the bytes themselves, or as many of garbage.
std::string answer_bytes(const hop_options &options, const char *bytes, std::size_t count)
{
    if (options.answer != "garbage") {
        return std::string(bytes, count);
    }
    std::string garbage(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        garbage[i] = options.garbage[i % options.garbage.size()];
    }
    return garbage;
}

// Ends the connection with a reset instead of an orderly close.
void reset_connection(int s)
{
    linger abrupt{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    close(s);
}

// Sends each piece its delay after it arrived, in order, on a thread of its
// own, however many pieces are waiting: a path's delay line.
class delay_line {
public:
    using sender = std::function<bool(const std::string &bytes, const sockaddr_storage &peer, socklen_t length)>;

    delay_line(int delay_ms, sender send)
        : delay_(std::chrono::milliseconds(delay_ms)), send_(std::move(send)), writer_([this] { write(); })
    {
    }
    // Sends what is still waiting, then returns.
    ~delay_line()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ended_ = true;
        }
        arrived_.notify_one();
        writer_.join();
    }

    void push(std::string bytes, const sockaddr_storage &peer = {}, socklen_t length = 0)
    {
        std::lock_guard<std::mutex> hold(lock_);
        pieces_.push_back({clock::now(), std::move(bytes), peer, length});
        arrived_.notify_one();
    }

private:
    using clock = std::chrono::steady_clock;
    struct piece {
        clock::time_point at;
        std::string bytes;
        sockaddr_storage peer;
        socklen_t length;
    };

    void write()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            arrived_.wait(hold, [&] { return ended_ || !pieces_.empty(); });
            if (pieces_.empty()) {
                return;
            }
            piece next = std::move(pieces_.front());
            pieces_.pop_front();
            hold.unlock();
            std::this_thread::sleep_until(next.at + delay_);
            bool sent = send_(next.bytes, next.peer, next.length);
            hold.lock();
            if (!sent) {
                return;
            }
        }
    }

    std::chrono::milliseconds delay_;
    sender send_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<piece> pieces_;
    bool ended_ = false;
    std::thread writer_;
};

void serve_delay_line(int s, hop_logs &logs, const hop_options &options)
{
    {
        delay_line line(options.delay_ms, [s](const std::string &bytes, const sockaddr_storage &, socklen_t) {
            return write_all(s, bytes.data(), bytes.size());
        });
        char buffer[65536];
        ssize_t n;
        while ((n = read(s, buffer, sizeof buffer)) > 0) {
            record(logs, "tcp", buffer, static_cast<std::size_t>(n));
            line.push(std::string(buffer, static_cast<std::size_t>(n)));
        }
    }
    close(s);
}

void serve_connection(int s, hop_logs &logs, const hop_options &options)
{
    if (options.delay_line) {
        serve_delay_line(s, logs, options);
        return;
    }
    char buffer[65536];
    ssize_t n;
    for (int reads = 0; (n = read(s, buffer, sizeof buffer)) > 0; ++reads) {
        record(logs, "tcp", buffer, static_cast<std::size_t>(n));
        if (reads == options.reset_after) {
            reset_connection(s);
            return;
        }
        if (options.answer == "silence") {
            continue;
        }
        hold_answer(logs, options.delay_ms);
        std::string answer = answer_bytes(options, buffer, static_cast<std::size_t>(n));
        for (int i = 0; options.answer == "flood" && i < flood_pieces; ++i) {
            answer += flood_piece;
        }
        if (!write_all(s, answer.data(), answer.size())) {
            break;
        }
    }
    close(s);
}

void answer_datagram(int s, const hop_options &options, const std::string &datagram,
                     sockaddr_storage peer, socklen_t peer_length)
{
    std::string answer = answer_bytes(options, datagram.data(), datagram.size());
    sendto(s, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&peer), peer_length);
    for (int i = 0; options.answer == "flood" && i < flood_pieces; ++i) {
        sendto(s, flood_piece, sizeof flood_piece - 1, 0, reinterpret_cast<sockaddr *>(&peer), peer_length);
    }
}

// Datagrams waiting for their answer, in order of arrival.
struct held_datagram {
    std::chrono::steady_clock::time_point due;
    std::string bytes;
    sockaddr_storage peer;
    socklen_t peer_length;
};

struct datagram_queue {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<held_datagram> held;
};

// Answers held datagrams in order, each when its own wait is over.
[[noreturn]] void answer_in_order(int s, hop_logs &logs, const hop_options &options, datagram_queue &queue)
{
    for (;;) {
        std::unique_lock<std::mutex> hold(queue.lock);
        queue.arrived.wait(hold, [&] { return !queue.held.empty(); });
        held_datagram next = std::move(queue.held.front());
        queue.held.pop_front();
        hold.unlock();
        std::this_thread::sleep_until(next.due);
        log_wait_since(logs, next.due - std::chrono::milliseconds(options.delay_ms));
        answer_datagram(s, options, next.bytes, next.peer, next.peer_length);
    }
}

// Each datagram is held from its own arrival, as a path holds its packets:
// datagrams that arrive together are answered together, in order.
[[noreturn]] void serve_datagrams(int s, hop_logs &logs, const hop_options &options)
{
    static datagram_queue queue;
    if (options.delay_ms > 0) {
        std::thread(answer_in_order, s, std::ref(logs), std::cref(options), std::ref(queue)).detach();
    }
    char buffer[65536];
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peer_length = sizeof peer;
        ssize_t n = recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&peer),
                             &peer_length);
        if (n < 0) {
            fail("recvfrom");
        }
        record(logs, "udp", buffer, static_cast<std::size_t>(n));
        if (options.silent_udp || options.answer == "silence") {
            continue;
        }
        std::string datagram(buffer, static_cast<std::size_t>(n));
        if (options.delay_ms == 0) {
            log_wait_since(logs, std::chrono::steady_clock::now());
            answer_datagram(s, options, datagram, peer, peer_length);
            continue;
        }
        std::lock_guard<std::mutex> hold(queue.lock);
        queue.held.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(options.delay_ms),
                              std::move(datagram), peer, peer_length});
        queue.arrived.notify_one();
    }
}

void announce_ready(const hop_options &options)
{
    if (!options.ready_path.empty()) {
        int fd = open(options.ready_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            fail(options.ready_path.c_str());
        }
        close(fd);
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    hop_options options = parse_options(argc, argv);
    static hop_logs logs;
    logs.record_fd = open_log(options.record_path);
    logs.wait_log_fd = open_log(options.wait_log_path);
    logs.connection_log_fd = open_log(options.connection_log_path);

    sockaddr_storage address = service_address(options);
    int listener = bound_socket(SOCK_STREAM, address);
    // Full coverage opens a hop connection per program socket, a thousand
    // in a burst: a short queue drops connects, which then wait out the
    // kernel's one-second retry.
    if (listen(listener, SOMAXCONN) != 0) {
        fail("listen");
    }
    int datagrams = bound_socket(SOCK_DGRAM, address);
    std::thread(serve_datagrams, datagrams, std::ref(logs), options).detach();
    announce_ready(options);

    for (;;) {
        sockaddr_storage peer{};
        socklen_t peer_length = sizeof peer;
        int s = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &peer_length, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            fail("accept");
        }
        {
            std::lock_guard<std::mutex> hold(logs.lock);
            append_line(logs.connection_log_fd, peer_text(peer) + "\n");
        }
        std::thread(serve_connection, s, std::ref(logs), std::cref(options)).detach();
    }
}
