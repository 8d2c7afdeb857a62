// The environment's library variables, copied once as the library loads.
#include "settings.hh"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace {

// Room for the copied variables, "NAME=value" each, NUL-ended, one after
// another; a variable that no longer fits is left out.
char copied[16384];
std::size_t copied_length = 0;
pthread_once_t copied_once = PTHREAD_ONCE_INIT;

bool library_variable(const char *entry)
{
    return std::strncmp(entry, "KANDREL_", 8) == 0 || std::strncmp(entry, "QUOR_", 5) == 0;
}

void copy_library_variables()
{
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::size_t length = std::strlen(*entry) + 1;
        if (library_variable(*entry) && length <= sizeof copied - copied_length) {
            std::memcpy(copied + copied_length, *entry, length);
            copied_length += length;
        }
    }
}

// Copied before the program's main runs; a call from another library's
// constructor that comes earlier still copies first.
__attribute__((constructor(101))) void copy_at_load()
{
    pthread_once(&copied_once, copy_library_variables);
}

}  // namespace

const char *setting(const char *name)
{
    pthread_once(&copied_once, copy_library_variables);
    std::size_t name_length = std::strlen(name);
    for (std::size_t at = 0; at < copied_length; at += std::strlen(copied + at) + 1) {
        if (std::strncmp(copied + at, name, name_length) == 0 && copied[at + name_length] == '=') {
            return copied + at + name_length + 1;
        }
    }
    return nullptr;
}
