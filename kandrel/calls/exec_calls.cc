// The exec calls. In a run of kandrel-run, a program that a process of the
// run execs and that will run without the library (statically linked, or
// set-user-ID or set-group-ID, whose preload the dynamic linker ignores) is
// told to the run's collector first, so that the run's report names it
// instead of its sends escaping unseen. The exec itself is the real call,
// untouched; no trace line; the bare library only passes the calls on.
// glibc's execl family and posix_spawn reach the system without these.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "call_frame.hh"
#include "collector.hh"
#include "elf_interpreter.hh"
#include "owned_descriptor.hh"
#include "program_memory.hh"
#include "real_calls.hh"

namespace {

// Copies the program's text from into to (size bytes of room), a page at a
// time, so that a short name near the end of its mapping is read whole;
// false when it cannot be read or does not fit.
bool copy_program_text(char *to, const char *from, std::size_t size)
{
    constexpr std::uintptr_t page = 4096;
    for (std::size_t copied = 0; copied < size;) {
        auto at = reinterpret_cast<std::uintptr_t>(from + copied);
        std::size_t piece = std::min<std::size_t>(page - at % page, size - copied);
        if (!copy_from_program(to + copied, from + copied, piece)) {
            return false;
        }
        if (std::memchr(to + copied, '\0', piece) != nullptr) {
            return true;
        }
        copied += piece;
    }
    return false;
}

// Whether the kernel honours a set-user-ID or set-group-ID bit of file:
// not on a nosuid mount, nor in a process that may gain no privileges.
bool id_bits_honoured(int file)
{
    struct statvfs mount;
    return !(fstatvfs(file, &mount) == 0 && (mount.f_flag & ST_NOSUID)) &&
           prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1;
}

// Whether file is an ELF program without a dynamic linker.
bool statically_linked(int file)
{
    unsigned char bytes[1024];
    ssize_t got = pread(file, bytes, 64, 0);
    elf_program_table table;
    if (got <= 0 || !find_program_table({bytes, static_cast<std::size_t>(got)}, table) ||
        table.entry_size > sizeof bytes) {
        return false;
    }
    std::size_t left = table.count * table.entry_size;
    for (std::uint64_t at = table.offset; left > 0;) {
        std::size_t piece = std::min(left, sizeof bytes / table.entry_size * table.entry_size);
        if (pread(file, bytes, piece, static_cast<off_t>(at)) != static_cast<ssize_t>(piece)) {
            return false;  // a file the kernel will not run either
        }
        if (names_interpreter({bytes, piece}, table)) {
            return false;
        }
        at += piece;
        left -= piece;
    }
    return true;
}

// Why the program at path will run without the library, or nullptr when it
// will load it or cannot be read.
const char *why_without_library(const char *path)
{
    int file = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (file < 0) {
        return nullptr;
    }
    const char *why = nullptr;
    if (fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
        // The dynamic linker ignores the preload when the exec gives the
        // process another user or group than its real one.
        bool honoured = (status.st_mode & (S_ISUID | S_ISGID)) != 0 && id_bits_honoured(file);
        if (honoured && (status.st_mode & S_ISUID) && status.st_uid != getuid()) {
            why = "set-user-ID";
        } else if (honoured && (status.st_mode & S_ISGID) && status.st_gid != getgid()) {
            why = "set-group-ID";
        } else if (statically_linked(file)) {
            why = "statically linked";
        }
    }
    real_calls().close(file);
    return why;
}

// The file execvp runs for name (at most PATH_MAX bytes, its NUL included):
// name itself when it holds a slash, else the first executable regular file
// of that name along the program's PATH (its own variable, read as it is
// now); false when there is none.
bool search_path(const char *name, char (&found)[PATH_MAX])
{
    if (std::strchr(name, '/') != nullptr) {
        std::strcpy(found, name);
        return true;
    }
    const char *path = std::getenv("PATH");
    std::size_t name_length = std::strlen(name);
    for (const char *dir = path != nullptr ? path : "/bin:/usr/bin"; *name != '\0';) {
        const char *end = strchrnul(dir, ':');
        auto length = static_cast<std::size_t>(end - dir);
        // An empty entry is the current directory.
        if (length + name_length + 3 < sizeof found) {
            std::memcpy(found, length != 0 ? dir : ".", length != 0 ? length : 1);
            std::size_t at = length != 0 ? length : 1;
            found[at] = '/';
            std::memcpy(found + at + 1, name, name_length + 1);
            struct stat status;
            if (access(found, X_OK) == 0 && stat(found, &status) == 0 && S_ISREG(status.st_mode)) {
                return true;
            }
        }
        if (*end == '\0') {
            break;
        }
        dir = end + 1;
    }
    return false;
}

// Tells the collector about the program name names (searched along PATH
// when searched) if it will run without the library. A child of vfork
// shares the parent's connection and is left alone.
void tell_if_unseen(const char *name, bool searched)
{
    char copied[PATH_MAX], found[PATH_MAX];
    if (!collector_named() || in_vfork_child() || !copy_program_text(copied, name, sizeof copied) ||
        (searched && !search_path(copied, found))) {
        return;
    }
    const char *path = searched ? found : copied;
    if (const char *why = why_without_library(path)) {
        // "WHY:PATH"
        char reason[32];
        std::size_t length = std::strlen(why);
        std::memcpy(reason, why, length);
        reason[length] = ':';
        send_to_collector(collector_kind::unseen, reason, length + 1, path, std::strlen(path));
    }
}

}  // namespace

extern "C" {

KANDREL_EXPORTED int execve(const char *path, char *const argv[], char *const envp[])
{
    return interposed([&] { return real_calls().execve(path, argv, envp); },
                      [&](call_frame &frame) {
                          tell_if_unseen(path, false);
                          return frame.real([&] { return real_calls().execve(path, argv, envp); });
                      });
}

KANDREL_EXPORTED int execv(const char *path, char *const argv[])
{
    return interposed([&] { return real_calls().execv(path, argv); },
                      [&](call_frame &frame) {
                          tell_if_unseen(path, false);
                          return frame.real([&] { return real_calls().execv(path, argv); });
                      });
}

KANDREL_EXPORTED int execvp(const char *file, char *const argv[])
{
    return interposed([&] { return real_calls().execvp(file, argv); },
                      [&](call_frame &frame) {
                          tell_if_unseen(file, true);
                          return frame.real([&] { return real_calls().execvp(file, argv); });
                      });
}

KANDREL_EXPORTED int execvpe(const char *file, char *const argv[], char *const envp[])
{
    return interposed([&] { return real_calls().execvpe(file, argv, envp); },
                      [&](call_frame &frame) {
                          tell_if_unseen(file, true);
                          return frame.real([&] { return real_calls().execvpe(file, argv, envp); });
                      });
}

}  // extern "C"
