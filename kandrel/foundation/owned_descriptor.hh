// Descriptors the library opens for itself (hop sockets, the timelog file)
// and how it knows they are still its own: the application may close them,
// put its own files on their numbers, or fork.
#pragma once

#include <sys/types.h>

// What a descriptor of the library's was when the library opened it: the
// process that opened it and the file behind it. A number whose file is
// another, or that a child process inherited, is not the library's.
struct descriptor_identity {
    pid_t owner = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

// Moves a descriptor of the library's off 0 to 2, close-on-exec. When the
// application has closed a standard stream, the library's own file or socket
// must not take its number: trace lines would be written into it, and a hop
// socket numbered 0 would read as "none" in the route table. Returns the
// descriptor to use (s itself when it is already clear, -1 on failure).
int above_standard_descriptors(int s);

// Moves a descriptor of the library's out of the program's way: to
// FD_SETSIZE or above where the descriptor limit allows, so that the
// program's own numbers stay usable with select, else to the highest free
// number, since the program takes the lowest. Returns the descriptor to use
// (-1 on failure), close-on-exec.
int above_program_descriptors(int s);

// Whether this is a child of vfork (or of a clone that shares the parent's
// memory without fork's handlers): the library's bookkeeping is the
// parent's, and the child must not touch it.
bool in_vfork_child();

// The identity of s as this process opens it now; an empty identity for a
// negative or unusable descriptor.
descriptor_identity identity_of(int s);

// Whether s is still the descriptor this process opened as identity.
bool still_ours(int s, const descriptor_identity &identity);

// Closes s if it still holds the file the library opened, in this process or
// inherited from the one that opened it; a number the application has since
// taken over is left alone.
void let_go(int s, const descriptor_identity &identity);
