// Memory, descriptors and thread groups of supervised processes.
#include "program_access.hh"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

bool read_process_memory(pid_t pid, std::uint64_t address, void *out, std::size_t size)
{
    if (size == 0) {
        return true;
    }
    iovec local{out, size};
    iovec remote{reinterpret_cast<void *>(address), size};
    ssize_t got = process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (got == static_cast<ssize_t>(size)) {
        return true;
    }
    if (got >= 0 || errno != EPERM) {
        return false;
    }
    // A sandbox's own filter may refuse process_vm_readv; the memory file
    // reads the same bytes.
    int memory = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (memory < 0) {
        return false;
    }
    got = pread(memory, out, size, static_cast<off_t>(address));
    close(memory);
    return got == static_cast<ssize_t>(size);
}

process_handles::~process_handles()
{
    for (auto &[pid, pidfd] : pidfds_) {
        close(pidfd);
    }
}

namespace {

pid_t process_of_thread_group(pid_t tid)
{
    std::FILE *status = std::fopen(("/proc/" + std::to_string(tid) + "/status").c_str(), "re");
    pid_t tgid = tid;
    if (status != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::strncmp(line, "Tgid:", 5) == 0) {
                tgid = static_cast<pid_t>(std::strtol(line + 5, nullptr, 10));
                break;
            }
        }
        std::fclose(status);
    }
    return tgid;
}

}  // namespace

pid_t process_handles::process_of(pid_t tid, bool &first_seen)
{
    auto known = process_of_thread_.find(tid);
    first_seen = known == process_of_thread_.end();
    if (!first_seen) {
        return known->second;
    }
    pid_t tgid = process_of_thread_group(tid);
    process_of_thread_[tid] = tgid;
    return tgid;
}

int process_handles::copy_descriptor(pid_t pid, int fd)
{
    auto known = pidfds_.find(pid);
    if (known == pidfds_.end()) {
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0) {
            return -1;
        }
        known = pidfds_.emplace(pid, pidfd).first;
    }
    return static_cast<int>(syscall(SYS_pidfd_getfd, known->second, fd, 0));
}

void process_handles::forget_process(pid_t pid)
{
    if (auto known = pidfds_.find(pid); known != pidfds_.end()) {
        close(known->second);
        pidfds_.erase(known);
    }
}
