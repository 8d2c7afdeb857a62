/* Several threads tracing at once: they race into their first socket(), then
 * each makes calls whose trace texts (unknown level, unknown option, local
 * path) are its own, so a text torn by another thread shows up. */
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "scenario_report.h"

#define WORKERS 4
#define ROUNDS 3000

struct worker {
    int index;
    int s;
    int value;
    pthread_t thread;
};

static struct worker workers[WORKERS];
static pthread_barrier_t together;

/* Each worker's path has its own length: "t", "tx", "txx", ... */
static void worker_path(int index, char *path, size_t size)
{
    snprintf(path, size, "t%.*s", index, "xxxxxxxx");
}

static void *work(void *argument)
{
    struct worker *self = argument;
    pthread_barrier_wait(&together);
    self->s = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un name = {.sun_family = AF_UNIX};
    worker_path(self->index, name.sun_path, sizeof name.sun_path);
    bind(self->s, (struct sockaddr *)&name, sizeof name);
    pthread_barrier_wait(&together);
    for (int round = 0; round < ROUNDS; ++round) {
        socklen_t length = sizeof self->value;
        getsockopt(self->s, 100 + self->index, 7, &self->value, &length);
        setsockopt(self->s, IPPROTO_TCP, 50 + self->index, &self->value, sizeof self->value);
        struct sockaddr_un found;
        socklen_t found_len = sizeof found;
        getsockname(self->s, (struct sockaddr *)&found, &found_len);
    }
    pthread_barrier_wait(&together);
    close(self->s);
    return NULL;
}

int main(void)
{
    require(pthread_barrier_init(&together, NULL, WORKERS) == 0, "barrier");
    for (int i = 0; i < WORKERS; ++i) {
        workers[i].index = i;
        require(pthread_create(&workers[i].thread, NULL, work, &workers[i]) == 0, "pthread_create");
    }
    for (int i = 0; i < WORKERS; ++i) {
        require(pthread_join(workers[i].thread, NULL) == 0, "pthread_join");
    }
    report_int("workers", WORKERS);
    report_int("rounds", ROUNDS);
    for (int i = 0; i < WORKERS; ++i) {
        char key[16], path[16];
        snprintf(key, sizeof key, "s%d", i);
        report_int(key, workers[i].s);
        snprintf(key, sizeof key, "value%d", i);
        report_ptr(key, &workers[i].value);
        snprintf(key, sizeof key, "path%d", i);
        worker_path(i, path, sizeof path);
        report_text(key, path);
    }
    return 0;
}
