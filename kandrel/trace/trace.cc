// The trace stream, the debug flag and the standard-stream guard.
#include "trace.hh"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "echo_text.hh"
#include "routing_policy.hh"
#include "trace_file.hh"

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

// Where trace lines go: the trace file when one is named, else standard
// error unless one of the program's sockets holds its number; null when
// nowhere.
FILE *trace_target()
{
    if (FILE *file = trace_file()) {
        return file;
    }
    return taken(stderr_taken) ? nullptr : stderr;
}

// Where the library's standard-output lines go: standard output, unless the
// routing policy keeps the program's output its own; they then go to the
// trace.
FILE *output_target()
{
    if (routing().keeps_program_output) {
        return trace_target();
    }
    return taken(stdout_taken) ? nullptr : stdout;
}

// The library never looks at the result of its own output: a closed or
// failing stream only loses the line.
void write_to(FILE *stream, const char *format, va_list arguments)
{
    if (stream != nullptr) {
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

void note_descriptor_replaced(int descriptor)
{
    if (descriptor == STDOUT_FILENO || descriptor == STDERR_FILENO) {
        struct stat status;
        mark(descriptor, fstat(descriptor, &status) == 0 && S_ISSOCK(status.st_mode));
    }
}

void trace(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_to(trace_target(), format, arguments);
    va_end(arguments);
}

void trace_debug(const char *format, ...)
{
    if (!debug_on()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    write_to(trace_target(), format, arguments);
    va_end(arguments);
}

void print_output(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_to(output_target(), format, arguments);
    va_end(arguments);
}

void print_echo_line(const char *format, ...)
{
    if (routing().keeps_program_output && !debug_on()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    write_to(output_target(), format, arguments);
    va_end(arguments);
}

void print_echo(echo_stream where, const char *prefix, const char *echo, size_t len)
{
    bool to_output = where == echo_stream::output && !routing().keeps_program_output;
    if (!to_output && !debug_on()) {
        return;
    }
    FILE *stream = to_output ? output_target() : trace_target();
    if (stream == nullptr) {
        return;
    }
    // The line is built in pieces on the stack (no heap: a round trip may run
    // in a signal handler) and written under the stream's lock, so it stays
    // whole beside other threads' lines.
    char piece[256];
    std::size_t used = 0;
    flockfile(stream);
    fputs_unlocked(prefix, stream);
    std::size_t shown = echo_text_length(echo, len);
    for (std::size_t i = 0; i < shown; ++i) {
        char escaped[escaped_byte_size];
        std::size_t n = escape_echo_byte(static_cast<unsigned char>(echo[i]), escaped);
        if (used + n > sizeof piece) {
            fwrite_unlocked(piece, 1, used, stream);
            used = 0;
        }
        std::memcpy(piece + used, escaped, n);
        used += n;
    }
    fwrite_unlocked(piece, 1, used, stream);
    fputc_unlocked('\n', stream);
    funlockfile(stream);
}
