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
// Data and message headers sit at the fixed addresses the trace vocabulary
// names, so the pointers on the trace are the same on every run.
#include <arpa/inet.h>
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
    // Only the standard descriptors, so numbers on the trace are the same on
    // every run; the raw system call keeps this out of the trace.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    // Unbuffered, so a child of fork never repeats what its parent printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (mmap(data, 0x4100000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0) !=
        data) {
        usage("cannot map the fixed data area");
    }
    steps().run(argc, argv);
    return 0;
}
