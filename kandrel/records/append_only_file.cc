// Files the library appends whole lines to.
#include "append_only_file.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "real_calls.hh"

namespace {

constexpr int append_flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

int open_regular(const char *path, int extra_flags)
{
    int descriptor = above_standard_descriptors(open(path, append_flags | extra_flags, 0666));
    struct stat status;
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))) {
        real_calls().close(descriptor);
        return -1;
    }
    return descriptor;
}

// The absolute form of path, or an empty text when it cannot be had.
void remember_path(append_only_file &file, const char *path)
{
    file.path[0] = '\0';
    if (path[0] == '/') {
        if (std::strlen(path) < sizeof file.path) {
            std::strcpy(file.path, path);
        }
        return;
    }
    if (getcwd(file.path, sizeof file.path) == nullptr ||
        std::strlen(file.path) + 1 + std::strlen(path) >= sizeof file.path) {
        file.path[0] = '\0';
        return;
    }
    if (file.path[1] != '\0') {
        std::strcat(file.path, "/");
    }
    std::strcat(file.path, path);
}

}  // namespace

bool open_append_only(append_only_file &file, const char *path, int extra_flags)
{
    int descriptor = open_regular(path, extra_flags);
    if (descriptor < 0) {
        return false;
    }
    acquire(file.lock);
    remember_path(file, path);
    file.identity = identity_of(descriptor);
    file.descriptor = descriptor;
    release(file.lock);
    return true;
}

void append_line(append_only_file &file, const char *line, std::size_t length)
{
    acquire(file.lock);
    int descriptor = file.descriptor;
    if (descriptor >= 0 && !still_ours(descriptor, file.identity)) {
        let_go(descriptor, file.identity);
        descriptor = file.path[0] != '\0' ? open_regular(file.path, 0) : -1;
        file.identity = identity_of(descriptor);
        file.descriptor = descriptor;
    }
    release(file.lock);
    if (descriptor >= 0) {
        real_calls().write(descriptor, line, length);
    }
}

void reset_after_fork(append_only_file &file)
{
    file.lock = {};
}
