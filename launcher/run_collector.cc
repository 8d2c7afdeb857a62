// The collector's socket and the files it writes for the whole run.
#include "run_collector.hh"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "collector_datagram.hh"
#include "trace_path.hh"

namespace launcher {

run_collector::~run_collector()
{
    if (socket_ >= 0) {
        close(socket_);
    }
    for (auto &[path, descriptor] : trace_files_) {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
}

std::string run_collector::open()
{
    socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        return std::strerror(errno);
    }
    // Each datagram then carries its sender's process id.
    int on = 1;
    setsockopt(socket_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    // Room for a burst of records while this process is busy writing.
    int room = 4 << 20;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    std::uint64_t nonce = 0;
    getrandom(&nonce, sizeof nonce, 0);
    name_ = "@kandrel-" + std::to_string(getpid()) + "-" + std::to_string(nonce);
    sockaddr_un address{};
    socklen_t length = collector_address(name_.c_str(), address);
    if (bind(socket_, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        return std::strerror(errno);
    }
    return "";
}

void run_collector::write_trace(const collector_outputs &outputs, pid_t pid, const char *text,
                                std::size_t length)
{
    char path[PATH_MAX];
    if (outputs.trace_pattern.empty() ||
        !expand_trace_path(outputs.trace_pattern.c_str(), static_cast<long>(pid), path, sizeof path)) {
        return;
    }
    auto [entry, added] = trace_files_.try_emplace(path, -1);
    if (added) {
        entry->second = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    }
    if (entry->second >= 0) {
        (void)!write(entry->second, text, length);
    }
}

void run_collector::drain(const collector_outputs &outputs)
{
    char datagram[collector_datagram_size];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (;;) {
        iovec part{datagram, sizeof datagram};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t got = recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        pid_t pid = 0;
        if (cmsghdr *header = CMSG_FIRSTHDR(&message);
            header != nullptr && header->cmsg_type == SCM_CREDENTIALS) {
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
            pid = credentials.pid;
        }
        run_.processes.insert(pid);
        const char *text = datagram + 1;
        std::size_t length = static_cast<std::size_t>(got) - 1;
        switch (static_cast<collector_kind>(datagram[0])) {
        case collector_kind::timelog:
            ++run_.timelog_records;
            (void)!write(outputs.timelog, text, length);
            break;
        case collector_kind::recording:
            run_.recording.append(text, length);
            if (outputs.recording >= 0) {
                (void)!write(outputs.recording, text, length);
            }
            break;
        case collector_kind::trace:
            write_trace(outputs, pid, text, length);
            break;
        case collector_kind::around: {
            // "BYTES TO HOP PROTOCOL"
            std::string words(text, length);
            auto space = words.find(' ');
            if (space != std::string::npos) {
                run_.bytes_around[words.substr(space + 1)] += std::strtoull(words.c_str(), nullptr, 10);
            }
            break;
        }
        case collector_kind::hello:
            break;
        }
    }
}

}  // namespace launcher
