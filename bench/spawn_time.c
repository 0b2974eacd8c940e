/* spawn_time RUNS PROGRAM [ARGS...]: runs a program RUNS times, its output
 * into /dev/null, and prints the median wall time of one run in
 * microseconds: the cost of a one-shot program, start included, without
 * the start of a script's own process in it. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

extern char **environ;

static int by_value(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: spawn_time RUNS PROGRAM [ARGS...]\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    if (runs < 1)
        return 2;
    double *times = malloc(sizeof(double) * (size_t)runs);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (int i = 0; i < runs; i++) {
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t pid;
        int status;
        if (posix_spawn(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0 || waitpid(pid, &status, 0) != pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) > 1) {
            fprintf(stderr, "spawn_time: %s failed\n", argv[2]);
            return 1;
        }
        clock_gettime(CLOCK_MONOTONIC, &end);
        times[i] = (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
    }
    qsort(times, (size_t)runs, sizeof(double), by_value);
    printf("%.1f\n", times[runs / 2]);
    return 0;
}
