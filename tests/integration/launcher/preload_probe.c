/* A small dynamically linked program for the launcher's tests: it reports the
   environment the launcher gave it, which library's `debug` the companion
   set, whether another preloaded library is present, and its arguments; then
   makes one socket call so that the trace shows. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

/* Exported (the program is linked with its symbols in the dynamic table), so
   a lookup in the global scope would find this one before the library's. */
int debug = 7;

static const char *or_none(const char *text)
{
    return text != NULL ? text : "(unset)";
}

int main(int argc, char **argv)
{
    static const char *const variables[] = {"LD_PRELOAD", "QUOR_ROUTE_TABLE", "KANDREL_COVERAGE",
                                            "KANDREL_ECHO_PAYLOAD", "KANDREL_TRACE_FILE"};
    for (size_t i = 0; i < sizeof variables / sizeof variables[0]; ++i) {
        printf("%s=%s\n", variables[i], or_none(getenv(variables[i])));
    }
    void *library = dlopen("libkandrel.so", RTLD_NOLOAD | RTLD_LAZY);
    int *library_debug = library != NULL ? dlsym(library, "debug") : NULL;
    if (library_debug != NULL) {
        printf("library debug=%d\n", *library_debug);
    } else {
        printf("library not loaded\n");
    }
    printf("program debug=%d\n", debug);
    printf("marker=%s\n", dlsym(RTLD_DEFAULT, "kandrel_test_marker") != NULL ? "yes" : "no");
    for (int i = 1; i < argc; ++i) {
        printf("arg=%s\n", argv[i]);
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    printf("socket=%d\n", s);
    fflush(stdout);
    close(s);
    return 0;
}
