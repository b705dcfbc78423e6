// A stand-in component program for tests and demonstrations. Its behaviour
// is steered by arguments of the form --tc-KEY=VALUE (any other argument is
// only recorded), and by the same words, blank-separated, in the
// environment variable KZ_TC_OPTIONS (arguments win).
//
//   --tc-answer=WHAT      space (default), E, newline, none, wrong, or the
//                         literal text to write as the start answer
//   --tc-delay-ms=N       wait N ms before answering
//   --tc-exit-after-ms=N  after answering, end after N ms ...
//   --tc-exit-code=C      ... with exit status C (default 0)
//   --tc-signal=S         ... or by signal S
//   --tc-ignore-term      ignore SIGTERM (recorded all the same)
//   --tc-term-exit=C      on SIGTERM exit with status C instead of dying
//   --tc-report=TEXT      check-mode report (C escapes \n \t \\ \xHH);
//                         default "Options OK\n"
//   --tc-stderr=TEXT      written to standard error at start
//   --tc-stderr-flood=N   after answering, N lines to standard error, then
//                         "flooded" to the record file
//   --tc-record=FILE      append "pid N", "argc N", "argv[i] A", "fds ...",
//                         "ids UID GID GROUP,GROUP...",
//                         then "signal N" for each signal received
//   --tc-fail-times=N     with --tc-counter=FILE: the first N runs end at
//                         once with status 3 without answering
//   --tc-max-life-ms=N    never live longer than N ms (default 60000)
//
// With "--check-only" among the arguments it writes the report on standard
// output and exits with status 0.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_record_fd = -1;
volatile sig_atomic_t g_ignore_term = 0;
volatile sig_atomic_t g_term_exit = -1;

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Async-signal-safe "signal N\n" to the record file.
void recordSignal(int signo) {
  if (g_record_fd < 0) return;
  char buf[32] = "signal ";
  size_t n = 7;
  char digits[8];
  size_t d = 0;
  int v = signo;
  do {
    digits[d++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (d > 0) buf[n++] = digits[--d];
  buf[n++] = '\n';
  ssize_t w;
  do {
    w = write(g_record_fd, buf, n);
  } while (w < 0 && errno == EINTR);
}

void onSignal(int signo) {
  const int saved = errno;
  recordSignal(signo);
  if (signo == SIGTERM && !g_ignore_term) {
    if (g_term_exit >= 0) _exit(g_term_exit);
    signal(SIGTERM, SIG_DFL);
    raise(SIGTERM);
  }
  errno = saved;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 't') {
      out += '\t';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string openFds() {
  std::string out = "fds";
  for (int fd = 0; fd < 1024; ++fd) {
    if (fd == g_record_fd) continue;
    if (fcntl(fd, F_GETFD) >= 0) out += " " + std::to_string(fd);
  }
  return out;
}

void sleepMs(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> opt;
  if (const char* env = getenv("KZ_TC_OPTIONS")) {
    std::istringstream words(env);
    std::string word;
    while (words >> word) {
      if (word.compare(0, 5, "--tc-") != 0) continue;
      const size_t eq = word.find('=');
      opt[word.substr(5, eq == std::string::npos ? std::string::npos : eq - 5)] =
          eq == std::string::npos ? "" : word.substr(eq + 1);
    }
  }
  bool check_only = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--check-only") check_only = true;
    if (a.compare(0, 5, "--tc-") != 0) continue;
    const size_t eq = a.find('=');
    opt[a.substr(5, eq == std::string::npos ? std::string::npos : eq - 5)] =
        eq == std::string::npos ? "" : a.substr(eq + 1);
  }
  auto has = [&](const char* k) { return opt.count(k) != 0; };
  auto num = [&](const char* k, long def) {
    return has(k) ? std::strtol(opt[k].c_str(), nullptr, 10) : def;
  };

  const auto born = std::chrono::steady_clock::now();
  const long max_life = num("max-life-ms", 60000);

  if (has("record")) {
    g_record_fd = open(opt["record"].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_record_fd >= 0) {
      std::string text =
          "pid " + std::to_string(getpid()) + "\nargc " + std::to_string(argc) + "\n";
      for (int i = 0; i < argc; ++i) text += "argv[" + std::to_string(i) + "] " + argv[i] + "\n";
      text += openFds() + "\n";
      text += "ids " + std::to_string(getuid()) + " " + std::to_string(getgid());
      gid_t groups[256];
      const int n = getgroups(256, groups);
      for (int i = 0; i < n; ++i) text += (i == 0 ? " " : ",") + std::to_string(groups[i]);
      text += "\n";
      writeAll(g_record_fd, text);
    }
  }

  if (has("fail-times") && has("counter")) {
    const std::string path = opt["counter"];
    long count = 0;
    if (FILE* f = fopen(path.c_str(), "r")) {
      if (fscanf(f, "%ld", &count) != 1) count = 0;
      fclose(f);
    }
    ++count;
    if (FILE* f = fopen(path.c_str(), "w")) {
      fprintf(f, "%ld\n", count);
      fclose(f);
    }
    if (count <= num("fail-times", 0)) _exit(3);
  }

  g_ignore_term = has("ignore-term") ? 1 : 0;
  g_term_exit = static_cast<sig_atomic_t>(num("term-exit", -1));
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sigaction(SIGUSR1, &sa, nullptr);

  if (has("stderr")) writeAll(2, unescape(opt["stderr"]));

  if (check_only) {
    sleepMs(num("delay-ms", 0));
    writeAll(1, has("report") ? unescape(opt["report"]) : std::string("Options OK\n"));
    return 0;
  }

  sleepMs(num("delay-ms", 0));
  const std::string answer = has("answer") ? opt["answer"] : "space";
  if (answer == "space") {
    writeAll(1, " ");
  } else if (answer == "newline") {
    writeAll(1, "\n");
  } else if (answer == "wrong") {
    writeAll(1, "x");
  } else if (answer != "none") {
    writeAll(1, unescape(answer));
  }

  if (has("stderr-flood")) {
    const long lines = num("stderr-flood", 0);
    for (long i = 0; i < lines; ++i) writeAll(2, "flood\tline " + std::to_string(i) + "\n");
    if (g_record_fd >= 0) writeAll(g_record_fd, "flooded\n");
  }

  const long exit_after = num("exit-after-ms", -1);
  for (;;) {
    const long lived = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - born)
                                             .count());
    if (exit_after >= 0 && lived >= exit_after + num("delay-ms", 0)) {
      if (has("signal")) {
        const int signo = static_cast<int>(num("signal", SIGKILL));
        signal(signo, SIG_DFL);
        raise(signo);
      }
      _exit(static_cast<int>(num("exit-code", 0)));
    }
    if (lived >= max_life) _exit(0);
    sleepMs(10);
  }
}
