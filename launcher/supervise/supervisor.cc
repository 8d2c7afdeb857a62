// Handling notified calls: routing decisions, round trips, the trace, and
// what is known of each supervised descriptor.
#include "supervisor.hh"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "route_line.hh"

namespace {

// Lines as the library writes them before these calls.
std::string line(const char *format, auto... values)
{
    char text[256];
    int length = std::snprintf(text, sizeof text, format, values...);
    return std::string(text,
                       static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

// A copy of descriptor fd of the program, closed when it goes.
class descriptor_copy {
public:
    explicit descriptor_copy(int fd) : fd_(fd) {}
    descriptor_copy(const descriptor_copy &) = delete;
    descriptor_copy &operator=(const descriptor_copy &) = delete;
    ~descriptor_copy()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

supervisor::supervisor(int listener, std::vector<supervised_route> routes, run_records &records)
    : listener_(listener), routes_(std::move(routes)), records_(records)
{
}

void supervisor::handle_next()
{
    seccomp_notif request;
    std::memset(&request, 0, sizeof request);
    if (ioctl(listener_, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
        return;  // the process that made the call ended meanwhile
    }
    trips_.clear();
    handle(request);
    if (trips_.empty()) {
        let_continue(request.id);
        return;
    }
    workers_.run([this, pid = pid_of_call_, id = request.id, trips = std::move(trips_)]() mutable {
        make_trips(pid, id, std::move(trips));
    });
}

void supervisor::make_trips(pid_t pid, std::uint64_t id, std::vector<pending_trip> trips)
{
    for (const pending_trip &trip : trips) {
        if (trip.len) {
            records_.round_trip(pid, trip.binding->route(), *trip.len, trip.binding->round_trip(*trip.len));
            continue;
        }
        // As the library's connect does.
        trip.binding->open();
        if (trip.handshake) {
            trip.binding->round_trip(1);
        }
    }
    let_continue(id);
}

void supervisor::let_continue(std::uint64_t id)
{
    seccomp_notif_resp response;
    std::memset(&response, 0, sizeof response);
    response.id = id;
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    // ENOENT: the call was interrupted or its process ended; nothing to answer.
    ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &response);
}

bool supervisor::still_waiting(std::uint64_t id) const
{
    return ioctl(listener_, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
}

void supervisor::handle(const seccomp_notif &request)
{
    current_id_ = request.id;
    bool first_seen;
    pid_t pid = processes_.process_of(static_cast<pid_t>(request.pid), first_seen);
    pid_of_call_ = pid;
    processes_seen_.insert(pid);
    if (first_seen && pid == static_cast<pid_t>(request.pid)) {
        // A new process: whatever was known under its number belonged to an
        // ended one.
        forget(pid, 0, UINT_MAX);
        processes_.forget_process(pid);
    }
    notified_call call = decode_call(request.data);
    switch (call.kind) {
    case call_kind::connect:
        if (const supervised_route *route = route_of_address(pid, call.address, call.address_length)) {
            descriptor_copy socket(processes_.copy_descriptor(pid, call.fd));
            int type = 0;
            socklen_t size = sizeof type;
            bool stream = socket.get() >= 0 &&
                          getsockopt(socket.get(), SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
                          type == SOCK_STREAM;
            trips_.push_back(
                {bind(pid, call.fd, *route), std::nullopt, stream && route->protocol == protocol_tcp});
        } else {
            forget(pid, static_cast<unsigned>(call.fd), static_cast<unsigned>(call.fd));
            descriptors_[{pid, call.fd}] = {};
        }
        break;
    case call_kind::sendto:
        if (call.address != 0) {
            if (const supervised_route *route = route_of_address(pid, call.address, call.address_length)) {
                bounce(pid, call, bind(pid, call.fd, *route), call.length);
            }
        } else if (auto binding = binding_of(pid, call.fd)) {
            bounce(pid, call, binding, call.length);
        }
        break;
    case call_kind::write:
        if (auto binding = binding_of(pid, call.fd)) {
            bounce(pid, call, binding, call.length);
        }
        break;
    case call_kind::writev: {
        records_.trace(pid, line("writev()\t:\ts=%d iov=0x%lx iovcnt=%d\n", call.fd,
                                 static_cast<unsigned long>(call.data), static_cast<int>(call.count)));
        std::size_t total;
        auto binding = binding_of(pid, call.fd);
        if (binding != nullptr && vector_length(pid, call.data, call.count, total) &&
            still_waiting(request.id)) {
            bounce(pid, call, binding, total);
        }
        break;
    }
    case call_kind::sendfile:
        records_.trace(pid, line("sendfile()\t:\tout=%d in=%d count=%zd\n", call.fd, call.in_fd,
                                 static_cast<ssize_t>(call.length)));
        if (auto binding = binding_of(pid, call.fd)) {
            if (std::size_t length = sendfile_length(pid, call); length != 0) {
                bounce(pid, call, binding, length);
            }
        }
        break;
    case call_kind::sendmsg:
        records_.trace(pid, line("sendmsg()\t:\ts=%d msg=0x%lx flags=%d\n ", call.fd,
                                 static_cast<unsigned long>(call.data), call.flags));
        send_message(pid, call, call.data);
        break;
    case call_kind::sendmmsg:
        records_.trace(pid, line("sendmmsg()\t:\ts=%d msgvec=0x%lx vlen=%u flags=%d\n", call.fd,
                                 static_cast<unsigned long>(call.data), static_cast<unsigned>(call.count),
                                 call.flags));
        // Each message makes its own round trip, to its own destination if it names one.
        for (std::uint64_t i = 0; i < call.count && i < UIO_MAXIOV; ++i) {
            send_message(pid, call, call.data + i * sizeof(mmsghdr));
        }
        break;
    case call_kind::close:
    case call_kind::replaced:
        forget(pid, static_cast<unsigned>(call.fd), static_cast<unsigned>(call.fd));
        break;
    case call_kind::close_range:
        forget(pid, static_cast<unsigned>(call.fd), call.last);
        break;
    case call_kind::exec:
        // Descriptors marked close-on-exec go; those kept are learnt anew.
        forget(pid, 0, UINT_MAX);
        break;
    case call_kind::ring_setup:
        ++rings_set_up_;
        break;
    case call_kind::other:
        break;
    }
}

const supervised_route *supervisor::route_of_address(pid_t pid, std::uint64_t address, std::uint32_t length)
{
    sockaddr_storage copy{};
    std::size_t size = std::min<std::size_t>(length, sizeof copy);
    if (address == 0 || routes_.empty() || !read_process_memory(pid, address, &copy, size) ||
        !still_waiting(current_id_)) {
        return nullptr;
    }
    return route_for(routes_, reinterpret_cast<const sockaddr *>(&copy), static_cast<socklen_t>(size));
}

std::shared_ptr<hop_binding> supervisor::bind(pid_t pid, int fd, const supervised_route &route)
{
    descriptor_state &state = descriptors_[{pid, fd}];
    if (state.binding == nullptr || &state.binding->route() != &route) {
        state.binding = std::make_shared<hop_binding>(route);
    }
    return state.binding;
}

std::shared_ptr<hop_binding> supervisor::binding_of(pid_t pid, int fd)
{
    if (routes_.empty()) {
        return nullptr;
    }
    auto known = descriptors_.find({pid, fd});
    if (known != descriptors_.end()) {
        return known->second.binding;
    }
    // Met for the first time (inherited, received, duplicated): a socket
    // whose peer is routed is bound, anything else is remembered as nothing
    // to route, so its next write costs only this lookup.
    descriptor_copy copy(processes_.copy_descriptor(pid, fd));
    struct stat status;
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    const supervised_route *route = nullptr;
    if (copy.get() >= 0 && fstat(copy.get(), &status) == 0 && S_ISSOCK(status.st_mode) &&
        getpeername(copy.get(), reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
        route = route_for(routes_, reinterpret_cast<const sockaddr *>(&peer), length);
    }
    if (route == nullptr) {
        descriptors_[{pid, fd}] = {};
        return nullptr;
    }
    return bind(pid, fd, *route);
}

void supervisor::forget(pid_t pid, unsigned first, unsigned last)
{
    if (first > last) {
        return;
    }
    auto clamp = [](unsigned fd) { return static_cast<int>(std::min<unsigned>(fd, INT_MAX)); };
    descriptors_.erase(descriptors_.lower_bound({pid, clamp(first)}),
                       descriptors_.upper_bound({pid, clamp(last)}));
}

void supervisor::bounce(pid_t pid, const notified_call &call, std::shared_ptr<hop_binding> binding,
                        std::size_t len)
{
    if (!send_would_block(pid, call)) {
        trips_.push_back({std::move(binding), len});
    }
}

bool supervisor::send_would_block(pid_t pid, const notified_call &call)
{
    // A send the system refuses at once with EAGAIN delays nothing; a
    // non-blocking program (every Go program) retries it once there is room,
    // and only that send makes the round trip.
    descriptor_copy socket(processes_.copy_descriptor(pid, call.fd));
    int status = socket.get() >= 0 ? fcntl(socket.get(), F_GETFL) : -1;
    if (status < 0 || (!(call.flags & MSG_DONTWAIT) && !(status & O_NONBLOCK))) {
        return false;
    }
    pollfd watch{socket.get(), POLLOUT, 0};
    return poll(&watch, 1, 0) == 0;
}

bool supervisor::vector_length(pid_t pid, std::uint64_t vector, std::uint64_t count, std::size_t &total)
{
    total = 0;
    if (count > IOV_MAX) {
        return false;
    }
    std::vector<iovec> pieces(count);
    if (!read_process_memory(pid, vector, pieces.data(), count * sizeof(iovec))) {
        return false;
    }
    for (const iovec &piece : pieces) {
        if (__builtin_add_overflow(total, piece.iov_len, &total)) {
            return false;
        }
    }
    return true;
}

void supervisor::send_message(pid_t pid, const notified_call &call, std::uint64_t header_address)
{
    msghdr header;
    if (!read_process_memory(pid, header_address, &header, sizeof header)) {
        return;
    }
    std::shared_ptr<hop_binding> binding;
    if (header.msg_name != nullptr) {
        if (const supervised_route *route =
                route_of_address(pid, reinterpret_cast<std::uint64_t>(header.msg_name), header.msg_namelen)) {
            binding = bind(pid, call.fd, *route);
        }
    } else {
        binding = binding_of(pid, call.fd);
    }
    std::size_t total;
    if (binding != nullptr &&
        vector_length(pid, reinterpret_cast<std::uint64_t>(header.msg_iov), header.msg_iovlen, total) &&
        still_waiting(current_id_)) {
        bounce(pid, call, binding, total);
    }
}

std::size_t supervisor::sendfile_length(pid_t pid, const notified_call &call)
{
    // No more than the file holds after the offset: a call at its end (how
    // programs learn they are done) delays nothing.
    descriptor_copy in(processes_.copy_descriptor(pid, call.in_fd));
    struct stat status;
    off_t from = 0;
    if (in.get() < 0 || fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (call.offset_pointer != 0 ? !read_process_memory(pid, call.offset_pointer, &from, sizeof from)
                                  : (from = lseek(in.get(), 0, SEEK_CUR)) < 0)) {
        return call.length;
    }
    std::uint64_t left = status.st_size > from ? static_cast<std::uint64_t>(status.st_size - from) : 0;
    return std::min<std::uint64_t>(left, call.length);
}
