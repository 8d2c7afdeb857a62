// libkandrel-debug.so: preloaded beside libkandrel.so by `kandrel-run -d`,
// it sets the library's exported `debug` to 1 as it loads, since the library
// itself only ever reads it.
#include <dlfcn.h>

#include <cstdio>

namespace {

// The library's own `debug` is found through the library's handle rather
// than the global scope, where a program's own `debug` could come first.
__attribute__((constructor)) void switch_library_debug_on()
{
    void *library = dlopen("libkandrel.so", RTLD_NOLOAD | RTLD_LAZY);
    int *flag = library != nullptr ? static_cast<int *>(dlsym(library, "debug")) : nullptr;
    if (flag == nullptr) {
        std::fputs("libkandrel-debug.so: libkandrel.so is not loaded; debug stays off\n", stderr);
    } else {
        *flag = 1;
    }
    if (library != nullptr) {
        dlclose(library);  // drops only the reference that the lookup took
    }
}

}  // namespace
