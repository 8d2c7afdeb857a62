// Reading the application's memory without trusting its pointers: a bad
// pointer that the system would answer with EFAULT must not crash the
// library either.
#pragma once

#include <sys/socket.h>

#include <cstddef>

#include "text_buffer.hh"

// The text the trace shows for a value behind a pointer that cannot be read.
inline constexpr const char *unreadable_text = "(bad address)";

// Copies length bytes from the application's from into to; false when any of
// them cannot be read.
bool copy_from_program(void *to, const void *from, std::size_t length);

// Copies length bytes into the application's to; false when any of them
// cannot be written.
bool copy_to_program(void *to, const void *from, std::size_t length);

// Reads one value through an application pointer; false when it cannot.
template <typename Value>
bool read_from_program(const Value *from, Value &to)
{
    return copy_from_program(&to, from, sizeof to);
}

// The address text of an application's socket address of the given length:
// "(null)" for none, the unreadable text for a bad pointer.
const char *program_address_text(const struct sockaddr *name, int length);

// A copy of an application's socket address, with room for every byte the
// address text reads: any address the system takes, and a local path as
// long as the text buffer.
struct program_address {
    union {
        sockaddr_storage storage;
        char bytes[text_buffer_size + 16];
    };
    const sockaddr *address() const { return reinterpret_cast<const sockaddr *>(bytes); }
};

// Copies an application's socket address of the given length into into
// (zeroed first): as much as the address text reads when that much can be
// read, else the length given. The bytes copied, or -1 when not even those
// can be read.
int copy_program_address(program_address &into, const struct sockaddr *name, int length);
