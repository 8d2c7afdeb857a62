// The route table: loading from the route file, lookups by destination and
// by socket, host-name conversion.
#include "route_table.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "address_key.hh"
#include "address_text.hh"
#include "call_frame.hh"
#include "coverage.hh"
#include "hop_socket.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "recording.hh"
#include "route_line.hh"
#include "timelog.hh"
#include "trace.hh"

namespace {

rtbl_ent rtbl[route_table_capacity];

// One past the last filled entry. It moves only after an entry is complete,
// so a lookup on another thread never sees a half-written route.
rtbl_ent *rtbl_ep = rtbl;

// init: whether the load has started; it never goes back to 0.
int init = 0;

// The most of a route file that is read: far more than any real table, and
// a bound on a file that never ends.
constexpr std::size_t route_file_read_limit = 1 << 20;

rtbl_ent *filled_end()
{
    return __atomic_load_n(&rtbl_ep, __ATOMIC_ACQUIRE);
}

// The four bytes of an address in network order, first byte first.
struct dotted_bytes {
    unsigned char octet[4];
};

dotted_bytes bytes_of(const sockaddr_in &address)
{
    dotted_bytes bytes;
    std::memcpy(bytes.octet, &address.sin_addr.s_addr, sizeof bytes.octet);
    return bytes;
}

// An address's four bytes read as one big-endian signed 32-bit number.
long signed_address_value(in_addr_t network_order)
{
    return static_cast<long>(static_cast<std::int32_t>(ntohl(network_order)));
}

// Fills entry from a line's words; false when a name does not convert, in
// which case the route is left out rather than stored with 255.255.255.255.
bool build_route(const route_words &words, rtbl_ent &entry)
{
    entry = rtbl_ent{};
    bool from_ok = strtoinaddr(words.from, &entry.from.sin_addr) == 0;
    bool to_ok = strtoinaddr(words.to, &entry.to.sin_addr) == 0;
    bool hop_ok = strtoinaddr(words.hop, &entry.hop.sin_addr) == 0;
    entry.protocol = route_protocol_of(words.protocol);
    entry.from.sin_family = AF_INET;
    entry.to.sin_family = AF_INET;
    entry.hop.sin_family = AF_INET;
    entry.hop.sin_port = htons(echo_port);
    return from_ok && to_ok && hop_ok;
}

// A route of full coverage: its destination and hop resolved in either
// family, announced as they resolve.
bool build_full_route(const route_words &words, route_names_needed needed, rtbl_ent &entry)
{
    entry = rtbl_ent{};
    if (!resolve_route_reach(words, needed, entry.reach)) {
        return false;
    }
    entry.protocol = route_protocol_of(words.protocol);
    trace_debug("init_route_tbl()\t:\tprotocol = %d\n", entry.protocol);
    return true;
}

void announce_route(const rtbl_ent &entry)
{
    dotted_bytes from = bytes_of(entry.from), to = bytes_of(entry.to), hop = bytes_of(entry.hop);
    trace("init_route_tbl()\t:\tAdded route (%d.%d.%d.%d)=>(%d.%d.%d.%d) : (%d.%d.%d.%d)\n", from.octet[0],
          from.octet[1], from.octet[2], from.octet[3], to.octet[0], to.octet[1], to.octet[2], to.octet[3],
          hop.octet[0], hop.octet[1], hop.octet[2], hop.octet[3]);
    trace_debug("init_route_tbl()\t:\tfrom_fam = %d, to_fam =%d, hop_fam = %d\n", entry.from.sin_family,
                entry.to.sin_family, entry.hop.sin_family);
    trace_debug("init_route_tbl()\t:\tprotocol = %d\n", entry.protocol);
}

// Opens the route file for reading if it is a regular file: a FIFO or a
// device named by QUOR_ROUTE_TABLE would block the program's first socket
// or never end.
FILE *open_route_file(const char *path)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        real_calls().close(descriptor);
        errno = EINVAL;
        return nullptr;
    }
    FILE *stream = fdopen(descriptor, "r");
    if (stream == nullptr) {
        real_calls().close(descriptor);
    }
    return stream;
}

// Reads the route file, storing the routes that start at this host.
void read_routes(FILE *route_file)
{
    bool full = full_coverage();
    // Room for any host name Linux allows, so the name is compared in full.
    char myname[HOST_NAME_MAX + 1] = {};
    // With full coverage KANDREL_HOST names this host instead: the names an
    // orchestrator gives its containers are random, a route file's are not.
    const char *given_host = full ? std::getenv("KANDREL_HOST") : nullptr;
    const route_names_needed needed = {given_host == nullptr || *given_host == '\0', !replay_asked()};
    if (needed.from) {
        gethostname(myname, sizeof myname - 1);
    } else {
        std::strncpy(myname, given_host, sizeof myname - 1);
    }
    trace_debug("init_route_tbl()\t:\tHostname  %s\n", myname);

    char line[full_route_line_buffer_size];
    int line_room = static_cast<int>(full ? full_route_line_buffer_size : route_line_buffer_size);
    int stored = 0;
    std::size_t bytes_read = 0;
    while (stored < route_table_capacity && bytes_read < route_file_read_limit &&
           std::fgets(line, line_room, route_file) != nullptr) {
        bytes_read += std::strlen(line) + 1;
        route_words words;
        route_line_status status = parse_route_line(line, words, full ? full_host_word_size : host_word_size);
        if (status == route_line_status::too_few_words) {
            trace_debug("init_route_tbl() \t:\tIn loop\n");
            continue;
        }
        if (status == route_line_status::word_too_long) {
            continue;
        }
        if (std::strcmp(words.from, myname) != 0) {
            trace("init_route_tbl()\t:\tFrom doesnot match myname\n");
            continue;
        }
        trace("init_route_tbl()\t:\tFrom matches myname\n");
        rtbl_ent entry;
        if (full ? !build_full_route(words, needed, entry) : !build_route(words, entry)) {
            continue;
        }
        if (!full) {
            announce_route(entry);
        }
        std::strcpy(entry.to_word, words.to);
        std::strcpy(entry.hop_word, words.hop);
        rtbl[stored] = entry;
        ++stored;
        __atomic_store_n(&rtbl_ep, rtbl + stored, __ATOMIC_RELEASE);
    }
}

// A child of fork starts with the locks as the forking thread saw them: one
// another thread held then would never be released in the child.
void reset_exchange_locks_in_child()
{
    for (rtbl_ent &entry : rtbl) {
        pthread_mutex_init(&entry.exchange, nullptr);
    }
}

}  // namespace

void load_routes_once()
{
    if (__atomic_exchange_n(&init, 1, __ATOMIC_ACQ_REL) == 0) {
        pthread_atfork(nullptr, nullptr, reset_exchange_locks_in_child);
        init_route_tbl();
    }
}

int init_route_tbl()
{
    const char *route_path = std::getenv("QUOR_ROUTE_TABLE");
    open_timelog();
    if (route_path == nullptr) {
        trace_debug("init_route_rbl()\t:\tNo route table file defined\n");
        return 1;
    }
    FILE *route_file = open_route_file(route_path);
    if (route_file == nullptr) {
        int open_error = errno;
        trace_debug("init_route_tbl()\t:\tUnable to open route table file %s: error %d\n", route_path,
                    open_error);
        return 1;
    }
    trace_debug("init_route_tbl()\t:\tRoute Table File read\n");
    __atomic_store_n(&rtbl_ep, &rtbl[0], __ATOMIC_RELEASE);
    read_routes(route_file);
    std::fclose(route_file);
    start_recording_and_replay(rtbl, filled_end());
    trace_debug("init_route_tbl()\t:\tRoute table initialised\n");
    return 0;
}

int strtoinaddr(const char *name, struct in_addr *addr)
{
    addr->s_addr = inet_addr(name);
    if (addr->s_addr != INADDR_NONE) {
        return 0;
    }
    if (const hostent *host = gethostbyname(name)) {
        std::memcpy(addr, host->h_addr_list[0],
                    std::min<std::size_t>(static_cast<std::size_t>(host->h_length), sizeof *addr));
        return 0;
    }
    switch (h_errno) {
    case HOST_NOT_FOUND:
        trace("Unknown host name: %s\n", name);
        break;
    case TRY_AGAIN:
        trace("No nameserver response.  Try again later.\n");
        break;
    case NO_RECOVERY:
        trace("Non-recoverable error\n");
        break;
    case NO_DATA:
        trace("Valid name, but no IP address for %s\n", name);
        break;
    default:
        break;
    }
    return 1;
}

rtbl_ent *get_rtbl_ent(const struct sockaddr *name, int namelen)
{
    // Only an Internet address has the four bytes routes compare; a local
    // path whose bytes happen to spell a routed address is no destination.
    // The address is copied, not read in place: the application's pointer
    // may be bad, and its call then fails with EFAULT rather than crashing.
    constexpr int address_end = offsetof(sockaddr_in, sin_addr) + sizeof(in_addr);
    rtbl_ent *end = filled_end();
    program_address copy;
    if (name == nullptr || end == rtbl || namelen < address_end ||
        copy_program_address(copy, name, namelen) < address_end || copy.storage.ss_family != AF_INET) {
        return nullptr;
    }
    in_addr_t wanted = reinterpret_cast<const sockaddr_in *>(copy.address())->sin_addr.s_addr;
    for (rtbl_ent *entry = rtbl; entry != end; ++entry) {
        trace_debug("get_rtbl_ent()\t:\tto=%ld name=%ld\n", signed_address_value(entry->to.sin_addr.s_addr),
                    signed_address_value(wanted));
        if (entry->to.sin_addr.s_addr == wanted) {
            trace_debug("get_rtbl_ent()\t:\tEntry found in route table\n");
            return entry;
        }
    }
    return nullptr;
}

bool routes_stored()
{
    return filled_end() != rtbl;
}

rtbl_ent *find_route(const struct sockaddr *address, socklen_t length)
{
    rtbl_ent *end = filled_end();
    program_address copy;
    in6_addr key;
    if (address == nullptr || end == rtbl ||
        copy_program_address(copy, address, static_cast<int>(length)) < 0 ||
        !address_key(copy.address(), std::min<socklen_t>(length, sizeof copy.bytes), key)) {
        return nullptr;
    }
    for (rtbl_ent *entry = rtbl; entry != end; ++entry) {
        if (reaches(entry->reach, key)) {
            trace_debug("get_rtbl_ent()\t:\tEntry found in route table\n");
            return entry;
        }
    }
    return nullptr;
}

rtbl_ent *get_sock_ent(int s)
{
    if (s < 0) {
        return nullptr;
    }
    for (rtbl_ent *entry = rtbl, *end = filled_end(); entry != end; ++entry) {
        if (route_sock(*entry) == s) {
            trace_debug("get_sock_ent()\t:\tEntry found in table\n");
            return entry;
        }
    }
    return nullptr;
}

void end_route_bindings(unsigned first, unsigned last)
{
    for (rtbl_ent *entry = rtbl, *end = filled_end(); entry != end; ++entry) {
        int sock = route_sock(*entry);
        if (sock >= 0 && static_cast<unsigned>(sock) >= first && static_cast<unsigned>(sock) <= last &&
            route_hop_socket(*entry) != 0) {
            __atomic_compare_exchange_n(&entry->sock, &sock, binding_ended, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE);
        }
    }
}

extern "C" __attribute__((visibility("default"))) void get_ipaddr(char *name)
{
    call_frame frame;
    trace_debug("get_ipaddr()\t:\tEntered\n");
    if (name == nullptr) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (const hostent *host = gethostbyname(name)) {
        std::memcpy(&address.sin_addr, host->h_addr_list[0],
                    std::min<std::size_t>(static_cast<std::size_t>(host->h_length), sizeof address.sin_addr));
    } else {
        address.sin_addr.s_addr = inet_addr(name);
        if (address.sin_addr.s_addr == INADDR_NONE) {
            trace("get_ipaddr()\t:\tcan't get \"%s\" host entry\n", name);
        }
    }
    trace_debug("get_ipaddr()\t:\tIPADDR %s\n",
                get_address(reinterpret_cast<const sockaddr *>(&address), sizeof address));
}
