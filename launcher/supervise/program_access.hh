// Reaching into a supervised process: its memory, its descriptors, the
// process a thread belongs to.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

// Copies size bytes at address of process pid into out (process_vm_readv,
// or /proc/PID/mem where that is refused); false unless all were read.
bool read_process_memory(pid_t pid, std::uint64_t address, void *out, std::size_t size);

// The processes the supervisor has met, each held by a pidfd.
class process_handles {
public:
    process_handles() = default;
    process_handles(const process_handles &) = delete;
    process_handles &operator=(const process_handles &) = delete;
    ~process_handles();

    // The process (thread group) of thread tid, from /proc/TID/status;
    // first_seen tells a thread met for the first time.
    pid_t process_of(pid_t tid, bool &first_seen);

    // A copy, in the supervisor, of process pid's descriptor fd (pidfd_getfd);
    // -1 when it has none. The caller closes it.
    int copy_descriptor(pid_t pid, int fd);

    // A process met anew under a number an ended one had: its handle goes.
    void forget_process(pid_t pid);

private:
    std::unordered_map<pid_t, pid_t> process_of_thread_;
    std::unordered_map<pid_t, int> pidfds_;
};
