// The trace stream (the process's standard error through stdio), the debug
// flag that guards the detailed lines, and the standard-stream guard.
#pragma once

#include <cstddef>

// Storage of the exported `debug`; the library only ever reads it.
extern "C" int kandrel_debug_flag;

// Read afresh every time, so the application can switch it while it runs.
inline bool debug_on()
{
    return __atomic_load_n(&kandrel_debug_flag, __ATOMIC_RELAXED) != 0;
}

// Writes a trace line to standard error (or the trace file, trace_file.hh),
// whatever debug says. stdio is used, never a raw write to descriptor 2, so
// the line goes where the application pointed its stderr, and glibc's stdio
// never enters the interposed write.
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes a trace line only while debug is non-zero.
void trace_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes one of the library's few lines meant for standard output; they go
// to the trace instead when the routing policy keeps the program's output
// its own.
void print_output(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes a line about an echo on standard output; when the routing policy
// keeps the program's output its own, on the trace and only while debug is on.
void print_echo_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Where an echo line goes: standard output (as print_echo_line), or the
// trace stream while debug is on.
enum class echo_stream { output, trace_debug };

// Writes prefix, the shown form of an echo of len bytes (echo_text.hh) and a
// newline as one line.
void print_echo(echo_stream where, const char *prefix, const char *echo, size_t len);

// Standard output or error must not be written while its descriptor number
// belongs to a socket the application opened after closing the stream's
// descriptor: the trace would land in the application's own traffic.
void note_descriptor_opened(int descriptor);
void note_descriptor_closed(int descriptor);
// A descriptor the application filled with dup, dup2, dup3 or fcntl: taken
// when it is now a socket, the stream's again when it is any other file.
void note_descriptor_replaced(int descriptor);

// A pointer as the trace prints it, in hexadecimal after "0x".
inline unsigned long pointer_value(const void *pointer)
{
    return reinterpret_cast<unsigned long>(pointer);
}
