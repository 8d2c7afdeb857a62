// Calls one error routine with a program name and errno of the test's
// choosing: error_probe ROUTINE ERRNO [NAME]; without NAME pname stays null.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hh"

const char *pname = nullptr;

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: error_probe quit|sys|ret|dump ERRNO [NAME]\n");
        return 2;
    }
    if (argc > 3) {
        pname = argv[3];
    }
    const char *routine = argv[1];
    // Left in the standard output buffer, so that the output shows whether
    // and when the routine flushes it.
    printf("pending output;");
    errno = atoi(argv[2]);
    if (strcmp(routine, "quit") == 0) {
        err_quit("quit says %d", 42);
    } else if (strcmp(routine, "sys") == 0) {
        err_sys("sys says %d", 42);
    } else if (strcmp(routine, "dump") == 0) {
        err_dump("dump says %d", 42);
    } else if (strcmp(routine, "ret") == 0) {
        err_ret("ret says %s", "hello");
        printf("returned\n");
        return 0;
    }
    return 2;
}
