// The application of the full-coverage tests: makes the socket calls its
// arguments name, in order, sending by whichever path a step names, and
// prints each result, so tests can run it under the preload library.
//
// Steps:
//   debug=N                  set the preloaded library's debug flag
//   tcp4 | udp4 | tcp6 | udp6  new socket of that family, the current one
//   use=K                    the K-th socket made (from 0) becomes current
//   to ADDRESS PORT          the destination of connect, bind and the "-to" paths
//   connect | bind | listen | accept4 | close | recv
//   PATH TEXT                send TEXT on the current socket; PATH is send,
//                            sendto, sendto-to, sendmsg, sendmsg-to, sendmmsg,
//                            sendmmsg-to (TEXT twice, one message each), write, writev,
//                            sendfile (from a file), splice (from a pipe) or
//                            stdio (fwrite on a stream of a duplicate)
//   threads N K TEXT         N threads each send TEXT K times on the socket
//   fork                     the child runs the remaining steps, then the parent
//   dup | dup2 | dupfd       a copy of the current socket becomes current
//   raw                      a TCP socket connected to the destination by raw
//                            system calls, unseen by the library (as one inherited)
//   pass                     the current socket passed over a local socket
//                            (SCM_RIGHTS); the received copy becomes current
//   exec                     the remaining steps run in a fresh image of this
//                            program that keeps the sockets made so far
//   clearenv | nonblock      clear the environment; make the socket non-blocking
//   chdir DIR                change the working directory
//   vfork-close              a child of vfork closes the current socket
//   jump-out-of recv | send  a timer's signal handler jumps out of the call
//   first-sends N TEXT       N threads each make, connect and send on a socket
//   nofile=N | files N       lower the descriptor limit; open N files
//   many N TEXT              N more sockets connected and sent on; how many
//                            succeeded and the highest number
//   fdopen-loop N TEXT       N times a socket sent on, then ended by fclose;
//                            how many descriptors are open after
//   big N                    N bytes written through a small send buffer until
//                            all went, waiting when it is full
// Data and message headers sit at the fixed addresses the trace vocabulary
// names, so the pointers on the trace are the same on every run.
#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

char *const data = reinterpret_cast<char *>(0x10000000);
auto *const headers = reinterpret_cast<mmsghdr *>(0x14000000);

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(stderr, "send_paths: %s\n", why.c_str());
    std::exit(2);
}

sigjmp_buf jump_target;

void jump_back(int)
{
    siglongjmp(jump_target, 1);
}

int open_descriptors()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1;  // the directory's own
}

void report(const char *name, long result)
{
    std::printf("app: %s %ld%s%s\n", name, result, result < 0 ? " " : "", result < 0 ? strerrorname_np(errno) : "");
}

class steps {
public:
    void run(int argc, char **argv)
    {
        for (int i = 1; i < argc; ++i) {
            std::string step = argv[i];
            auto next = [&]() -> std::string {
                if (++i >= argc) {
                    usage("missing argument");
                }
                return argv[i];
            };
            if (step.starts_with("debug=")) {
                *static_cast<int *>(dlsym(RTLD_DEFAULT, "debug")) = std::atoi(step.c_str() + 6);
            } else if (step == "tcp4" || step == "udp4" || step == "tcp6" || step == "udp6") {
                current_ = socket(step[3] == '4' ? AF_INET : AF_INET6, step[0] == 't' ? SOCK_STREAM : SOCK_DGRAM, 0);
                sockets_.push_back(current_);
            } else if (step.starts_with("use=")) {
                current_ = sockets_.at(std::stoul(step.substr(4)));
            } else if (step == "to") {
                std::string address = next();
                set_destination(address, std::atoi(next().c_str()));
            } else if (step == "connect") {
                report("connect", connect(current_, to(), to_length_));
            } else if (step == "bind") {
                report("bind", bind(current_, to(), to_length_));
            } else if (step == "listen") {
                report("listen", listen(current_, 8));
            } else if (step == "accept4") {
                current_ = accept4(current_, nullptr, nullptr, SOCK_CLOEXEC);
                sockets_.push_back(current_);
            } else if (step == "close") {
                report("close", close(current_));
            } else if (step == "recv") {
                char reply[256];
                ssize_t n = recv(current_, reply, sizeof reply, 0);
                std::printf("app: recv %.*s\n", static_cast<int>(n > 0 ? n : 0), reply);
            } else if (step == "threads") {
                int count = std::atoi(next().c_str()), sends = std::atoi(next().c_str());
                run_threads(count, sends, next());
            } else if (step == "fork") {
                fork_here();
            } else if (step == "dup" || step == "dup2" || step == "dupfd") {
                int copy = step == "dup" ? dup(current_) : step == "dup2" ? dup2(current_, 20) : fcntl(current_, F_DUPFD, 30);
                sockets_.push_back(current_ = copy);
            } else if (step == "raw") {
                current_ = static_cast<int>(syscall(SYS_socket, to()->sa_family, SOCK_STREAM, 0));
                report("raw connect", syscall(SYS_connect, current_, to(), to_length_));
                sockets_.push_back(current_);
            } else if (step == "pass") {
                sockets_.push_back(current_ = passed(current_));
            } else if (step == "exec") {
                exec_rest(argc, argv, i + 1);
            } else if (step.starts_with("adopt=")) {
                for (std::size_t at = 6; at < step.size(); at = step.find(',', at) + 1) {
                    sockets_.push_back(current_ = std::atoi(step.c_str() + at));
                    if (step.find(',', at) == std::string::npos) {
                        break;
                    }
                }
            } else if (step == "clearenv") {
                clearenv();
            } else if (step == "chdir") {
                report("chdir", chdir(next().c_str()));
            } else if (step == "nonblock") {
                fcntl(current_, F_SETFL, fcntl(current_, F_GETFL) | O_NONBLOCK);
            } else if (step == "vfork-close") {
                if (vfork() == 0) {
                    close(current_);
                    _exit(0);
                }
            } else if (step == "jump-out-of") {
                jump_out_of(next());
            } else if (step == "first-sends") {
                int count = std::atoi(next().c_str());
                first_sends(count, next());
            } else if (step.starts_with("nofile=")) {
                rlimit limit{std::stoul(step.substr(7)), std::stoul(step.substr(7))};
                report("nofile", setrlimit(RLIMIT_NOFILE, &limit));
            } else if (step == "files") {
                for (int k = std::atoi(next().c_str()); k > 0; --k) {
                    open("/dev/null", O_RDONLY);
                }
            } else if (step == "many") {
                int count = std::atoi(next().c_str());
                many(count, next());
            } else if (step == "fdopen-loop") {
                int count = std::atoi(next().c_str());
                std::string text = next();
                for (int k = 0; k < count; ++k) {
                    int socket_fd = socket(to()->sa_family, SOCK_STREAM, 0);
                    connect(socket_fd, to(), to_length_);
                    send(socket_fd, text.data(), text.size(), 0);
                    std::fclose(fdopen(socket_fd, "w"));
                }
                report("open descriptors", open_descriptors());
            } else if (step == "big") {
                report("big", big(std::stol(next())));
            } else {
                report(step.c_str(), send_by(step, next()));
            }
        }
    }

private:
    sockaddr *to() { return reinterpret_cast<sockaddr *>(&to_); }

    void set_destination(const std::string &address, int port)
    {
        to_ = {};
        auto *v4 = reinterpret_cast<sockaddr_in *>(&to_);
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&to_);
        if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            to_length_ = sizeof *v4;
        } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            to_length_ = sizeof *v6;
        } else {
            usage("bad address " + address);
        }
    }

    // Sends text by the path named; the result as the program saw it.
    long send_by(const std::string &path, const std::string &text)
    {
        std::size_t n = text.size();
        std::memcpy(data, text.data(), n);
        std::memcpy(data + n, text.data(), n);
        auto *pieces = reinterpret_cast<iovec *>(headers + 2);
        pieces[0] = {data, n / 2};
        pieces[1] = {data + n / 2, n - n / 2};
        pieces[2] = {data + n, n};
        headers[0] = {};
        headers[0].msg_hdr.msg_iov = pieces;
        headers[0].msg_hdr.msg_iovlen = 2;
        headers[1] = {};
        headers[1].msg_hdr.msg_iov = pieces + 2;
        headers[1].msg_hdr.msg_iovlen = 1;
        if (path.ends_with("-to")) {
            headers[0].msg_hdr.msg_name = headers[1].msg_hdr.msg_name = to();
            headers[0].msg_hdr.msg_namelen = headers[1].msg_hdr.msg_namelen = to_length_;
        }
        if (path == "send") {
            return send(current_, data, n, 0);
        } else if (path == "sendto") {
            return sendto(current_, data, n, 0, nullptr, 0);
        } else if (path == "sendto-to") {
            return sendto(current_, data, n, 0, to(), to_length_);
        } else if (path == "sendmsg" || path == "sendmsg-to") {
            return sendmsg(current_, &headers[0].msg_hdr, 0);
        } else if (path == "sendmmsg" || path == "sendmmsg-to") {
            return sendmmsg(current_, headers, 2, 0);
        } else if (path == "write") {
            return write(current_, data, n);
        } else if (path == "writev") {
            return writev(current_, pieces, 2);
        } else if (path == "sendfile") {
            int file = open("sendfile.data", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            long result = pwrite(file, data, n, 0) == static_cast<ssize_t>(n) ? sendfile(current_, file, nullptr, n) : -1;
            close(file);
            return result;
        } else if (path == "splice") {
            int pipe_ends[2];
            long result = pipe2(pipe_ends, O_CLOEXEC) == 0 && write(pipe_ends[1], data, n) == static_cast<ssize_t>(n)
                              ? splice(pipe_ends[0], nullptr, current_, nullptr, n, 0)
                              : -1;
            close(pipe_ends[0]);
            close(pipe_ends[1]);
            return result;
        } else if (path == "stdio") {
            // The C library's stdio writes with a write of its own, which no
            // preloaded library sees.
            FILE *stream = fdopen(dup(current_), "w");
            long result = stream != nullptr ? static_cast<long>(std::fwrite(data, 1, n, stream)) : -1;
            return stream != nullptr && std::fclose(stream) == 0 ? result : -1;
        }
        usage("unknown step " + path);
    }

    int passed(int s)
    {
        int ends[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        char byte = 'x';
        iovec piece{&byte, 1};
        msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &s, sizeof s);
        sendmsg(ends[0], &message, 0);
        syscall(SYS_close, s);  // unseen: the received copy is all that is left
        recvmsg(ends[1], &message, 0);
        int received;
        std::memcpy(&received, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof received);
        close(ends[0]);
        close(ends[1]);
        return received;
    }

    [[noreturn]] void exec_rest(int argc, char **argv, int from)
    {
        std::string adopted = "adopt=";
        for (int s : sockets_) {
            fcntl(s, F_SETFD, 0);
            adopted += std::to_string(s) + ",";
        }
        adopted.pop_back();
        std::vector<char *> args = {argv[0], adopted.data()};
        args.insert(args.end(), argv + from, argv + argc);
        args.push_back(nullptr);
        execv("/proc/self/exe", args.data());
        usage("exec failed");
    }

    void jump_out_of(const std::string &call)
    {
        signal(SIGALRM, jump_back);
        itimerval soon{{0, 0}, {0, 100000}};
        if (sigsetjmp(jump_target, 1) == 0) {
            setitimer(ITIMER_REAL, &soon, nullptr);
            char reply[16];
            call == "send" ? send(current_, data, 5, 0) : recv(current_, reply, sizeof reply, 0);
            usage("no jump");
        }
        report("jumped", 0);
    }

    void first_sends(int count, const std::string &text)
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t) {
            threads.emplace_back([&] {
                int s = socket(to()->sa_family, SOCK_STREAM, 0);
                connect(s, to(), to_length_);
                send(s, text.data(), text.size(), 0);
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
    }

    void many(int count, const std::string &text)
    {
        int made = 0, highest = -1;
        for (int k = 0; k < count; ++k) {
            int s = socket(to()->sa_family, SOCK_STREAM, 0);
            if (s >= 0 && connect(s, to(), to_length_) == 0 && send(s, text.data(), text.size(), 0) > 0) {
                ++made;
                highest = std::max(highest, s);
            }
        }
        std::printf("app: many %d highest %d\n", made, highest);
    }

    long big(long n)
    {
        std::memset(data, 'x', static_cast<std::size_t>(n));
        // A small send buffer, so that the write is taken in many pieces.
        int buffer = 65536;
        setsockopt(current_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        long sent = 0;
        while (sent < n) {
            ssize_t k = write(current_, data + sent, static_cast<std::size_t>(n - sent));
            if (k > 0) {
                sent += k;
            } else {
                pollfd room{current_, POLLOUT, 0};
                poll(&room, 1, -1);
            }
        }
        return sent;
    }

    void run_threads(int count, int sends, const std::string &text)
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t) {
            threads.emplace_back([&] {
                for (int k = 0; k < sends; ++k) {
                    send(current_, text.data(), text.size(), 0);
                }
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
    }

    void fork_here()
    {
        pid_t child = fork();
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            report("child exit", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
    }

    std::vector<int> sockets_;
    int current_ = -1;
    sockaddr_storage to_{};
    socklen_t to_length_ = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    // Only the standard descriptors (and the sockets a former image left),
    // so numbers on the trace are the same on every run; the raw system call
    // keeps this out of the trace.
    if (argc < 2 || std::strncmp(argv[1], "adopt=", 6) != 0) {
        syscall(SYS_close_range, 3U, ~0U, 0U);
    }
    // Unbuffered, so a child of fork never repeats what its parent printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (mmap(data, 0x4100000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0) !=
        data) {
        usage("cannot map the fixed data area");
    }
    steps().run(argc, argv);
    return 0;
}
