// The choice of routing policy: full coverage with KANDREL_COVERAGE=full,
// the classic behaviour otherwise, read from the environment once.
#include "routing_policy.hh"

#include <cstdlib>
#include <cstring>

#include "real_calls.hh"

#include "settings.hh"

// The behaviours: the classic one (one program socket per route, four
// sending calls delayed), full coverage (every socket whose peer is routed,
// every send path) and the path model (full coverage whose connections and
// datagrams a relay carries with the path's delay in both directions). Each
// is defined beside its moments.
extern const routing_policy classic_routing;
extern const routing_policy full_coverage_routing;
routing_policy path_model_routing();

namespace {

const routing_policy *chosen = nullptr;

bool environment_is(const char *name, const char *value)
{
    const char *text = setting(name);
    return text != nullptr && std::strcmp(text, value) == 0;
}

// Full coverage bounces the filler unless KANDREL_ECHO_PAYLOAD=1 asks for
// the program's own bytes; its policy is copied once with that choice made.
routing_policy full_coverage_as_chosen;

const routing_policy *choose()
{
    bool path = environment_is("KANDREL_COVERAGE", "path");
    if (!path && !environment_is("KANDREL_COVERAGE", "full")) {
        return &classic_routing;
    }
    full_coverage_as_chosen = path ? path_model_routing() : full_coverage_routing;
    full_coverage_as_chosen.bounces_filler = !environment_is("KANDREL_ECHO_PAYLOAD", "1");
    return &full_coverage_as_chosen;
}

// Chosen as the library loads, before the program runs, and told so; a call
// that comes earlier still (another library's constructor) chooses first.
// Choosing twice gives the same answer.
__attribute__((constructor)) void choose_at_load()
{
    routing().at_load();
}

}  // namespace

bool carries_no_connect(int, const struct sockaddr *, socklen_t)
{
    return false;
}

bool carries_no_send(const outgoing_send &, size_t &)
{
    return false;
}

int system_peer_name(int s, struct sockaddr *name, socklen_t *namelen)
{
    return real_calls().getpeername(s, name, namelen);
}

int system_local_name(int s, struct sockaddr *name, socklen_t *namelen)
{
    return real_calls().getsockname(s, name, namelen);
}

void no_option_moment(int, int, int) {}

const routing_policy &routing()
{
    const routing_policy *policy = __atomic_load_n(&chosen, __ATOMIC_ACQUIRE);
    if (policy == nullptr) {
        policy = choose();
        __atomic_store_n(&chosen, policy, __ATOMIC_RELEASE);
    }
    return *policy;
}
