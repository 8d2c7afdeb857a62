// tavik_serv: the UDP echo server on port 6000 that tavik_cli times its
// round trips against.
#include <netinet/in.h>
#include <sys/socket.h>

#include "error.hh"
#include "tavik_echo.hh"

const char *pname = nullptr;

namespace {

constexpr in_port_t serv_udp_port = 6000;

}  // namespace

int main(int, char **argv)
{
    pname = argv[0];

    const int sockfd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sockfd < 0) {
        err_dump("server: can't open datagram socket");
    }

    struct sockaddr_in serv_addr {};
    serv_addr.sin_family = AF_INET;
    serv_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    serv_addr.sin_port = htons(serv_udp_port);
    if (bind(sockfd, reinterpret_cast<struct sockaddr *>(&serv_addr), sizeof serv_addr) < 0) {
        err_dump("server: can't bind local address");
    }

    struct sockaddr_in cli_addr {};
    dg_echo(sockfd, reinterpret_cast<struct sockaddr *>(&cli_addr), sizeof cli_addr);
}
