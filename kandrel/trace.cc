// The trace stream, the debug flag and the standard-stream guard.
#include "trace.hh"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

extern "C" {
int kandrel_debug_flag = 0;
// Exported under its own name for programs and companion libraries to set.
extern int debug __attribute__((alias("kandrel_debug_flag"), visibility("default")));
}

namespace {

// Set while the descriptor of standard output or error is one of the
// application's sockets rather than the stream's own file.
bool stdout_taken = false;
bool stderr_taken = false;

bool taken(const bool &flag)
{
    return __atomic_load_n(&flag, __ATOMIC_RELAXED);
}

void mark(int descriptor, bool value)
{
    if (descriptor == STDOUT_FILENO) {
        __atomic_store_n(&stdout_taken, value, __ATOMIC_RELAXED);
    } else if (descriptor == STDERR_FILENO) {
        __atomic_store_n(&stderr_taken, value, __ATOMIC_RELAXED);
    }
}

// The library never looks at the result of its own output: a closed or
// failing stream only loses the line.
void write_unless_taken(FILE *stream, const bool &flag, const char *format, va_list arguments)
{
    if (!taken(flag)) {
        std::vfprintf(stream, format, arguments);
    }
}

}  // namespace

void note_descriptor_opened(int descriptor)
{
    mark(descriptor, true);
}

void note_descriptor_closed(int descriptor)
{
    mark(descriptor, false);
}

void trace(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_unless_taken(stderr, stderr_taken, format, arguments);
    va_end(arguments);
}

void trace_debug(const char *format, ...)
{
    if (!debug_on()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    write_unless_taken(stderr, stderr_taken, format, arguments);
    va_end(arguments);
}

void print_output(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_unless_taken(stdout, stdout_taken, format, arguments);
    va_end(arguments);
}
