// A file the library appends whole lines to (the timelog, the recording),
// shared by every process of a run: opened appending, never through a
// symbolic link, never blocking on a FIFO, regular files only; each line is
// one write, so lines of processes appending at once are never torn.
#pragma once

#include <limits.h>

#include <cstddef>

#include "library_lock.hh"
#include "owned_descriptor.hh"

struct append_only_file {
    int descriptor = -1;
    descriptor_identity identity;
    char path[PATH_MAX] = {};  // absolute, for reopening
    library_lock lock{};
};

// Opens path (relative to the working directory or absolute) with the given
// extra open flags (O_CREAT, O_TRUNC); false when it cannot be opened or is
// not a regular file.
bool open_append_only(append_only_file &file, const char *path, int extra_flags);

// Appends one line with one write. When the program has closed the file's
// descriptor or taken its number, the file is reopened by its path (never
// created or emptied again); when that fails the line is dropped.
void append_line(append_only_file &file, const char *line, std::size_t length);

// A child of fork starts with the lock as the forking thread saw it: one
// another thread held then would never be released in the child.
void reset_after_fork(append_only_file &file);
