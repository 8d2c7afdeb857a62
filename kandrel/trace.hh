// The trace stream (the process's standard error through stdio), the debug
// flag that guards the detailed lines, and errno preservation around them.
#pragma once

#include <cerrno>

// Storage of the exported `debug`; the library only ever reads it.
extern "C" int kandrel_debug_flag;

// Read afresh every time, so the application can switch it while it runs.
inline bool debug_on()
{
    return __atomic_load_n(&kandrel_debug_flag, __ATOMIC_RELAXED) != 0;
}

// Writes a trace line to standard error, whatever debug says. stdio is used,
// never a raw write to descriptor 2, so the line goes where the application
// pointed its stderr, and glibc's stdio never enters the interposed write.
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes a trace line only while debug is non-zero.
void trace_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes one of the library's few lines meant for standard output.
void print_output(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Standard output or error must not be written while its descriptor number
// belongs to a socket the application opened after closing the stream's
// descriptor: the trace would land in the application's own traffic.
void note_descriptor_opened(int descriptor);
void note_descriptor_closed(int descriptor);

// A pointer as the trace prints it, in hexadecimal after "0x".
inline unsigned long pointer_value(const void *pointer)
{
    return reinterpret_cast<unsigned long>(pointer);
}

// Keeps the application's errno: the library's own work (trace writes, name
// lookups) never shows, and the application sees exactly what the real call
// left. The real call itself runs with the errno the application had.
class preserved_errno {
public:
    preserved_errno() : value_(errno) {}
    ~preserved_errno() { errno = value_; }
    preserved_errno(const preserved_errno &) = delete;
    preserved_errno &operator=(const preserved_errno &) = delete;

    template <typename RealCall>
    auto real(RealCall &&call)
    {
        errno = value_;
        auto result = call();
        value_ = errno;
        return result;
    }

private:
    int value_;
};
