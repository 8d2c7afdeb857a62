// The filter a supervised program runs under: the system calls that connect,
// send or change which descriptor is which go to the supervisor; every other
// call passes at once, without leaving the kernel.
#pragma once

#include <linux/filter.h>

#include <span>
#include <vector>

// The calls the supervisor is told of, by number (x86_64).
std::span<const int> supervised_syscalls();

// A program of classic BPF: for the native architecture, the named calls
// return SECCOMP_RET_USER_NOTIF; anything else (another architecture, the
// x32 numbers, every other call) is allowed.
std::vector<sock_filter> notify_filter(std::span<const int> syscalls);
