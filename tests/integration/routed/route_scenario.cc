// The application of the routed-traffic tests: an ordinary program that makes
// the socket calls its arguments name, in order, and prints what each call
// returned, so tests can run it under the preload library.
//
// Steps (each a word, some followed by their arguments):
//   debug=N            set the preloaded library's debug flag
//   timing             from now on, print how long each call took
//   tcp | udp          new AF_INET socket (protocol 0), becomes the current one
//   use=K              the K-th socket made (from 0) becomes the current one
//   fd=N               descriptor N becomes the current one
//   nonblock           make the current descriptor non-blocking
//   connect A:P        connect the current socket
//   send T | write T   send or write T on the current descriptor
//   sendto A:P T       sendto A:P
//   sendmsg A:P T      sendmsg with T gathered from two pieces; A:P "-" for none
//   close              close the current descriptor
//   threads N A:P K T  N threads each connect a TCP socket to A:P, send T K
//                      times and close
// Steps of the hostile-hop tests:
//   sendflags N T      send T with flags N
//   reply              wait up to a second for a datagram on the current
//                      socket; print its sender and bytes, or "no reply"
// T is literal text with \xNN escapes, or #N for N bytes of a letter pattern.
// Data and message headers sit at fixed addresses so that the pointers in
// trace lines are the same on every run.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uintptr_t data_address = 0x10000000;
constexpr uintptr_t header_address = 0x14000000;  // room for 64 MiB of data before it
constexpr std::size_t fixed_area_size = 0x4100000;

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "route_scenario: %s\n", why);
    std::exit(2);
}

std::string decoded_text(const std::string &word)
{
    if (!word.empty() && word[0] == '#') {
        std::string pattern(std::strtoul(word.c_str() + 1, nullptr, 10), '\0');
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            pattern[i] = static_cast<char>('a' + i % 26);
        }
        return pattern;
    }
    std::string text;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word.compare(i, 2, "\\x") == 0 && i + 3 < word.size()) {
            text += static_cast<char>(std::strtoul(word.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            text += word[i];
        }
    }
    return text;
}

// A:P as an internet socket address; "-" is no address at all.
bool parse_address(const std::string &word, sockaddr_in &address)
{
    if (word == "-") {
        return false;
    }
    auto colon = word.find(':');
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(word.c_str() + colon + 1)));
    if (colon == std::string::npos ||
        inet_pton(AF_INET, word.substr(0, colon).c_str(), &address.sin_addr) != 1) {
        usage("bad address");
    }
    return true;
}

class scenario {
public:
    scenario()
    {
        void *area = mmap(reinterpret_cast<void *>(data_address), fixed_area_size,
                          PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (area != reinterpret_cast<void *>(data_address)) {
            usage("cannot map the fixed data area");
        }
    }

    void run(int argc, char **argv)
    {
        for (int i = 1; i < argc; ++i) {
            std::string step = argv[i];
            auto argument = [&]() -> std::string {
                if (++i >= argc) {
                    usage("missing argument");
                }
                return argv[i];
            };
            if (step.rfind("debug=", 0) == 0) {
                set_debug(std::atoi(step.c_str() + 6));
            } else if (step == "timing") {
                timing_ = true;
            } else if (step == "tcp" || step == "udp") {
                make_socket(step == "tcp" ? SOCK_STREAM : SOCK_DGRAM);
            } else if (step.rfind("use=", 0) == 0) {
                current_ = sockets_.at(std::stoul(step.substr(4)));
            } else if (step.rfind("fd=", 0) == 0) {
                current_ = std::atoi(step.c_str() + 3);
            } else if (step == "nonblock") {
                fcntl(current_, F_SETFL, fcntl(current_, F_GETFL) | O_NONBLOCK);
            } else if (step == "connect") {
                do_connect(argument());
            } else if (step == "send") {
                std::size_t n = place(argument());
                report_call("send", [&] { return send(current_, data(), n, 0); });
            } else if (step == "write") {
                std::size_t n = place(argument());
                report_call("write", [&] { return write(current_, data(), n); });
            } else if (step == "sendto") {
                sockaddr_in to;
                parse_address(argument(), to);
                std::size_t n = place(argument());
                report_call("sendto", [&] {
                    return sendto(current_, data(), n, 0, reinterpret_cast<sockaddr *>(&to),
                                  sizeof to);
                });
            } else if (step == "sendmsg") {
                std::string to = argument();
                do_sendmsg(to, argument());
            } else if (step == "close") {
                report_call("close", [&] { return close(current_); });
            } else if (step == "threads") {
                int count = std::atoi(argument().c_str());
                std::string to = argument();
                int sends = std::atoi(argument().c_str());
                run_threads(count, to, sends, decoded_text(argument()));
            // Steps of the hostile-hop tests.
            } else if (step == "sendflags") {
                int flags = std::atoi(argument().c_str());
                std::size_t n = place(argument());
                report_call("send", [&] { return send(current_, data(), n, flags); });
            } else if (step == "reply") {
                pollfd ready{current_, POLLIN, 0};
                sockaddr_in from{};
                socklen_t length = sizeof from;
                ssize_t n = poll(&ready, 1, 1000) == 1 ? recvfrom(current_, data(), 65536, 0,
                                                                   reinterpret_cast<sockaddr *>(&from), &length)
                                                       : -1;
                char sender[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
                if (n < 0) {
                    std::printf("app: no reply\n");
                } else {
                    std::printf("app: reply from %s:%d %.*s\n", sender, ntohs(from.sin_port), static_cast<int>(n),
                                data());
                }
            // End of the steps of the hostile-hop tests.
            } else {
                usage(("unknown step " + step).c_str());
            }
        }
    }

private:
    char *data() const { return reinterpret_cast<char *>(data_address); }

    std::size_t place(const std::string &word)
    {
        std::string text = decoded_text(word);
        if (text.size() > header_address - data_address) {
            usage("text too long");
        }
        std::memcpy(data(), text.data(), text.size());
        return text.size();
    }

    // Prints the call's result as the application saw it, errno included.
    template <typename Call>
    void report_call(const char *name, Call call)
    {
        auto start = std::chrono::steady_clock::now();
        errno = 0;
        long result = static_cast<long>(call());
        int saved = errno;
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        std::printf("app: %s %ld", name, result);
        if (result < 0) {
            const char *errno_name = strerrorname_np(saved);
            std::printf(" %s", errno_name != nullptr ? errno_name : "?");
        }
        if (timing_) {
            std::printf(" in %lld ms", static_cast<long long>(took.count()));
        }
        std::printf("\n");
    }

    void set_debug(int value)
    {
        auto *flag = static_cast<int *>(dlsym(RTLD_DEFAULT, "debug"));
        if (flag == nullptr) {
            usage("no debug flag: is the library preloaded?");
        }
        *flag = value;
    }

    void make_socket(int type)
    {
        int s = socket(AF_INET, type, 0);
        std::printf("app: socket %d\n", s);
        sockets_.push_back(s);
        current_ = s;
    }

    void do_connect(const std::string &word)
    {
        sockaddr_in to;
        parse_address(word, to);
        report_call("connect", [&] {
            return connect(current_, reinterpret_cast<sockaddr *>(&to), sizeof to);
        });
    }

    void do_sendmsg(const std::string &to_word, const std::string &text_word)
    {
        std::size_t n = place(text_word);
        auto *header = reinterpret_cast<msghdr *>(header_address);
        auto *pieces = reinterpret_cast<iovec *>(header + 1);
        auto *to = reinterpret_cast<sockaddr_in *>(pieces + 2);
        *header = msghdr{};
        pieces[0] = iovec{data(), n / 2};
        pieces[1] = iovec{data() + n / 2, n - n / 2};
        header->msg_iov = pieces;
        header->msg_iovlen = 2;
        if (parse_address(to_word, *to)) {
            header->msg_name = to;
            header->msg_namelen = sizeof *to;
        }
        report_call("sendmsg", [&] { return sendmsg(current_, header, 0); });
    }

    // Threads that share one routed destination; prints how many of their
    // sends went out whole.
    void run_threads(int count, const std::string &to_word, int sends, const std::string &text)
    {
        sockaddr_in to;
        parse_address(to_word, to);
        std::atomic<int> whole{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t) {
            threads.emplace_back([&] {
                int s = socket(AF_INET, SOCK_STREAM, 0);
                if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
                    for (int k = 0; k < sends; ++k) {
                        if (send(s, text.data(), text.size(), 0) ==
                            static_cast<ssize_t>(text.size())) {
                            ++whole;
                        }
                    }
                }
                close(s);
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
        std::printf("app: threads sent %d of %d\n", whole.load(), count * sends);
    }

    std::vector<int> sockets_;
    int current_ = -1;
    bool timing_ = false;
};

}  // namespace

int main(int argc, char **argv)
{
    // Only the three standard descriptors, whatever the test runner left
    // open, so descriptor numbers in the trace are the same on every run.
    // The raw system call keeps this out of the trace.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    scenario steps;
    steps.run(argc, argv);
    return 0;
}
