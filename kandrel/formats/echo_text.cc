// The shown form of an echo.
#include "echo_text.hh"

#include <cstring>

std::size_t echo_text_length(const char *echo, std::size_t len)
{
    const void *zero = std::memchr(echo, '\0', len);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - echo) : len;
}

std::size_t escape_echo_byte(unsigned char byte, char (&out)[escaped_byte_size])
{
    if (byte >= 0x20 && byte < 0x7f) {
        out[0] = static_cast<char>(byte);
        return 1;
    }
    static constexpr char hex_digits[] = "0123456789abcdef";
    out[0] = '\\';
    switch (byte) {
    case '\t':
        out[1] = 't';
        return 2;
    case '\n':
        out[1] = 'n';
        return 2;
    case '\r':
        out[1] = 'r';
        return 2;
    default:
        out[1] = 'x';
        out[2] = hex_digits[byte >> 4];
        out[3] = hex_digits[byte & 0xf];
        return 4;
    }
}
