// Descriptors the library opens for itself.
#include "owned_descriptor.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "real_calls.hh"

namespace {

bool same_file(int s, const descriptor_identity &identity)
{
    struct stat now;
    return s >= 0 && identity.inode != 0 && fstat(s, &now) == 0 && now.st_dev == identity.device &&
           now.st_ino == identity.inode;
}

}  // namespace

int above_standard_descriptors(int s)
{
    if (s < 0 || s > STDERR_FILENO) {
        return s;
    }
    int moved = real_calls().fcntl(s, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    real_calls().close(s);
    return moved;
}

descriptor_identity identity_of(int s)
{
    struct stat now;
    if (s < 0 || fstat(s, &now) != 0) {
        return {};
    }
    return {getpid(), now.st_dev, now.st_ino};
}

bool still_ours(int s, const descriptor_identity &identity)
{
    return identity.owner == getpid() && same_file(s, identity);
}

void let_go(int s, const descriptor_identity &identity)
{
    if (same_file(s, identity)) {
        real_calls().close(s);
    }
}
