/* Receives that block in a second thread while the main thread looks at the
 * trace written so far and flips the debug flag; the datagrams that wake them
 * are sent with the raw system call, so they add no lines of their own. The
 * trace goes to the file "trace.txt" so that it can be measured mid-run. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "scenario_report.h"

enum receive_kind { with_recv, with_recvfrom, with_recvmsg };

static int receiver, sender;
static struct sockaddr_in receiver_address;
static char buf[32];
static struct iovec in_vec = {.iov_base = buf, .iov_len = sizeof buf};
static struct msghdr in_msg = {.msg_iov = &in_vec, .msg_iovlen = 1};
static _Atomic pid_t receiving_thread;
static long received;

static void *receive(void *kind)
{
    receiving_thread = gettid();
    switch ((enum receive_kind)(long)kind) {
    case with_recv:
        received = recv(receiver, buf, sizeof buf, 0);
        break;
    case with_recvfrom:
        received = recvfrom(receiver, buf, sizeof buf, 0, NULL, NULL);
        break;
    case with_recvmsg:
        received = recvmsg(receiver, &in_msg, 0);
        break;
    }
    return NULL;
}

static long trace_size(void)
{
    struct stat status;
    require(fstat(2, &status) == 0, "fstat of the trace file");
    return status.st_size;
}

/* Starts a receive, waits until it sleeps in the kernel, reports how much
 * trace there is at that moment, sets debug if asked (-1: leave it), and
 * wakes the receive. */
static void blocked_receive(const char *name, enum receive_kind kind, long syscall_number, int debug_while_blocked)
{
    receiving_thread = 0;
    pthread_t thread;
    require(pthread_create(&thread, NULL, receive, (void *)(long)kind) == 0, "pthread_create");
    while (receiving_thread == 0) {
        usleep(1000);
    }
    wait_until_blocked_in(receiving_thread, syscall_number);
    char key[48];
    snprintf(key, sizeof key, "%s_blocked_at", name);
    report_int(key, trace_size());
    if (debug_while_blocked >= 0) {
        set_trace_debug(debug_while_blocked);
    }
    require(syscall(SYS_sendto, sender, "wake!", 5, 0, &receiver_address, sizeof receiver_address) == 5, "raw sendto");
    require(pthread_join(thread, NULL) == 0, "pthread_join");
    snprintf(key, sizeof key, "%s_result", name);
    report_int(key, received);
}

int main(void)
{
    int trace = open("trace.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    require(trace >= 0 && dup2(trace, 2) == 2, "trace file as standard error");

    receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sender = socket(AF_INET, SOCK_DGRAM, 0);
    report_int("receiver", receiver);
    report_int("sender", sender);
    receiver_address.sin_family = AF_INET;
    receiver_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof receiver_address;
    require(bind(receiver, (struct sockaddr *)&receiver_address, sizeof receiver_address) == 0 &&
                getsockname(receiver, (struct sockaddr *)&receiver_address, &length) == 0,
            "receiver address");
    report_int("port", ntohs(receiver_address.sin_port));
    report_ptr("buf", buf);
    report_ptr("in_msg", &in_msg);

    blocked_receive("recv", with_recv, SYS_recvfrom, -1);
    blocked_receive("recvfrom_on", with_recvfrom, SYS_recvfrom, 1);
    blocked_receive("recvfrom_off", with_recvfrom, SYS_recvfrom, 0);
    blocked_receive("recvmsg", with_recvmsg, SYS_recvmsg, -1);
    return 0;
}
