// The collector's address from its name.
#include "collector_datagram.hh"

#include <cstring>

socklen_t collector_address(const char *name, sockaddr_un &address)
{
    std::size_t length = std::strlen(name);
    if (length < 2 || name[0] != '@' || length > sizeof address.sun_path) {
        return 0;
    }
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name + 1, length - 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
}
