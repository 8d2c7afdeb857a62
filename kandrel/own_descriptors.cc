// Descriptors the library opens for itself.
#include "own_descriptors.hh"

#include <fcntl.h>
#include <unistd.h>

#include "real_calls.hh"

int above_standard_descriptors(int s)
{
    if (s < 0 || s > STDERR_FILENO) {
        return s;
    }
    int moved = fcntl(s, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    real_calls().close(s);
    return moved;
}
