// Symbolic names of families, types, protocols, option levels and options.
// Keys are this platform's values for each name; names the platform does not
// define keep the numbers of the original reference platform.
#include "symbolic_names.hh"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>
#include <cstdio>
#include <span>

#include "text_buffer.hh"

namespace {

struct named_value {
    int value;
    const char *name;
};

// Names that Linux does not define, at the reference platform's numbers.
constexpr int af_implink = 3;
constexpr int so_useloopback = 64;
constexpr int so_dontlinger = ~128;
constexpr int so_prototype = 4105;
constexpr int ipproto_ggp = 3;
constexpr int ipproto_hello = 63;
constexpr int ipproto_nd = 77;
constexpr int ipproto_eon = 80;

static_assert(AF_UNSPEC == 0 && AF_UNIX == 1 && AF_INET == 2);
static_assert(SOCK_STREAM == 1 && SOCK_DGRAM == 2 && SOCK_RAW == 3 && SOCK_RDM == 4 && SOCK_SEQPACKET == 5);
static_assert(IPPROTO_ENCAP == 98 && SOL_SOCKET == 1 && IP_OPTIONS == 4);

constexpr std::array family_names{
    named_value{AF_UNSPEC, "AF_UNSPEC"},
    named_value{AF_UNIX, "AF_UNIX"},
    named_value{AF_INET, "AF_INET"},
    named_value{af_implink, "AF_IMPLINK"},
};

constexpr std::array type_names{
    named_value{SOCK_DGRAM, "SOCK_DGRAM"},
    named_value{SOCK_STREAM, "SOCK_STREAM"},
    named_value{SOCK_RAW, "SOCK_RAW"},
    named_value{SOCK_RDM, "SOCK_RDM"},
    named_value{SOCK_SEQPACKET, "SOCK_SEQPACKET"},
};

constexpr std::array protocol_names{
    named_value{IPPROTO_IP, "IPPROTO_IP"},       named_value{IPPROTO_ICMP, "IPPROTO_ICMP"},
    named_value{IPPROTO_IGMP, "IPPROTO_IGMP"},   named_value{ipproto_ggp, "IPPROTO_GGP"},
    named_value{IPPROTO_ENCAP, "IPPROTO_ENCAP"}, named_value{IPPROTO_TCP, "IPPROTO_TCP"},
    named_value{IPPROTO_EGP, "IPPROTO_EGP"},     named_value{IPPROTO_PUP, "IPPROTO_PUP"},
    named_value{IPPROTO_UDP, "IPPROTO_UDP"},     named_value{IPPROTO_IDP, "IPPROTO_IDP"},
    named_value{ipproto_hello, "IPPROTO_HELLO"}, named_value{ipproto_nd, "IPPROTO_ND"},
    named_value{ipproto_eon, "IPPROTO_EON"},
};

constexpr std::array level_names{
    named_value{IPPROTO_IP, "IPPROTO_IP"},
    named_value{IPPROTO_TCP, "IPPROTO_TCP"},
    named_value{SOL_SOCKET, "SOL_SOCKET"},
};

constexpr std::array ip_option_names{
    named_value{IP_OPTIONS, "IP_OPTIONS"},
};

constexpr std::array tcp_option_names{
    named_value{TCP_NODELAY, "TCP_NODELAY"},
    named_value{TCP_MAXSEG, "TCP_MAXSEG"},
};

constexpr std::array socket_option_names{
    named_value{SO_DEBUG, "SO_DEBUG"},
    named_value{SO_ACCEPTCONN, "SO_ACCEPTCONN"},
    named_value{SO_REUSEADDR, "SO_REUSEADDR"},
    named_value{SO_KEEPALIVE, "SO_KEEPALIVE"},
    named_value{SO_DONTROUTE, "SO_DONTROUTE"},
    named_value{SO_BROADCAST, "SO_BROADCAST"},
    named_value{so_useloopback, "SO_USELOOPBACK"},
    named_value{SO_LINGER, "SO_LINGER"},
    named_value{SO_OOBINLINE, "SO_OOBINLINE"},
    named_value{so_dontlinger, "SO_DONTLINGER"},
    named_value{SO_SNDBUF, "SO_SNDBUF"},
    named_value{SO_RCVBUF, "SO_RCVBUF"},
    named_value{SO_SNDLOWAT, "SO_SNDLOWAT"},
    named_value{SO_RCVLOWAT, "SO_RCVLOWAT"},
    named_value{SO_SNDTIMEO, "SO_SNDTIMEO"},
    named_value{SO_RCVTIMEO, "SO_RCVTIMEO"},
    named_value{SO_ERROR, "SO_ERROR"},
    named_value{SO_TYPE, "SO_TYPE"},
    named_value{so_prototype, "SO_PROTOTYPE"},
};

// The name of value in table, or null when the table has none.
const char *find_name(std::span<const named_value> table, int value)
{
    for (const named_value &entry : table) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return nullptr;
}

const char *name_or(std::span<const named_value> table, int value, const char *fallback)
{
    const char *name = find_name(table, value);
    return name != nullptr ? name : fallback;
}

}  // namespace

const char *int2name(int kind, int value)
{
    switch (kind) {
    case kind_family:
        return name_or(family_names, value, "AF_UNKNOWN");
    case kind_type:
        return name_or(type_names, value, "SOCK_UNKNOWN");
    case kind_protocol:
        return name_or(protocol_names, value, "IPPROTO_UNKNOWN");
    default:
        return "INVALID";
    }
}

const char *opt_level(int level)
{
    KANDREL_THREAD_TEXT_BUFFER(level_text);
    if (const char *name = find_name(level_names, level)) {
        return name;
    }
    std::snprintf(level_text, sizeof level_text, "OPT_LEVEL_UNKNOWN(%d)", level);
    return level_text;
}

const char *opt_name(int level, int optname)
{
    KANDREL_THREAD_TEXT_BUFFER(option_text);
    std::span<const named_value> options;
    switch (level) {
    case IPPROTO_IP:
        options = ip_option_names;
        break;
    case IPPROTO_TCP:
        options = tcp_option_names;
        break;
    case SOL_SOCKET:
        options = socket_option_names;
        break;
    default:
        return "OPT_NAME_UNKNOWN";
    }
    if (const char *name = find_name(options, optname)) {
        return name;
    }
    std::snprintf(option_text, sizeof option_text, "OPT_NAME_UNKNOWN(%d)", optname);
    return option_text;
}
