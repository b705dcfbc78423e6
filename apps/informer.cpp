#include "apps/informer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "apps/notification_context.h"
#include "base/child_wait.h"
#include "base/log.h"
#include "base/utils.h"

using korza::monitorLog;

namespace {

// Used as the recipient when no admin mail is configured.
const char* const kDefaultRecipient = "root@localhost";

std::mutex& injectMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string& injectCmd() {
  static std::string* cmd = new std::string("/usr/sbin/sendmail -t");
  return *cmd;
}

std::atomic<int> cmd_time_limit_ms{30000};

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Runs on its own detached thread: hands one message to the mail transfer
// command.
void deliverMail(const std::string& command, const std::string& message) {
  monitorLog().debug("Run informer: \"" + command + "\"");
  // Not popen: the command must not inherit the blocked signals of this
  // process nor any of its descriptors.
  int in_fd = -1;
  const pid_t pid = Utils::spawnShell(command, 0, in_fd);
  if (pid < 0) {
    monitorLog().error("Error sending notification: popen(): " + Utils::errorText(errno));
    return;
  }
  if (!writeAll(in_fd, message)) {
    monitorLog().error("Error sending notification: fprintf(): " + Utils::errorText(errno));
  }
  close(in_fd);
  int status = 0;
  pid_t reaped;
  do reaped = waitpid(pid, &status, 0);
  while (reaped < 0 && errno == EINTR);
  if (reaped < 0) status = -1;
  if (status == -1) {
    monitorLog().error("Error sending notification: pclose(): " + Utils::errorText(errno));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    monitorLog().debug("Informed successfully");
  } else if (WIFEXITED(status)) {
    monitorLog().error("Informer exited with status: " + std::to_string(WEXITSTATUS(status)));
  } else {
    monitorLog().error("Informer was terminated by signal");
  }
}

}  // namespace

bool LogInformer::inform(const std::string& text) {
  monitorLog().info("LogInform: " + text);
  return true;
}

bool SenderInformer::inform(const std::string& text) {
  std::string sender;
  std::string recipient;
  NotificationContext::getMailAddresses(sender, recipient);
  std::string header;
  if (!sender.empty()) header += "From:" + sender + "\n";
  header += "To:" + (recipient.empty() ? std::string(kDefaultRecipient) : recipient) + "\n";
  const std::string command = getInjectCmd();
  monitorLog().debug("send notification " + header + ". Command: " + command);
  try {
    std::thread(deliverMail, command, header + text).detach();
  } catch (const std::exception& e) {
    monitorLog().error(std::string("Error sending notification: ") + e.what());
    return false;
  }
  return true;
}

bool CmdInformer::inform(const std::string& text) {
  int fds[2];
  if (pipe(fds) != 0) {
    monitorLog().error("error inform: pipe() error. Data=" + text);
    return false;
  }
  // Keep both ends out of programs that other threads start meanwhile; the
  // child's dup2 onto standard input clears the flag there.
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  // Prepared before fork: the child only calls async-signal-safe functions.
  const char* shell_args[] = {"sh", "-c", command_.c_str(), nullptr};
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    monitorLog().error("error inform: fork() error. Data=" + text);
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    if (dup2(fds[0], STDIN_FILENO) < 0) {
      perror("error dup2()");
      _exit(255);
    }
    if (fds[0] != STDIN_FILENO) close(fds[0]);
    // Nothing of the daemon's reaches the command: no descriptor beyond the
    // standard ones, no blocked signal.
    Utils::closeDescriptorsFrom(3);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    execv("/bin/sh", const_cast<char* const*>(shell_args));
    _exit(255);
  }
  close(fds[0]);
  const bool written = writeAll(fds[1], text);
  close(fds[1]);
  if (!written) monitorLog().error("error inform: write() error. Data=" + text);

  int status = 0;
  try {
    if (!Utils::waitChild(pid, &status, cmd_time_limit_ms.load())) {
      // The shell leads its own session: its children end with it.
      Utils::killGroup(pid, SIGKILL);
      Utils::waitChild(pid, &status, -1);
    }
  } catch (const std::exception& e) {
    monitorLog().error(e.what());
  }
  if (WIFSIGNALED(status)) {
    monitorLog().error("informer command \"" + command_ + "\" terminated by signal" +
                       std::to_string(WTERMSIG(status)));
  }
  monitorLog().info("execute command: \"" + command_ + "\". Transfer message in stdin: " + text);
  return true;
}

void CmdInformer::TEST_setTimeLimit(int milliseconds) { cmd_time_limit_ms = milliseconds; }

std::shared_ptr<Informer> createInformer(int type, const std::string& command) {
  // Never destroyed: components may still hold them while statics go.
  static const auto* const log_informer =
      new std::shared_ptr<Informer>(std::make_shared<LogInformer>());
  static const auto* const mail_informer =
      new std::shared_ptr<Informer>(std::make_shared<SenderInformer>());
  switch (type) {
    case 1:
      return *log_informer;
    case 2:
      return *mail_informer;
    case 3:
      return std::make_shared<CmdInformer>(command);
    default:
      return nullptr;
  }
}

void setInjectCmd(const std::string& command) {
  std::lock_guard<std::mutex> lock(injectMutex());
  injectCmd() = command;
}

std::string getInjectCmd() {
  std::lock_guard<std::mutex> lock(injectMutex());
  return injectCmd();
}
