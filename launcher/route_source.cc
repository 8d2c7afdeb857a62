// Reading the route file once, and the private copy of one that is a pipe.
#include "route_source.hh"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "route_line.hh"

namespace launcher {
namespace {

// How long a pipe's writer may stay silent before the read gives up.
constexpr int pipe_silence_ms = 5000;

}  // namespace

route_source read_route_source(const std::string &path)
{
    route_source source;
    // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
    int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        source.error = std::strerror(errno);
    } else if (S_ISDIR(status.st_mode)) {
        source.error = std::strerror(EISDIR);
    }
    source.pipe = source.error.empty() && S_ISFIFO(status.st_mode);
    char chunk[1 << 16];
    while (source.error.empty() && source.text.size() <= full_route_file_read_limit) {
        ssize_t n = read(descriptor, chunk, sizeof chunk);
        if (n > 0) {
            source.text.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN) {
            pollfd p{descriptor, POLLIN, 0};
            if (poll(&p, 1, pipe_silence_ms) == 0) {
                source.error = "its writer sent nothing for " + std::to_string(pipe_silence_ms / 1000) + " s";
            }
        } else if (errno != EINTR) {
            source.error = std::strerror(errno);
        }
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
    source.cut = source.text.size() > full_route_file_read_limit;
    source.text.resize(std::min(source.text.size(), full_route_file_read_limit));
    return source;
}

std::string private_route_copy(const std::string &text, std::string &error)
{
    const char *dir = std::getenv("TMPDIR");
    std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kandrel-routes-XXXXXX";
    int descriptor = mkostemp(path.data(), O_CLOEXEC);
    bool written = descriptor >= 0 && fchmod(descriptor, 0644) == 0 &&
                   write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    error = written ? "" : std::strerror(errno);
    if (descriptor >= 0) {
        close(descriptor);
    }
    if (!written && descriptor >= 0) {
        unlink(path.c_str());
    }
    return written ? path : "";
}

}  // namespace launcher
