// The route table: loading from the route file, lookups by destination and
// by socket, host-name conversion.
#include "route_table.hh"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netdb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
#include "hop_socket.hh"
#include "program_memory.hh"
#include "real_calls.hh"
#include "record_lines.hh"
#include "recording.hh"
#include "route_line.hh"
#include "routing_policy.hh"
#include "settings.hh"
#include "timelog.hh"
#include "trace.hh"

namespace {

rtbl_ent rtbl[route_table_capacity];

// One past the last filled entry. It moves only after an entry is complete,
// so a lookup on another thread never sees a half-written route.
rtbl_ent *rtbl_ep = rtbl;

// init: whether the load has started (load_under_way) or ended
// (load_done); it never goes back to 0.
constexpr int load_under_way = 1;
constexpr int load_done = 2;
int init = 0;

rtbl_ent *filled_end()
{
    return __atomic_load_n(&rtbl_ep, __ATOMIC_ACQUIRE);
}

// An address's four bytes read as one big-endian signed 32-bit number.
long signed_address_value(in_addr_t network_order)
{
    return static_cast<long>(static_cast<std::int32_t>(ntohl(network_order)));
}

// The route file as it was when the library loaded, so that a program that
// changes its directory or environment before its first socket still gets
// the routes it was started with. Taken only if it is a regular file: a
// FIFO or a device named by QUOR_ROUTE_TABLE would block or never end.
// Pages mapped for the routing policy's read limit and one byte more, so
// that a file beyond the limit can be told.
char *route_file_bytes = nullptr;
std::size_t route_file_length = 0;
int route_file_error = 0;  // why the file could not be taken, errno's way
pthread_once_t route_file_once = PTHREAD_ONCE_INIT;

void take_route_file()
{
    const char *path = setting("QUOR_ROUTE_TABLE");
    int descriptor = path != nullptr ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    struct stat status;
    if (descriptor < 0) {
        route_file_error = errno;
        return;
    }
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        route_file_error = EINVAL;
    }
    std::size_t room = 0;
    if (route_file_error == 0) {
        std::size_t wanted = routing().route_file_limit + 1;
        room = std::min(wanted, static_cast<std::size_t>(status.st_size) + 1);
        void *pages =
            mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        route_file_error = pages == MAP_FAILED ? ENOMEM : 0;
        route_file_bytes = pages == MAP_FAILED ? nullptr : static_cast<char *>(pages);
    }
    while (route_file_error == 0 && route_file_length < room) {
        ssize_t n =
            real_calls().read(descriptor, route_file_bytes + route_file_length, room - route_file_length);
        if (n < 0 && errno != EINTR) {
            route_file_error = errno;
        } else if (n == 0) {
            break;
        } else if (n > 0) {
            route_file_length += static_cast<std::size_t>(n);
        }
    }
    real_calls().close(descriptor);
}

// Taken as the library loads, after its settings; a call that comes earlier
// still takes it first.
__attribute__((constructor(102))) void take_route_file_at_load()
{
    pthread_once(&route_file_once, take_route_file);
}

// The route file as taken at load, for reading; null with errno when it
// could not be taken.
FILE *open_route_file()
{
    pthread_once(&route_file_once, take_route_file);
    if (route_file_error != 0) {
        errno = route_file_error;
        return nullptr;
    }
    return fmemopen(route_file_bytes, route_file_length, "r");
}

// Reads the route file, storing the routes that start at this host.
void read_routes(FILE *route_file)
{
    const routing_policy &policy = routing();
    // Room for any host name Linux allows, so the name is compared in full.
    char myname[HOST_NAME_MAX + 1] = {};
    // KANDREL_HOST may name this host instead: the names an orchestrator
    // gives its containers are random, a route file's are not.
    const char *given_host = policy.takes_host_name_setting ? setting("KANDREL_HOST") : nullptr;
    const route_names_needed needed = {given_host == nullptr || *given_host == '\0', !replay_asked()};
    if (needed.from) {
        gethostname(myname, sizeof myname - 1);
    } else {
        std::strncpy(myname, given_host, sizeof myname - 1);
    }
    trace_debug("init_route_tbl()\t:\tHostname  %s\n", myname);

    char line[full_route_line_buffer_size];
    int line_room = static_cast<int>(policy.route_line_room);
    int stored = 0;
    std::size_t bytes_read = 0;
    std::size_t read_limit = policy.route_file_limit;
    while (stored < route_table_capacity && std::fgets(line, line_room, route_file) != nullptr) {
        if (bytes_read >= read_limit) {
            if (policy.says_route_file_cut) {
                trace("init_route_tbl()\t:\troute file read only to its first %zu MiB\n", read_limit >> 20);
            }
            break;
        }
        bytes_read += std::strlen(line) + 1;
        route_words words;
        route_line_status status = parse_route_line(line, words, policy.host_word_room);
        if (status == route_line_status::too_few_words) {
            trace_debug("init_route_tbl() \t:\tIn loop\n");
            continue;
        }
        if (status == route_line_status::word_too_long) {
            continue;
        }
        if (std::strcmp(words.from, myname) != 0) {
            trace(route_for_another_host_line);
            continue;
        }
        trace(route_for_this_host_line);
        rtbl_ent entry{};
        if (!policy.store_route(words, needed, entry)) {
            continue;
        }
        std::strcpy(entry.covered.to_word, words.to);
        std::strcpy(entry.covered.hop_word, words.hop);
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
        entry.classic.exchange = {};
        entry.covered.hops.lock = {};
    }
    // A load under way on another thread of the parent never ends here.
    if (init == load_under_way) {
        init = load_done;
    }
}

}  // namespace

void load_routes_once()
{
    int state = __atomic_load_n(&init, __ATOMIC_ACQUIRE);
    if (state == load_done) {
        return;
    }
    if (state == 0 && __atomic_compare_exchange_n(&init, &state, load_under_way, false, __ATOMIC_ACQ_REL,
                                                  __ATOMIC_ACQUIRE)) {
        pthread_atfork(nullptr, nullptr, reset_exchange_locks_in_child);
        init_route_tbl();
        __atomic_store_n(&init, load_done, __ATOMIC_RELEASE);
        syscall(SYS_futex, &init, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
        return;
    }
    // Another thread is loading: its routes are this thread's too.
    while ((state = __atomic_load_n(&init, __ATOMIC_ACQUIRE)) == load_under_way) {
        syscall(SYS_futex, &init, FUTEX_WAIT_PRIVATE, load_under_way, nullptr, nullptr, 0);
    }
}

int init_route_tbl()
{
    const char *route_path = setting("QUOR_ROUTE_TABLE");
    open_timelog();
    if (route_path == nullptr) {
        trace_debug("init_route_rbl()\t:\tNo route table file defined\n");
        return 1;
    }
    FILE *route_file = open_route_file();
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

rtbl_ent *stored_routes_begin()
{
    return rtbl;
}

rtbl_ent *stored_routes_end()
{
    return filled_end();
}

bool routes_stored()
{
    return filled_end() != rtbl;
}

rtbl_ent *bouncing_route(rtbl_ent *route)
{
    return route != nullptr && (route->protocol == protocol_tcp || route->protocol == protocol_udp) ? route
                                                                                                    : nullptr;
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
        if (reaches(entry->covered.reach, key)) {
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
