// The system's own implementations of the interposed functions, found once,
// lazily, behind the library's definitions.
#pragma once

#include <setjmp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

// The fortified and 64-bit entry points the library interposes too, which
// glibc declares only to programs built for them.
extern "C" {
ssize_t __read_chk(int, void *, size_t, size_t);
ssize_t __recv_chk(int, void *, size_t, size_t, int);
ssize_t __recvfrom_chk(int, void *, size_t, size_t, int, struct sockaddr *, socklen_t *);
int fcntl64(int, int, ...);
[[noreturn]] void __longjmp_chk(sigjmp_buf, int);
}

struct real_call_table {
    int (*socket)(int, int, int);
    int (*socketpair)(int, int, int, int *);
    int (*bind)(int, const struct sockaddr *, socklen_t);
    int (*listen)(int, int);
    int (*accept)(int, struct sockaddr *, socklen_t *);
    int (*shutdown)(int, int);
    int (*getsockopt)(int, int, int, void *, socklen_t *);
    int (*setsockopt)(int, int, int, const void *, socklen_t);
    int (*getpeername)(int, struct sockaddr *, socklen_t *);
    int (*getsockname)(int, struct sockaddr *, socklen_t *);
    ssize_t (*recv)(int, void *, size_t, int);
    ssize_t (*recvfrom)(int, void *, size_t, int, struct sockaddr *, socklen_t *);
    ssize_t (*recvmsg)(int, struct msghdr *, int);
    int (*close)(int);
    int (*select)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
    ssize_t (*read)(int, void *, size_t);
    int (*connect)(int, const struct sockaddr *, socklen_t);
    ssize_t (*send)(int, const void *, size_t, int);
    ssize_t (*sendto)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
    ssize_t (*sendmsg)(int, const struct msghdr *, int);
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read_chk)(int, void *, size_t, size_t);
    ssize_t (*recv_chk)(int, void *, size_t, size_t, int);
    ssize_t (*recvfrom_chk)(int, void *, size_t, size_t, int, struct sockaddr *, socklen_t *);
    // Calls that end or move descriptors, watched so that the library's own
    // descriptors and route bindings follow what the application does.
    int (*accept4)(int, struct sockaddr *, socklen_t *, int);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*fcntl)(int, int, ...);
    int (*fcntl64)(int, int, ...);
    int (*close_range)(unsigned int, unsigned int, int);
    void (*closefrom)(int);
    // Send paths only full coverage bounces.
    ssize_t (*writev)(int, const struct iovec *, int);
    ssize_t (*sendfile)(int, int, off_t *, size_t);
    ssize_t (*sendfile64)(int, int, off64_t *, size_t);
    int (*sendmmsg)(int, struct mmsghdr *, unsigned int, int);
    ssize_t (*splice)(int, off64_t *, int, off64_t *, size_t, unsigned int);
    // The system call by number, for every number the library does not route.
    long (*syscall)(long, ...);
    // Execs, watched for programs that will run without the library.
    int (*execve)(const char *, char *const[], char *const[]);
    int (*execv)(const char *, char *const[]);
    int (*execvp)(const char *, char *const[]);
    int (*execvpe)(const char *, char *const[], char *const[]);
    // Jumps, watched so that none leaves a lock of the library held.
    void (*longjmp)(jmp_buf, int);
    void (*siglongjmp)(sigjmp_buf, int);
    void (*longjmp_chk)(sigjmp_buf, int);
};

// The table, resolved on first use; every entry is the next definition after
// this library's, never the library's own.
const real_call_table &real_calls();

// An int option of socket s (SO_TYPE, SO_DOMAIN, TCP_NODELAY...) read with
// the real getsockopt, or -1.
int socket_option(int s, int option, int level = SOL_SOCKET);
