/* The yardstick for the library's own cost: a preload wrapper around sendto
 * that does only the unavoidable part of tracing, two formatted lines on
 * standard error around the real call. */
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>

typedef ssize_t sendto_call(int, const void *, size_t, int, const struct sockaddr *, socklen_t);

ssize_t sendto(int s, const void *msg, size_t len, int flags, const struct sockaddr *to, socklen_t tolen)
{
    static sendto_call *real_sendto;
    if (real_sendto == NULL) {
        real_sendto = (sendto_call *)dlsym(RTLD_NEXT, "sendto");
    }
    fprintf(stderr, "sendto()\t:\ts=%d msg=%p len=%zd flags=%d\n", s, msg, (ssize_t)len, flags);
    ssize_t result = real_sendto(s, msg, len, flags, to, tolen);
    int saved = errno;
    fprintf(stderr, "sendto()\t:\treturn value = %zd\n", result);
    errno = saved;
    return result;
}
