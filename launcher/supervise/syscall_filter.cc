// The supervised calls and the BPF program that hands them over.
#include "syscall_filter.hh"

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

#include <array>
#include <cstddef>

namespace {

constexpr std::array<int, 14> syscalls{
    SYS_connect,
    SYS_sendto,
    SYS_sendmsg,
    SYS_sendmmsg,
    SYS_write,
    SYS_writev,
    SYS_sendfile,
    // Descriptors that change meaning: the supervisor forgets what it knew.
    SYS_close,
    SYS_dup2,
    SYS_dup3,
    SYS_close_range,
    SYS_execve,
    SYS_execveat,
    // Rings whose calls the filter never sees: counted, to be reported.
    SYS_io_uring_setup,
};

// x32 calls carry this bit in the x86_64 numbering; the filter lets them
// pass rather than mistake them for the calls of the same low number.
constexpr unsigned x32_syscall_bit = 0x40000000;

sock_filter statement(unsigned short code, unsigned value)
{
    return BPF_STMT(code, value);
}

sock_filter jump(unsigned short code, unsigned value, unsigned char if_true, unsigned char if_false)
{
    return BPF_JUMP(code, value, if_true, if_false);
}

}  // namespace

std::span<const int> supervised_syscalls()
{
    return syscalls;
}

std::vector<sock_filter> notify_filter(std::span<const int> numbers)
{
    std::vector<sock_filter> program{
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        jump(BPF_JMP | BPF_JGE | BPF_K, x32_syscall_bit, 0, 1),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    // One comparison per call; a match jumps to the notifying return at the
    // end, which lies (numbers.size() - i) instructions further on.
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(numbers[i]),
                               static_cast<unsigned char>(numbers.size() - i), 0));
    }
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
    return program;
}
