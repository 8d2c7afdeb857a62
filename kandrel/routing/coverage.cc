// The routing behaviour chosen by the environment.
#include "coverage.hh"

#include <cstdlib>
#include <cstring>

namespace {

// 0 until read; then 1 + the value. Reading twice is harmless: the
// environment gives the same answer.
int coverage_setting = 0;
int payload_setting = 0;

bool environment_is(const char *name, const char *value)
{
    const char *text = std::getenv(name);
    return text != nullptr && std::strcmp(text, value) == 0;
}

int cached(int &setting, const char *name, const char *value)
{
    int now = __atomic_load_n(&setting, __ATOMIC_RELAXED);
    if (now == 0) {
        now = 1 + (environment_is(name, value) ? 1 : 0);
        __atomic_store_n(&setting, now, __ATOMIC_RELAXED);
    }
    return now - 1;
}

}  // namespace

coverage_mode coverage()
{
    int now = __atomic_load_n(&coverage_setting, __ATOMIC_RELAXED);
    if (now == 0) {
        now = 1 + (environment_is("KANDREL_COVERAGE", "full")   ? 1
                   : environment_is("KANDREL_COVERAGE", "path") ? 2
                                                                : 0);
        __atomic_store_n(&coverage_setting, now, __ATOMIC_RELAXED);
    }
    return static_cast<coverage_mode>(now - 1);
}

bool echo_program_bytes()
{
    return cached(payload_setting, "KANDREL_ECHO_PAYLOAD", "1") != 0;
}
