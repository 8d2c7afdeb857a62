// tavik_cli: times UDP round trips to tavik_serv, one datagram of the chosen
// size per input line.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hh"
#include "tavik_func.hh"

const char *pname = nullptr;

namespace {

constexpr in_port_t serv_udp_port = 6000;

// Converts the packet length as atoi does (text that doesn't begin with a
// number gives 0), except that a length beyond int saturates rather than
// wraps, and a negative length counts as 0: an exchange can't be shorter
// than empty.
int packet_size_from_text(const char *text)
{
    const long value = strtol(text, nullptr, 10);
    if (value < 0) {
        return 0;
    }
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace

int main(int argc, char **argv)
{
    pname = argv[0];
    if (argc < 3) {
        printf("Usage : tavik_cli dest  pkt_size \n\n");
        return 1;
    }
    const char *dest = argv[1];
    const int pkt_size = packet_size_from_text(argv[2]);

    struct sockaddr_in serv_addr {};
    serv_addr.sin_family = AF_INET;
    if (const struct hostent *host = gethostbyname(dest); host != nullptr) {
        printf("Returned from gethostbyname\n");
        memcpy(&serv_addr.sin_addr, host->h_addr_list[0], sizeof serv_addr.sin_addr);
    } else {
        const in_addr_t address = inet_addr(dest);
        if (address == INADDR_NONE) {
            printf("Can't get \"%s\" host entry\n", dest);
            return 1;
        }
        serv_addr.sin_addr.s_addr = address;
    }
    serv_addr.sin_port = htons(serv_udp_port);

    const int sockfd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sockfd < 0) {
        err_dump("client: can't open datagram socket");
    }
    struct sockaddr_in cli_addr {};
    cli_addr.sin_family = AF_INET;
    cli_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    cli_addr.sin_port = htons(0);
    if (bind(sockfd, reinterpret_cast<struct sockaddr *>(&cli_addr), sizeof cli_addr) < 0) {
        err_dump("client: can't bind local address");
    }

    printf("Destination = %s Packet Length = %d\n", dest, pkt_size);
    dg_cli(stdin, sockfd, reinterpret_cast<struct sockaddr *>(&serv_addr), sizeof serv_addr, pkt_size, dest);
    close(sockfd);
    return 0;
}
