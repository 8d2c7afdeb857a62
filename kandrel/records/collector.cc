// The library's side of the run's collector: the name from the environment
// and a stream connection of this process's own. A stream, not datagrams:
// kandrel-run reads it at its own pace, so a record never wakes it (a wakeup
// per record lengthened routed sends measurably), and a burst of records
// waits in the connection's buffer rather than in a queue of ten datagrams.
#include "collector.hh"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdlib>

#include "library_lock.hh"
#include "owned_descriptor.hh"
#include "real_calls.hh"
#include "settings.hh"

namespace {

// 0 until read; 1 none; 2 named.
int named = 0;
sockaddr_un address;
socklen_t address_length = 0;

// This process's connection, made on first use; a child of fork, or a
// process whose connection the program closed or took the number of, makes
// its own. The lock also keeps each message whole beside other threads'.
library_lock sender_lock;
int sender = -1;
descriptor_identity sender_identity;

void reset_lock_in_child()
{
    sender_lock = {};
}

// With sender_lock held.
int own_sender()
{
    if (sender >= 0 && still_ours(sender, sender_identity)) {
        return sender;
    }
    // An inherited or taken number is left alone, never closed.
    sender = above_standard_descriptors(real_calls().socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sender >= 0 &&
        real_calls().connect(sender, reinterpret_cast<const sockaddr *>(&address), address_length) != 0) {
        real_calls().close(sender);
        sender = -1;
    }
    sender_identity = identity_of(sender);
    return sender;
}

// Sends every byte of parts, going on after a signal cut it short.
bool send_whole(int s, iovec *parts, int count)
{
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t sent = real_calls().sendmsg(s, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            return false;
        }
        auto left = static_cast<std::size_t>(sent);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char *>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

}  // namespace

bool collector_named()
{
    int now = __atomic_load_n(&named, __ATOMIC_ACQUIRE);
    if (now == 0) {
        const char *name = setting("KANDREL_COLLECTOR");
        address_length = name != nullptr ? collector_address(name, address) : 0;
        now = address_length != 0 ? 2 : 1;
        if (now == 2) {
            pthread_atfork(nullptr, nullptr, reset_lock_in_child);
        }
        __atomic_store_n(&named, now, __ATOMIC_RELEASE);
    }
    return now == 2;
}

bool connect_to_collector()
{
    acquire(sender_lock);
    bool connected = own_sender() >= 0;
    release(sender_lock);
    return connected;
}

bool send_to_collector(collector_kind kind, const char *text, std::size_t length, const char *more,
                       std::size_t more_length)
{
    acquire(sender_lock);
    int s = own_sender();
    bool sent = s >= 0;
    do {
        std::size_t piece = length < collector_text_limit ? length : collector_text_limit;
        std::size_t extra = more_length <= collector_text_limit - piece ? more_length : 0;
        unsigned char header[collector_header_size];
        collector_header(kind, static_cast<std::uint32_t>(piece + extra), header);
        iovec parts[3] = {
            {header, sizeof header}, {const_cast<char *>(text), piece}, {const_cast<char *>(more), extra}};
        sent = sent && send_whole(s, parts, extra != 0 ? 3 : 2);
        text += piece;
        length -= piece;
        more_length -= extra;
    } while (sent && length > 0);
    release(sender_lock);
    return sent;
}
