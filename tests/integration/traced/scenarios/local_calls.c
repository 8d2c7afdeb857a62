/* Local (AF_UNIX) sockets: a socket pair before any socket(), a named
 * listener, an unnamed client, address buffers shorter than the name, and a
 * socket pair the kernel refuses. */
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "scenario_report.h"

int main(void)
{
    int pair[2] = {-1, -1};
    report_ptr("pair", pair);
    outcome("socketpair", socketpair(AF_UNIX, SOCK_DGRAM, 0, pair));
    report_int("pair0", pair[0]);
    report_int("pair1", pair[1]);

    int listener = outcome_fd("socket", socket(AF_UNIX, SOCK_SEQPACKET, 0));
    report_int("listener", listener);
    struct sockaddr_un name = {.sun_family = AF_UNIX, .sun_path = "sockpath"};
    socklen_t name_len = offsetof(struct sockaddr_un, sun_path) + strlen(name.sun_path) + 1;
    report_int("name_len", name_len);
    outcome("bind", bind(listener, (struct sockaddr *)&name, name_len));
    outcome("listen", listen(listener, 1));

    struct sockaddr_un whole;
    socklen_t whole_len = sizeof whole;
    report_int("whole_len", whole_len);
    outcome("getsockname", getsockname(listener, (struct sockaddr *)&whole, &whole_len));
    report_int("whole_len_after", whole_len);

    /* The kernel reports the full length but fills only four bytes: the
     * trace must show the two path bytes that arrived, nothing beyond. */
    struct sockaddr_un shortened;
    memset(&shortened, 'z', sizeof shortened);
    socklen_t short_len = 4;
    outcome("getsockname_short", getsockname(listener, (struct sockaddr *)&shortened, &short_len));
    report_int("short_len_after", short_len);

    int client = outcome_fd("socket", socket(AF_UNIX, SOCK_SEQPACKET, 0));
    report_int("client", client);
    outcome("connect", connect(client, (struct sockaddr *)&name, name_len));
    struct sockaddr_un from;
    socklen_t from_len = sizeof from;
    int server = outcome_fd("accept", accept(listener, (struct sockaddr *)&from, &from_len));
    report_int("server", server);
    report_int("from_len_after", from_len);

    outcome("shutdown", shutdown(server, SHUT_RDWR));

    int refused[2] = {-7, -7};
    report_ptr("refused", refused);
    outcome("socketpair_inet", socketpair(AF_INET, SOCK_STREAM, 0, refused));
    report_int("refused0", refused[0]);
    report_int("refused1", refused[1]);

    outcome("close", close(server));
    outcome("close", close(client));
    outcome("close", close(listener));
    outcome("close", close(pair[0]));
    outcome("close", close(pair[1]));
    return 0;
}
