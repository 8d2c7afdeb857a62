// The choice of routing policy: full coverage with KANDREL_COVERAGE=full,
// the classic behaviour otherwise, read from the environment once.
#include "routing_policy.hh"

#include <cstdlib>
#include <cstring>

#include "settings.hh"

// The behaviours: the classic one (one program socket per route, four
// sending calls delayed) and full coverage (every socket whose peer is
// routed, every send path). Each is defined beside its moments.
extern const routing_policy classic_routing;
extern const routing_policy full_coverage_routing;

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
    if (!environment_is("KANDREL_COVERAGE", "full")) {
        return &classic_routing;
    }
    full_coverage_as_chosen = full_coverage_routing;
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

const routing_policy &routing()
{
    const routing_policy *policy = __atomic_load_n(&chosen, __ATOMIC_ACQUIRE);
    if (policy == nullptr) {
        policy = choose();
        __atomic_store_n(&chosen, policy, __ATOMIC_RELEASE);
    }
    return *policy;
}
