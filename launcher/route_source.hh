// The route file as kandrel-run reads it before the run: a regular file, or a
// pipe (`-r <(...)`) read once and handed to the run as a private copy.
#pragma once

#include <string>

namespace launcher {

struct route_source {
    std::string text;   // at most full_route_file_read_limit bytes
    bool cut = false;   // the file goes on beyond the limit
    bool pipe = false;  // a pipe or FIFO: read once here, never again
    std::string error;  // why it could not be read, or ""
};

// Reads the route file at path; a pipe or FIFO is read to its end (or to the
// limit), never waiting more than a few seconds for its writer.
route_source read_route_source(const std::string &path);

// A private regular file holding text, readable by every process of the run
// whatever user it becomes, in TMPDIR (or /tmp); "" and error when it cannot
// be made. The caller removes it when the run ends.
std::string private_route_copy(const std::string &text, std::string &error);

}  // namespace launcher
