// The library's side of the run's collector: the name from the environment
// and a datagram socket of this process's own.
#include "collector.hh"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdlib>

#include "owned_descriptor.hh"
#include "real_calls.hh"

namespace {

// 0 until read; 1 none; 2 named.
int named = 0;
sockaddr_un address;
socklen_t address_length = 0;

// This process's socket to the collector, made on first use; a child of
// fork, or a process whose socket the program closed or took the number of,
// makes its own.
pthread_mutex_t sender_lock = PTHREAD_MUTEX_INITIALIZER;
int sender = -1;
descriptor_identity sender_identity;

void reset_lock_in_child()
{
    pthread_mutex_init(&sender_lock, nullptr);
}

int own_sender()
{
    pthread_mutex_lock(&sender_lock);
    if (sender < 0 || !still_ours(sender, sender_identity)) {
        // An inherited or taken number is left alone, never closed.
        sender = above_standard_descriptors(real_calls().socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sender_identity = identity_of(sender);
    }
    int s = sender;
    pthread_mutex_unlock(&sender_lock);
    return s;
}

}  // namespace

bool collector_named()
{
    int now = __atomic_load_n(&named, __ATOMIC_ACQUIRE);
    if (now == 0) {
        const char *name = std::getenv("KANDREL_COLLECTOR");
        address_length = name != nullptr ? collector_address(name, address) : 0;
        now = address_length != 0 ? 2 : 1;
        if (now == 2) {
            pthread_atfork(nullptr, nullptr, reset_lock_in_child);
        }
        __atomic_store_n(&named, now, __ATOMIC_RELEASE);
    }
    return now == 2;
}

bool send_to_collector(collector_kind kind, const char *text, std::size_t length)
{
    int s = own_sender();
    if (s < 0) {
        return false;
    }
    char kind_byte = static_cast<char>(kind);
    do {
        std::size_t piece = length < collector_datagram_size - 1 ? length : collector_datagram_size - 1;
        iovec parts[2] = {{&kind_byte, 1}, {const_cast<char *>(text), piece}};
        msghdr message{};
        message.msg_name = &address;
        message.msg_namelen = address_length;
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        ssize_t sent;
        while ((sent = real_calls().sendmsg(s, &message, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        if (sent < 0) {
            return false;
        }
        text += piece;
        length -= piece;
    } while (length > 0);
    return true;
}
