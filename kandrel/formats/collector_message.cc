// The collector's message framing and its address.
#include "collector_message.hh"

#include <cstring>

void collector_header(collector_kind kind, std::uint32_t length, unsigned char *header)
{
    header[0] = static_cast<unsigned char>(kind);
    std::memcpy(header + 1, &length, sizeof length);
}

std::size_t next_collector_message(std::span<const char> bytes, collector_message &message)
{
    std::uint32_t length = 0;
    if (bytes.size() < collector_header_size) {
        return 0;
    }
    std::memcpy(&length, bytes.data() + 1, sizeof length);
    if (bytes.size() - collector_header_size < length) {
        return 0;
    }
    message.kind = static_cast<collector_kind>(bytes[0]);
    message.text = bytes.subspan(collector_header_size, length);
    return collector_header_size + length;
}

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
