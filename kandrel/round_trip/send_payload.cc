// Lengths of the program's sends.
#include "send_payload.hh"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "program_memory.hh"

namespace {

size_t file_length(const send_payload &payload)
{
    struct stat status;
    off64_t from;
    if (fstat(payload.file, &status) != 0 || !S_ISREG(status.st_mode)) {
        return payload.count;
    }
    if (payload.file_offset != nullptr ? !read_from_program(payload.file_offset, from)
                                       : (from = lseek64(payload.file, 0, SEEK_CUR)) < 0) {
        return payload.count;
    }
    off64_t left = status.st_size > from ? status.st_size - from : 0;
    return static_cast<size_t>(left) < payload.count ? static_cast<size_t>(left) : payload.count;
}

}  // namespace

bool vector_length(const iovec *vector, size_t count, size_t &total)
{
    total = 0;
    if (count > IOV_MAX) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        iovec piece;
        if (!read_from_program(vector + i, piece) || __builtin_add_overflow(total, piece.iov_len, &total)) {
            return false;
        }
    }
    return true;
}

bool send_length(const send_payload &payload, size_t &length)
{
    if (payload.vector != nullptr) {
        return vector_length(payload.vector, payload.vector_length, length);
    }
    if (payload.file >= 0) {
        length = file_length(payload);
        return true;
    }
    length = payload.count;
    return true;
}
