/* A TCP connection over loopback from start to end: every stream call once,
 * success paths, in the order a small server and client make them. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

int main(void)
{
    struct sockaddr_in any_port = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    int listener = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, 0));
    report_int("listener", listener);

    int one = 1;
    report_ptr("one", &one);
    outcome("setsockopt", setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one));
    outcome("bind", bind(listener, (struct sockaddr *)&any_port, sizeof any_port));

    struct sockaddr_in bound;
    socklen_t bound_len = sizeof bound;
    outcome("getsockname", getsockname(listener, (struct sockaddr *)&bound, &bound_len));
    report_int("port", ntohs(bound.sin_port));
    outcome("listen", listen(listener, 5));

    int client = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    report_int("client", client);
    outcome("connect", connect(client, (struct sockaddr *)&bound, sizeof bound));

    struct sockaddr_in peer;
    socklen_t peer_len = sizeof peer;
    int server = outcome_fd("accept", accept(listener, (struct sockaddr *)&peer, &peer_len));
    report_int("server", server);
    report_int("client_port", ntohs(peer.sin_port));

    struct sockaddr_in client_peer;
    socklen_t client_peer_len = sizeof client_peer;
    outcome("getpeername", getpeername(client, (struct sockaddr *)&client_peer, &client_peer_len));

    static const char ping[] = "ping";
    report_ptr("ping", ping);
    outcome("send", send(client, ping, 4, 0));

    char buf[16];
    report_ptr("buf", buf);
    long got = outcome("recv", recv(server, buf, sizeof buf, 0));
    report_text("received", got == 4 && memcmp(buf, ping, 4) == 0 ? "ping" : "other");

    outcome("shutdown", shutdown(client, SHUT_WR));
    outcome("recv_end", recv(server, buf, sizeof buf, 0));

    outcome("close", close(server));
    outcome("close", close(client));
    outcome("close", close(listener));
    return 0;
}
