// Destination addresses in one comparable form.
#include "address_key.hh"

#include <arpa/inet.h>

#include <cstring>

bool address_key(const struct sockaddr *address, socklen_t length, in6_addr &key)
{
    if (address == nullptr || length < sizeof(sa_family_t)) {
        return false;
    }
    sa_family_t family;
    std::memcpy(&family, address, sizeof family);
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        key = in6_addr{};
        key.s6_addr[10] = 0xff;
        key.s6_addr[11] = 0xff;
        std::memcpy(&key.s6_addr[12], &v4.sin_addr, sizeof v4.sin_addr);
        return true;
    }
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        key = v6.sin6_addr;
        return true;
    }
    return false;
}

const char *address_key_text(const in6_addr &key, char *out, socklen_t size)
{
    if (IN6_IS_ADDR_V4MAPPED(&key)) {
        return inet_ntop(AF_INET, &key.s6_addr[12], out, size);
    }
    return inet_ntop(AF_INET6, &key, out, size);
}
