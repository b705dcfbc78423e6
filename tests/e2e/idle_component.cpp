// The smallest well-behaved component, for runs with very many of them:
// answers a blank on standard output, then sleeps until a signal ends it
// (SIGTERM by default action) or, as a safety net for a test that failed
// to clean up, an alarm after the number of seconds given as argument 1
// (default 600).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int main(int argc, char** argv) {
  const long life = argc > 1 ? std::atol(argv[1]) : 600;
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  alarm(static_cast<unsigned>(life > 0 ? life : 600));
  ssize_t n;
  do n = write(1, " ", 1);
  while (n < 0 && errno == EINTR);
  for (;;) pause();
}
