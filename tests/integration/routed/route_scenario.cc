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
// Steps of a program that fights over descriptors, processes and signals:
//   file NAME          open NAME (created empty) as the current descriptor
//   onto HOW N         put the current descriptor on number N too: dup2, dup3,
//                      or dup and fcntl F_DUPFD after N was closed
//   closeall HOW       close every descriptor from 3 on: loop (close each up
//                      to 1023), range (close_range), from (closefrom)
//   baddata            from now on the sending steps pass an unreadable pointer
//   unix A:P           a new local stream socket connects to the abstract
//                      address made of A:P's bytes after the family
//   shared N K         N threads send K times each on the current descriptor,
//                      thread t t+1 copies of the letter 'A'+t
//   alarmed K T U      send T K times while a 1 ms timer's SIGALRM handler
//                      sends U on the same descriptor
//   fork N             the next N steps run in a child of fork beside this
//                      process, which waits for it at its end
//   spawn N            the next N steps run in a child that executes this
//                      program afresh; waited for at once
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
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
constexpr uintptr_t bad_data_address = 0x18000000;  // pages no access is allowed to
constexpr std::size_t bad_data_size = 0x10000;

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
    explicit scenario(char *program_path) : program_path_(program_path)
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
                make_socket(AF_INET, step == "tcp" ? SOCK_STREAM : SOCK_DGRAM);
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
            // Descriptors, processes and signals.
            } else if (step == "file") {
                open_file(argument());
            } else if (step == "onto") {
                std::string how = argument();
                put_onto(how, std::atoi(argument().c_str()));
            } else if (step == "closeall") {
                close_all(argument());
            } else if (step == "baddata") {
                map_bad_data();
            } else if (step == "unix") {
                connect_local(argument());
            } else if (step == "shared") {
                int count = std::atoi(argument().c_str());
                send_shared(count, std::atoi(argument().c_str()));
            } else if (step == "alarmed") {
                int sends = std::atoi(argument().c_str());
                std::string text = decoded_text(argument());
                send_alarmed(sends, text, decoded_text(argument()));
            } else if (step == "fork" || step == "spawn") {
                int count = std::atoi(argument().c_str());
                if (count < 0 || i + count >= argc) {
                    usage("missing child steps");
                }
                start_child(step == "spawn", count, argv + i);
                i += count;
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

    // Ends the program's children; false when any of them failed.
    bool wait_for_children()
    {
        int status;
        while (wait(&status) > 0) {
            children_well_ = children_well_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        return children_well_;
    }

private:
    char *data() const { return reinterpret_cast<char *>(bad_data_ ? bad_data_address : data_address); }

    std::size_t place(const std::string &word)
    {
        std::string text = decoded_text(word);
        if (text.size() > header_address - data_address) {
            usage("text too long");
        }
        std::memcpy(reinterpret_cast<char *>(data_address), text.data(), text.size());
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

    void make_socket(int family, int type)
    {
        int s = socket(family, type, 0);
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

    // Descriptors, processes and signals.
    void open_file(const std::string &name)
    {
        current_ = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        std::printf("app: file %d\n", current_);
    }

    void put_onto(const std::string &how, int number)
    {
        // Whatever is buffered belongs to the standard output as it was.
        std::fflush(stdout);
        int placed = -1;
        if (how == "dup2") {
            placed = dup2(current_, number);
        } else if (how == "dup3") {
            placed = dup3(current_, number, 0);
        } else if (how == "dup" || how == "fcntl") {
            // The raw system call keeps the close out of the trace and the
            // library's sight: only the new number's arrival is under test.
            syscall(SYS_close, number);
            placed = how == "dup" ? dup(current_) : fcntl(current_, F_DUPFD, number);
        }
        if (placed != number) {
            usage("onto: the descriptor did not land on its number");
        }
    }

    void close_all(const std::string &how)
    {
        if (how == "loop") {
            for (int s = 3; s < 1024; ++s) {
                close(s);
            }
        } else if (how == "range") {
            close_range(3, ~0U, 0);
        } else if (how == "from") {
            closefrom(3);
        } else {
            usage("closeall: loop, range or from");
        }
    }

    void map_bad_data()
    {
        void *pages = mmap(reinterpret_cast<void *>(bad_data_address), bad_data_size, PROT_NONE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (pages != reinterpret_cast<void *>(bad_data_address)) {
            usage("cannot map the unreadable pages");
        }
        bad_data_ = true;
    }

    void connect_local(const std::string &word)
    {
        sockaddr_in spelled;
        parse_address(word, spelled);
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        std::memcpy(local.sun_path, reinterpret_cast<char *>(&spelled) + sizeof spelled.sin_family,
                    sizeof spelled - sizeof spelled.sin_family);
        make_socket(AF_UNIX, SOCK_STREAM);
        report_call("connect", [&] {
            return connect(current_, reinterpret_cast<sockaddr *>(&local), sizeof spelled);
        });
    }

    // Threads sharing the current descriptor, each with a text of its own
    // length, so an echo that went to the wrong thread shows.
    void send_shared(int count, int sends)
    {
        std::atomic<int> whole{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t) {
            threads.emplace_back([&, t] {
                std::string text(static_cast<std::size_t>(t) + 1, static_cast<char>('A' + t));
                for (int k = 0; k < sends; ++k) {
                    if (send(current_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
                        ++whole;
                    }
                }
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
        std::printf("app: shared sent %d of %d\n", whole.load(), count * sends);
    }

    // What the SIGALRM handler sends, and on which descriptor.
    static inline int alarm_socket = -1;
    static inline char alarm_text[64];
    static inline std::size_t alarm_length = 0;

    static void send_from_handler(int)
    {
        int saved = errno;
        send(alarm_socket, alarm_text, alarm_length, 0);
        errno = saved;
    }

    void send_alarmed(int sends, const std::string &text, const std::string &handler_text)
    {
        alarm_socket = current_;
        alarm_length = std::min(handler_text.size(), sizeof alarm_text);
        std::memcpy(alarm_text, handler_text.data(), alarm_length);
        struct sigaction action{};
        action.sa_handler = send_from_handler;
        action.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &action, nullptr);
        itimerval every_ms{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every_ms, nullptr);
        int whole = 0;
        for (int k = 0; k < sends; ++k) {
            whole += send(current_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
        }
        itimerval stop{};
        setitimer(ITIMER_REAL, &stop, nullptr);
        std::printf("app: alarmed sent %d of %d\n", whole, sends);
    }

    // argv[0] is the step count; the steps follow it.
    void start_child(bool afresh, int count, char **steps)
    {
        std::fflush(stdout);
        pid_t child = fork();
        if (child < 0) {
            usage("fork failed");
        }
        if (child == 0) {
            if (afresh) {
                std::vector<char *> child_argv{program_path_};
                child_argv.insert(child_argv.end(), steps + 1, steps + 1 + count);
                child_argv.push_back(nullptr);
                execv("/proc/self/exe", child_argv.data());
                _exit(127);
            }
            run(count + 1, steps);
            std::exit(wait_for_children() ? 0 : 1);
        }
        if (afresh) {
            wait_for_children();
        }
    }

    char *program_path_;
    bool bad_data_ = false;
    bool children_well_ = true;

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
    scenario steps(argv[0]);
    steps.run(argc, argv);
    return steps.wait_for_children() ? 0 : 1;
}
