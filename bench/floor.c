/* The floor of a sequential start on this machine: a plain C loop that
 * starts the same child N times one after another (pipe, vfork, exec, a
 * blocking read of its one-byte answer), from a parent holding about the
 * daemon's heap and keeping every answer pipe open, as the daemon does.
 * Then K restarts with the N children running: kill one, read the end of
 * file of its pipe, reap it, start it again, read the answer.
 *
 * Use: floor CHILD N [--restarts K] [--heap MIB] [--fork]
 * Prints one line of JSON: the cold start in ms and each restart in ms.
 * The child is the benchmark's own component (it answers ' ' on standard
 * output and waits). --fork starts with fork instead of vfork. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int use_fork;

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* Starts the child and waits for its answer; the read end stays open. */
static pid_t start(char* const* argv, int* answer_fd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    perror("pipe2");
    exit(1);
  }
  pid_t pid = use_fork ? fork() : vfork();
  if (pid < 0) {
    perror("fork");
    exit(1);
  }
  if (pid == 0) {
    if (dup2(fds[1], 1) < 0) _exit(126);
    execv(argv[0], argv);
    _exit(127);
  }
  close(fds[1]);
  char c;
  ssize_t n;
  do n = read(fds[0], &c, 1);
  while (n < 0 && errno == EINTR);
  if (n != 1 || c != ' ') {
    fprintf(stderr, "child did not answer\n");
    exit(1);
  }
  *answer_fd = fds[0];
  return pid;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "use: floor CHILD N [--restarts K] [--heap MIB] [--fork]\n");
    return 6;
  }
  char* child_argv[] = {argv[1], NULL};
  const int n = atoi(argv[2]);
  int restarts = 7;
  long heap_mib = 8;
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "--restarts") == 0 && i + 1 < argc) restarts = atoi(argv[++i]);
    else if (strcmp(argv[i], "--heap") == 0 && i + 1 < argc) heap_mib = atol(argv[++i]);
    else if (strcmp(argv[i], "--fork") == 0) use_fork = 1;
  }
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  /* About the daemon's heap, touched, so that fork has page tables to copy. */
  char* heap = malloc((size_t)heap_mib << 20);
  if (heap == NULL) return 1;
  memset(heap, 1, (size_t)heap_mib << 20);

  pid_t* pids = calloc((size_t)n, sizeof(pid_t));
  int* fds = calloc((size_t)n, sizeof(int));
  if (pids == NULL || fds == NULL || n < 1) return 1;
  const double t0 = now_ms();
  for (int i = 0; i < n; ++i) pids[i] = start(child_argv, &fds[i]);
  const double cold = now_ms() - t0;

  printf("{\"n\": %d, \"fork\": %s, \"heap_mib\": %ld, \"cold_ms\": %.3f, \"restart_ms\": [", n,
         use_fork ? "true" : "false", heap_mib, cold);
  for (int k = 0; k < restarts; ++k) {
    const int i = (k * 7919) % n;
    usleep(50000);
    const double r0 = now_ms();
    kill(pids[i], SIGKILL);
    char c;
    while (read(fds[i], &c, 1) > 0) {
    }
    waitpid(pids[i], NULL, 0);
    close(fds[i]);
    pids[i] = start(child_argv, &fds[i]);
    printf("%s%.3f", k ? ", " : "", now_ms() - r0);
  }
  printf("]}\n");
  fflush(stdout);
  for (int i = 0; i < n; ++i) kill(pids[i], SIGKILL);
  for (int i = 0; i < n; ++i) waitpid(pids[i], NULL, 0);
  return heap[0] == 1 ? 0 : 1;
}
