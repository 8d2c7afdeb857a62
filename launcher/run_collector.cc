// The collector's socket, its connections and the files it writes for the
// whole run.
#include "run_collector.hh"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "collector_message.hh"
#include "trace_path.hh"

namespace launcher {

run_collector::~run_collector()
{
    if (listener_ >= 0) {
        close(listener_);
    }
    for (const auto &from : connections_) {
        close(from.socket);
    }
    for (const auto &[path, descriptor] : trace_files_) {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
}

std::string run_collector::open()
{
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return std::strerror(errno);
    }
    std::uint64_t nonce = 0;
    getrandom(&nonce, sizeof nonce, 0);
    name_ = "@kandrel-" + std::to_string(getpid()) + "-" + std::to_string(nonce);
    sockaddr_un address{};
    socklen_t length = collector_address(name_.c_str(), address);
    // A connection waits in the backlog until the next drain takes it.
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener_, SOMAXCONN) != 0) {
        return std::strerror(errno);
    }
    return "";
}

void run_collector::keep_recording_line(const collector_outputs &outputs, const char *text,
                                        std::size_t length)
{
    run_.recording.append(text, length);
    if (outputs.recording >= 0 && length != 0) {
        (void)!write(outputs.recording, text, length);
    }
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

// Reads what from has sent and handles each whole message.
void run_collector::take(const collector_outputs &outputs, connection &from)
{
    char chunk[1 << 16];
    ssize_t got;
    while ((got = read(from.socket, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
        from.pending.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    std::span<const char> bytes(from.pending);
    collector_message message;
    while (std::size_t used = next_collector_message(bytes, message)) {
        bytes = bytes.subspan(used);
        const char *text = message.text.data();
        std::size_t length = message.text.size();
        switch (message.kind) {
        case collector_kind::timelog: {
            // The record, then the round trip's recording line if any.
            const char *end = static_cast<const char *>(std::memchr(text, '\n', length));
            std::size_t record = end != nullptr ? static_cast<std::size_t>(end - text) + 1 : length;
            ++run_.timelog_records;
            (void)!write(outputs.timelog, text, record);
            keep_recording_line(outputs, text + record, length - record);
            break;
        }
        case collector_kind::recording:
            keep_recording_line(outputs, text, length);
            break;
        case collector_kind::trace:
            write_trace(outputs, from.pid, text, length);
            break;
        case collector_kind::unseen: {
            // "WHY:PATH"
            std::string words(text, length);
            auto colon = words.find(':');
            if (colon != std::string::npos) {
                run_.unseen.emplace(words.substr(colon + 1), words.substr(0, colon));
            }
            break;
        }
        case collector_kind::around: {
            // "BYTES TO HOP PROTOCOL"
            std::string words(text, length);
            auto space = words.find(' ');
            if (space != std::string::npos) {
                run_.bytes_around[words.substr(space + 1)] += std::strtoull(words.c_str(), nullptr, 10);
            }
            break;
        }
        }
    }
    from.pending.erase(0, from.pending.size() - bytes.size());
    if (got == 0) {
        close(from.socket);
        from.socket = -1;
    }
}

void run_collector::drain(const collector_outputs &outputs)
{
    int accepted;
    while ((accepted = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        ucred peer{};
        socklen_t length = sizeof peer;
        getsockopt(accepted, SOL_SOCKET, SO_PEERCRED, &peer, &length);
        connections_.push_back({accepted, peer.pid, {}});
        if (peer.pid != helper_) {
            run_.processes.insert(peer.pid);
        }
    }
    for (auto &from : connections_) {
        take(outputs, from);
    }
    std::erase_if(connections_, [](const connection &from) { return from.socket < 0; });
}

}  // namespace launcher
