/* Built with _FORTIFY_SOURCE: with a buffer of known size and a length known
 * only at run time, recv, recvfrom and read become their checking twins. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

int main(int argc, char **argv)
{
    (void)argv;
    size_t length = (size_t)argc + 31;
    int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    report_int("receiver", receiver);
    report_int("sender", sender);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t address_len = sizeof address;
    require(bind(receiver, (struct sockaddr *)&address, sizeof address) == 0 &&
                getsockname(receiver, (struct sockaddr *)&address, &address_len) == 0,
            "receiver address");
    report_int("port", ntohs(address.sin_port));
    report_int("length", (long)length);
    char buf[64];
    report_ptr("buf", buf);

    static const char *const words[] = {"one", "two", "three", "four"};
    for (int i = 0; i < 4; ++i) {
        require(sendto(sender, words[i], 3, 0, (struct sockaddr *)&address, sizeof address) == 3, "sendto");
    }
    outcome("recv", recv(receiver, buf, length, 0));
    outcome("recvfrom", recvfrom(receiver, buf, length, 0, NULL, NULL));
    set_trace_debug(1);
    outcome("recvfrom_debug", recvfrom(receiver, buf, length, 0, NULL, NULL));
    set_trace_debug(0);
    outcome("read", read(receiver, buf, length));
    close(sender);
    close(receiver);
    return 0;
}
