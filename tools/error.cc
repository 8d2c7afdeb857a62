// The error-reporting routines compiled into both echo test tools.
#include "error.hh"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The prefix and the caller's message, without the line end.
void report(const char *fmt, va_list args)
{
    if (pname != nullptr) {
        fprintf(stderr, "%s: ", pname);
    }
    vfprintf(stderr, fmt, args);
}

}  // namespace

void err_quit(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    report(fmt, args);
    va_end(args);
    fputc('\n', stderr);
    exit(1);
}

void err_sys(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    report(fmt, args);
    va_end(args);
    my_perror();
    exit(1);
}

void err_ret(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    report(fmt, args);
    va_end(args);
    my_perror();
    fflush(stdout);
    fflush(stderr);
}

void err_dump(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    report(fmt, args);
    va_end(args);
    my_perror();
    fflush(stdout);
    fflush(stderr);
    // glibc's abort cannot return (it ends the process itself if SIGABRT is
    // caught), so no fallback exit follows.
    abort();
}

void my_perror()
{
    fprintf(stderr, " %s\n", sys_err_str());
}

char *sys_err_str()
{
    static char msgstr[200];
    // errno is read only now, after the caller's message has been written.
    const int err = errno;
    // glibc has no linkable table of known size; a number counts as known
    // when it has a symbolic name, and its text is then strerror's.
    if (err == 0) {
        msgstr[0] = '\0';
    } else if (err > 0 && strerrorname_np(err) != nullptr) {
        snprintf(msgstr, sizeof msgstr, "(%s)", strerror(err));
    } else {
        snprintf(msgstr, sizeof msgstr, "(errno = %d)", err);
    }
    return msgstr;
}
