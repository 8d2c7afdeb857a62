// tavik_serv's echo loop.
#include "tavik_echo.hh"

#include "error.hh"

namespace {

// The most one receive takes in; the rest of a longer datagram is lost.
constexpr size_t max_message = 2048;

}  // namespace

void dg_echo(int sockfd, struct sockaddr *pcli_addr, socklen_t maxclilen)
{
    char mesg[max_message];
    for (;;) {
        socklen_t clilen = maxclilen;
        const ssize_t n = recvfrom(sockfd, mesg, sizeof mesg, 0, pcli_addr, &clilen);
        if (n < 0) {
            err_dump("dg_echo: recvfrom error");
        }
        // The sender chooses the source address, so an answer can fail for
        // reasons a remote peer controls (source port 0 gives EINVAL, a
        // broadcast source EACCES): report it and keep serving everyone else.
        if (sendto(sockfd, mesg, static_cast<size_t>(n), 0, pcli_addr, clilen) != n) {
            err_ret("dg_echo: sendto error");
        }
    }
}
