// Bytes that went around the library: what the kernel sent on a bound TCP
// socket beyond the bytes the library delayed (a FILE* write, a raw system
// call, io_uring), told to the run's collector when the socket closes.
#pragma once

// Called before the program's close of s; does nothing without a collector
// or when s is no bound TCP socket.
void report_bytes_around(int s);
