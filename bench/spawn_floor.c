/* The cheapest way to run a program and wait for it: posix_spawnp + waitpid.
 * The timing scripts use it as the floor termloom's runs are measured against.
 *
 *   spawn_floor [-w WARMUP] [-c none|stdout|stderr|both] [-b] N PROGRAM [ARG...]
 *
 * -c none (the default): stdin inherited, stdout and stderr on /dev/null, as
 * termloom's status run. Any other -c runs it the way termloom's output run
 * does: stdin on /dev/null, each collected stream through a pipe made for that
 * run (pipe2 with O_CLOEXEC) and read to EOF into memory (both together with
 * poll), the stream not collected on /dev/null; then waitpid. The memory is
 * one buffer per stream, reused from run to run.
 *
 * Prints N lines, the nanoseconds of each timed run (spawn to reaped), after
 * the loop so that writing them costs nothing inside it. With -b, then one
 * line "bytes" followed by the byte count of each collected stream (stdout
 * first) in the last run. Exits 1 when any run could not start or exited
 * other than with code 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

enum { OUT, ERR, STREAMS };

/* Pipes hold 64 KiB by default, so one read rarely returns more. */
#define READ_ROOM (64 * 1024)

struct buffer {
    char *data;
    size_t size, capacity;
};

struct floor_run {
    int devnull;
    int collect[STREAMS];
    struct buffer out[STREAMS];
};

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void usage(void) {
    fprintf(stderr,
            "usage: spawn_floor [-w WARMUP] [-c none|stdout|stderr|both] [-b] N PROGRAM [ARG...]\n");
    exit(2);
}

static long count_arg(const char *text) {
    char *end;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < 0) usage();
    return n;
}

static int reap(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            perror("spawn_floor: waitpid");
            return -1;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

/* One spawn and wait; 0 when the child exited with code 0. */
static int run_once(char *const argv[], const posix_spawn_file_actions_t *actions) {
    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], actions, NULL, argv, environ);
    if (err != 0) {
        fprintf(stderr, "spawn_floor: %s: %s\n", argv[0], strerror(err));
        return -1;
    }
    return reap(pid);
}

/* One read appended to the buffer; the byte count, 0 at EOF, -1 on error. */
static ssize_t read_some(int fd, struct buffer *buf) {
    if (buf->capacity - buf->size < READ_ROOM) {
        size_t grown = buf->capacity ? buf->capacity * 2 : 2 * READ_ROOM;
        char *data = realloc(buf->data, grown);
        if (data == NULL) return -1;
        buf->data = data;
        buf->capacity = grown;
    }
    ssize_t got;
    do {
        got = read(fd, buf->data + buf->size, buf->capacity - buf->size);
    } while (got < 0 && errno == EINTR);
    if (got > 0) buf->size += (size_t)got;
    return got;
}

/* Reads the open pipes to EOF, closing each as it ends; 0 when all went well. */
static int drain(int fds[STREAMS], struct buffer *outs[STREAMS], int count) {
    int failed = 0;
    if (count == 1) {
        ssize_t got;
        while ((got = read_some(fds[0], outs[0])) > 0) {
        }
        close(fds[0]);
        return got < 0;
    }
    struct pollfd entries[STREAMS];
    for (int i = 0; i < count; ++i) entries[i] = (struct pollfd){fds[i], POLLIN, 0};
    while (count > 0) {
        if (poll(entries, (nfds_t)count, -1) < 0) {
            if (errno == EINTR) continue;
            perror("spawn_floor: poll");
            failed = 1;
            break;
        }
        for (int i = count - 1; i >= 0; --i) {
            if (entries[i].revents == 0) continue;
            if ((entries[i].revents & POLLIN) && read_some(entries[i].fd, outs[i]) > 0) continue;
            /* EOF (a hang-up with no data) or an error: this stream is done. */
            close(entries[i].fd);
            --count;
            entries[i] = entries[count];
            outs[i] = outs[count];
        }
    }
    for (int i = 0; i < count; ++i) close(entries[i].fd);
    return failed;
}

/* One spawn with the collected streams read to EOF, then the wait. */
static int run_collecting(char *const argv[], struct floor_run *run) {
    int read_end[STREAMS], child_fd[STREAMS];
    struct buffer *outs[STREAMS];
    int count = 0;
    for (int s = 0; s < STREAMS; ++s) {
        child_fd[s] = run->devnull;
        if (!run->collect[s]) continue;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            perror("spawn_floor: pipe2");
            for (int i = 0; i < count; ++i) close(read_end[i]);
            for (int i = 0; i < s; ++i) if (child_fd[i] != run->devnull) close(child_fd[i]);
            return -1;
        }
        read_end[count] = fds[0];
        child_fd[s] = fds[1];
        run->out[s].size = 0;
        outs[count++] = &run->out[s];
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, run->devnull, 0);
    posix_spawn_file_actions_adddup2(&actions, child_fd[OUT], 1);
    posix_spawn_file_actions_adddup2(&actions, child_fd[ERR], 2);
    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    /* Our copies of the write ends would keep the pipes from reaching EOF. */
    for (int s = 0; s < STREAMS; ++s) if (child_fd[s] != run->devnull) close(child_fd[s]);
    if (err != 0) {
        fprintf(stderr, "spawn_floor: %s: %s\n", argv[0], strerror(err));
        for (int i = 0; i < count; ++i) close(read_end[i]);
        return -1;
    }
    int failed = drain(read_end, outs, count);
    int rc = reap(pid);
    return failed ? -1 : rc;
}

int main(int argc, char **argv) {
    long warmup = 0;
    const char *capture = "none";
    int print_bytes = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "-w") == 0 && i + 1 < argc) {
            warmup = count_arg(argv[++i]);
        } else if (strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
            capture = argv[++i];
        } else if (strcmp(argv[i], "-b") == 0) {
            print_bytes = 1;
        } else {
            usage();
        }
    }
    if (argc - i < 2) usage();
    long n = count_arg(argv[i]);
    char *const *child_argv = argv + i + 1;

    struct floor_run run = {.devnull = -1};
    if (strcmp(capture, "stdout") == 0 || strcmp(capture, "both") == 0) run.collect[OUT] = 1;
    if (strcmp(capture, "stderr") == 0 || strcmp(capture, "both") == 0) run.collect[ERR] = 1;
    int collecting = run.collect[OUT] || run.collect[ERR];
    if (!collecting && strcmp(capture, "none") != 0) usage();

    /* Opened once: the floor shouldn't pay for setup a caller could hoist. */
    run.devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (run.devnull < 0) {
        perror("spawn_floor: /dev/null");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, run.devnull, 1);
    posix_spawn_file_actions_adddup2(&actions, run.devnull, 2);

    uint64_t *elapsed = malloc(sizeof *elapsed * (size_t)(n > 0 ? n : 1));
    if (elapsed == NULL) return 2;

    int failed = 0;
    for (long k = 0; k < warmup + n; ++k) {
        uint64_t start = now_ns();
        int rc = collecting ? run_collecting(child_argv, &run) : run_once(child_argv, &actions);
        uint64_t took = now_ns() - start;
        if (k >= warmup) elapsed[k - warmup] = took;
        failed |= rc != 0;
    }

    for (long k = 0; k < n; ++k) printf("%llu\n", (unsigned long long)elapsed[k]);
    if (print_bytes && collecting) {
        printf("bytes");
        for (int s = 0; s < STREAMS; ++s) {
            if (run.collect[s]) printf(" %zu", run.out[s].size);
        }
        printf("\n");
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int s = 0; s < STREAMS; ++s) free(run.out[s].data);
    free(elapsed);
    if (failed) fprintf(stderr, "spawn_floor: at least one run failed\n");
    return failed ? 1 : 0;
}
