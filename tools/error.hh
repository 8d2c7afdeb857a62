// Error reports of the echo test tools: one line on standard error with the
// program's name, the caller's message and the system's text for errno.
#pragma once

// The program's name for its reports; each program defines it and sets it
// from argv[0] before anything can fail. Null leaves the name out.
extern const char *pname;

// Reports without system text and exits with status 1.
[[noreturn]] void err_quit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports with the system's text and exits with status 1.
[[noreturn]] void err_sys(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports with the system's text, flushes both standard streams and returns.
void err_ret(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports with the system's text, flushes both standard streams and aborts,
// leaving a core image where the system keeps one.
[[noreturn]] void err_dump(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the system-error suffix: a blank, the text of sys_err_str, a newline.
void my_perror();

// The text for the current errno: empty for 0, "(text)" for a number the
// system knows, "(errno = N)" otherwise. The buffer is shared by every call.
char *sys_err_str();
