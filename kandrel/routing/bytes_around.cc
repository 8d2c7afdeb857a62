// Comparing the kernel's count of a bound socket's bytes with the library's.
#include "bytes_around.hh"

// The kernel's own tcp_info: the C library's lacks the byte counts.
#include <linux/tcp.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdio>

#include "collector.hh"
#include "real_calls.hh"
#include "route_line.hh"
#include "socket_bindings.hh"

void report_bytes_around(int s)
{
    if (!collector_named()) {
        return;
    }
    unsigned long long delayed = 0;
    const rtbl_ent *route = delayed_bytes_of(s, delayed);
    if (route == nullptr) {
        return;
    }
    tcp_info info{};
    socklen_t length = sizeof info;
    constexpr socklen_t counted = offsetof(tcp_info, tcpi_bytes_retrans) + sizeof info.tcpi_bytes_retrans;
    if (real_calls().getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 || length < counted) {
        return;  // not TCP, or a kernel without the counts
    }
    // Bytes sent once each: a retransmission is the same bytes again.
    unsigned long long sent = info.tcpi_bytes_sent - info.tcpi_bytes_retrans;
    if (sent <= delayed) {
        return;
    }
    char words[3 * full_host_word_size + 64];
    int written = std::snprintf(words, sizeof words, "%llu %s %s %s", sent - delayed, route->covered.to_word,
                                route->covered.hop_word, route->protocol == protocol_tcp ? "TCP" : "UDP");
    send_to_collector(collector_kind::around, words, static_cast<std::size_t>(written));
}
