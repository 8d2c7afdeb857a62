// Descriptors the library opens for itself (hop sockets, the timelog file).
#pragma once

// Moves a descriptor of the library's off 0 to 2, close-on-exec. When the
// application has closed a standard stream, the library's own file or socket
// must not take its number: trace lines would be written into it, and a hop
// socket numbered 0 would read as "none" in the route table. Returns the
// descriptor to use (s itself when it is already clear, -1 on failure).
int above_standard_descriptors(int s);
