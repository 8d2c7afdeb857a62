// Printable text of a socket address.
#include "address_text.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>

#include "text_buffer.hh"

namespace {

// The dotted quad of an address in network byte order, without inet_ntoa's
// process-wide buffer.
void format_inet(char *into, std::size_t size, const sockaddr_in &address)
{
    const auto *octet = reinterpret_cast<const unsigned char *>(&address.sin_addr.s_addr);
    std::snprintf(into, size, "%u.%u.%u.%u:%u", octet[0], octet[1], octet[2], octet[3],
                  static_cast<unsigned>(ntohs(address.sin_port)));
}

// The path of a local address: length - 2 bytes after the family, up to the
// first zero byte, bounded to the buffer (an empty text below 2).
void format_local(char *into, std::size_t size, const struct sockaddr *name, int length)
{
    constexpr int family_bytes = 2;
    int path_bytes = length - family_bytes;
    if (path_bytes <= 0) {
        into[0] = '\0';
        return;
    }
    std::size_t take = static_cast<std::size_t>(path_bytes);
    if (take > size - 1) {
        take = size - 1;
    }
    const char *path = reinterpret_cast<const char *>(name) + family_bytes;
    std::size_t used = strnlen(path, take);
    std::memcpy(into, path, used);
    into[used] = '\0';
}

}  // namespace

const char *get_address(const struct sockaddr *name, int length)
{
    KANDREL_THREAD_TEXT_BUFFER(address_text);
    if (name == nullptr) {
        return null_pointer_text;
    }
    sa_family_t family;
    std::memcpy(&family, name, sizeof family);
    switch (family) {
    case AF_INET: {
        sockaddr_in address;
        std::memcpy(&address, name, sizeof address);
        format_inet(address_text, sizeof address_text, address);
        return address_text;
    }
    case AF_UNIX:
        format_local(address_text, sizeof address_text, name, length);
        return address_text;
    default:
        return "AF_UNKNOWN";
    }
}

const char *get_address_with_ipv6(const struct sockaddr *name, int length)
{
    KANDREL_THREAD_TEXT_BUFFER(address_text);
    sa_family_t family = AF_UNSPEC;
    if (name != nullptr) {
        std::memcpy(&family, name, sizeof family);
    }
    if (family != AF_INET6 || length < static_cast<int>(sizeof(sockaddr_in6))) {
        return get_address(name, length);
    }
    sockaddr_in6 address;
    std::memcpy(&address, name, sizeof address);
    char host[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &address.sin6_addr, host, sizeof host);
    std::snprintf(address_text, sizeof address_text, "[%s]:%u", host,
                  static_cast<unsigned>(ntohs(address.sin6_port)));
    return address_text;
}
