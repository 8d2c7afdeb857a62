/* Reads and writes back each socket option named on the command line
 * ("level:optname" pairs) on one TCP socket, known and unknown alike. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scenario_report.h"

int main(int argc, char **argv)
{
    int s = outcome_fd("socket", socket(AF_INET, SOCK_STREAM, 0));
    report_int("s", s);
    long long value[2];
    report_ptr("value", value);
    for (int i = 1; i < argc; ++i) {
        int level, optname;
        require(sscanf(argv[i], "%d:%d", &level, &optname) == 2, "option argument");
        char key[32];
        socklen_t length = sizeof value;
        snprintf(key, sizeof key, "get%d", i);
        report_int(key, outcome("getsockopt", getsockopt(s, level, optname, value, &length)));
        snprintf(key, sizeof key, "len%d", i);
        report_int(key, length);
        snprintf(key, sizeof key, "set%d", i);
        report_int(key, outcome("setsockopt", setsockopt(s, level, optname, value, length)));
    }
    outcome("close", close(s));
    return 0;
}
