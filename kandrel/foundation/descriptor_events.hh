// What the library does when the application ends or replaces descriptors.
#pragma once

// The application put a new file on descriptor (dup2, dup3, fcntl, dup): a
// route bound to the old one no longer is, and the standard-stream guard
// follows what the number now holds.
void descriptor_replaced(int descriptor);

// The application closed descriptors first to last.
void descriptors_closed(unsigned first, unsigned last);
