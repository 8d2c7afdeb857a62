/* Writes COUNT pieces of 4 KiB to FILE and prints the mean nanoseconds per
   write: each write is a notified call that is not routed when supervised. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: file_writes FILE COUNT\n");
        return 2;
    }
    long count = atol(argv[2]);
    static char piece[4096];
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || count <= 0) {
        perror("file_writes");
        return 1;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < count; ++i) {
        if (write(fd, piece, sizeof piece) != (ssize_t)sizeof piece) {
            perror("write");
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double ns = (end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec);
    printf("%.0f\n", ns / count);
    close(fd);
    return 0;
}
