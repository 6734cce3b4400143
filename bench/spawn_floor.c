/* The cheapest way to run a program and wait for it: posix_spawnp + waitpid,
 * stdin inherited, stdout and stderr on /dev/null. bench_is_running.py uses it
 * as the floor termloom's status run is measured against.
 *
 *   spawn_floor [-w WARMUP] N PROGRAM [ARG...]
 *
 * Prints N lines, the nanoseconds of each timed run (spawn to reaped), after
 * the loop so that writing them costs nothing inside it. Exits 1 when any
 * run could not start or exited other than with code 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void usage(void) {
    fprintf(stderr, "usage: spawn_floor [-w WARMUP] N PROGRAM [ARG...]\n");
    exit(2);
}

static long count_arg(const char *text) {
    char *end;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < 0) usage();
    return n;
}

/* One spawn and wait; 0 when the child exited with code 0. */
static int run_once(char *const argv[], const posix_spawn_file_actions_t *actions) {
    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], actions, NULL, argv, environ);
    if (err != 0) {
        fprintf(stderr, "spawn_floor: %s: %s\n", argv[0], strerror(err));
        return -1;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            perror("spawn_floor: waitpid");
            return -1;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    long warmup = 0;
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "-w") == 0) {
        warmup = count_arg(argv[i + 1]);
        i += 2;
    }
    if (argc - i < 2) usage();
    long n = count_arg(argv[i]);
    char *const *child_argv = argv + i + 1;

    /* Opened once: the floor shouldn't pay for setup a caller could hoist. */
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull < 0) {
        perror("spawn_floor: /dev/null");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, devnull, 1);
    posix_spawn_file_actions_adddup2(&actions, devnull, 2);

    uint64_t *elapsed = malloc(sizeof *elapsed * (size_t)(n > 0 ? n : 1));
    if (elapsed == NULL) return 2;

    int failed = 0;
    for (long k = 0; k < warmup; ++k) failed |= run_once(child_argv, &actions) != 0;
    for (long k = 0; k < n; ++k) {
        uint64_t start = now_ns();
        int rc = run_once(child_argv, &actions);
        elapsed[k] = now_ns() - start;
        failed |= rc != 0;
    }

    for (long k = 0; k < n; ++k) printf("%llu\n", (unsigned long long)elapsed[k]);
    posix_spawn_file_actions_destroy(&actions);
    free(elapsed);
    if (failed) fprintf(stderr, "spawn_floor: at least one run failed\n");
    return failed ? 1 : 0;
}
