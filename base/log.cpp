#include "base/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/flags.h"

namespace korza {

namespace {

const char* const kSeverityText[] = {" OFF ",  " FATAL ", " ERROR ", " WARN ",
                                     " INFO ", " DEBUG ", " ALL "};
const int kSyslogPriority[] = {LOG_EMERG, LOG_CRIT,  LOG_ERR,  LOG_WARNING,
                               LOG_INFO,  LOG_DEBUG, LOG_DEBUG};

// How long an info line may wait in the buffer once the flusher runs.
constexpr std::chrono::milliseconds kFlushDelay(300);

// State shared by every log: the open file and the mutex that serialises
// writes to it.
struct Shared {
  std::mutex m_lock;
  FILE* file = nullptr;
  std::string file_name = "syslog";
  bool syslog_open = false;
  // Buffered lines not yet flushed. The flusher sleeps without a time
  // limit while this is false, so a quiet log costs no wake-up.
  bool dirty = false;               // GUARDED_BY(m_lock)
  bool flusher = false;             // GUARDED_BY(m_lock)
  std::condition_variable dirtied;  // waited on with m_lock
};

Shared& shared() {
  static Shared* s = new Shared;  // never destroyed: logs may be written during exit
  return *s;
}

const char* const syslog_filename = "syslog";

// Appending, never through a link (the daemon runs as root), never anything
// but a regular file, and closed in every program the daemon starts.
FILE* openLogFile(const std::string& name) {
  int fd;
  do
    fd = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
              0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "a");
  if (f == nullptr) close(fd);
  return f;
}

int clampSeverity(int severity) {
  if (severity < kLogQuiet) return kLogQuiet;
  if (severity > kLogAll) return kLogAll;
  return severity;
}

}  // namespace

LogClass::LogClass(std::string name) : name_(std::move(name)), facility_(LOG_DAEMON) {}

int LogClass::parseLevel(const std::string& name) {
  static const struct {
    const char* name;
    int level;
  } kLevels[] = {{"info", kLogInfo},
                 {"debug", kLogDebug},
                 {"alert", kLogAlert},
                 {"error", kLogError},
                 {"quiet", kLogQuiet}};
  for (const auto& l : kLevels) {
    if (strcasecmp(name.c_str(), l.name) == 0) return l.level;
  }
  throw std::invalid_argument("Error in level value " + name +
                              ". Use Quiet | Error | Alert | Info | Debug");
}

int LogClass::parseFacility(const std::string& name) {
  static const struct {
    const char* name;
    int facility;
  } kFacilities[] = {{"Daemon", LOG_DAEMON}, {"Mail", LOG_MAIL},     {"Local0", LOG_LOCAL0},
                     {"Local1", LOG_LOCAL1}, {"Local2", LOG_LOCAL2}, {"Local3", LOG_LOCAL3},
                     {"Local4", LOG_LOCAL4}, {"Local5", LOG_LOCAL5}, {"Local6", LOG_LOCAL6},
                     {"Local7", LOG_LOCAL7}};
  for (const auto& f : kFacilities) {
    if (strcasecmp(name.c_str(), f.name) == 0) return f.facility;
  }
  throw std::invalid_argument("Error in SyslogFacility value " + name +
                              ". Use Daemon | Mail | Local0-7\n");
}

bool LogClass::init(const std::string& file_name, const std::string& level,
                    const std::string& facility, bool console_echo) {
  const int fac = parseFacility(facility);
  const int lev = parseLevel(level);
  Shared& s = shared();
  {
    std::lock_guard<std::mutex> lock(s.m_lock);
    if (file_name == syslog_filename) {
      if (s.file != nullptr) {
        fclose(s.file);
        s.file = nullptr;
      }
      if (!s.syslog_open) {
        openlog(kProgramName, LOG_PID, fac);
        s.syslog_open = true;
      }
    } else if (s.file == nullptr || s.file_name != file_name) {
      FILE* f = openLogFile(file_name);
      if (f == nullptr) throw std::runtime_error("error in open log file " + file_name);
      if (s.file != nullptr) fclose(s.file);
      s.file = f;
    }
    s.file_name = file_name;
    facility_ = fac;
  }
  level_ = lev;
  console_echo_ = console_echo;
  return true;
}

void LogClass::write(int severity, const std::string& text) {
  if (!isEnabled(severity)) return;
  char buf[kLogBufferSize];
  snprintf(buf, sizeof buf, "%s", text.c_str());
  emit(severity, buf);
}

void LogClass::writef(int severity, const char* fmt, ...) {
  if (!isEnabled(severity)) return;
  char buf[kLogBufferSize];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  emit(severity, buf);
}

void LogClass::emit(int severity, const char* message) {
  severity = clampSeverity(severity);
  char prefix[32];
  // pthread_t is an integer on Linux and a pointer on the BSDs; a C-style
  // cast handles both.
  snprintf(prefix, sizeof prefix, "[%p] ",
           (void*)(uintptr_t)pthread_self());  // NOLINT(performance-no-int-to-ptr)
  std::string context = KzNDC::top();
  if (!context.empty()) context += ' ';
  const char* sev_text = kSeverityText[severity];

  Shared& s = shared();
  time_t now = time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  std::string name;
  {
    std::lock_guard<std::mutex> lock(s.m_lock);
    // The name and the facility may be set again (a reload) while other
    // threads log: both are read under the lock that guards their writes.
    name = name_;
    if (s.file != nullptr) {
      char tbuf[64];
      if (ctime_r(&now, tbuf) == nullptr) tbuf[0] = '\0';
      size_t n = strlen(tbuf);
      if (n > 0 && tbuf[n - 1] == '\n') tbuf[n - 1] = ' ';
      fprintf(s.file, "%s%s%s%s%s%s\n", tbuf, prefix, name.c_str(), sev_text, context.c_str(),
              message);
      if (severity != kLogInfo) {
        fflush(s.file);
        s.dirty = false;
      } else if (!s.dirty) {
        s.dirty = true;
        if (s.flusher) s.dirtied.notify_one();
      }
    } else {
      syslog(kSyslogPriority[severity] | facility_, "%s%s%s%s%s", prefix, name.c_str(), sev_text,
             context.c_str(), message);
    }
  }
  if (console_echo_) {
    char tbuf[64];
    if (asctime_r(&tm_now, tbuf) == nullptr) tbuf[0] = '\0';
    size_t n = strlen(tbuf);
    if (n > 0 && tbuf[n - 1] == '\n') tbuf[n - 1] = ' ';
    fprintf(stdout, "%s%s%s%s%s%s\n", tbuf, prefix, name.c_str(), sev_text, context.c_str(),
            message);
    fflush(stdout);
  }
}

void LogClass::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(shared().m_lock);
  name_ = name;
}

std::string LogClass::name() const {
  std::lock_guard<std::mutex> lock(shared().m_lock);
  return name_;
}

void LogClass::flush() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.m_lock);
  if (s.file != nullptr) fflush(s.file);
  s.dirty = false;
}

void LogClass::startFlusher() {
  Shared& s = shared();
  {
    std::lock_guard<std::mutex> lock(s.m_lock);
    if (s.flusher) return;
    s.flusher = true;
  }
  // The signals the daemon handles are taken by its signal thread only;
  // this one never sees any.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  try {
    std::thread([&s] {
      std::unique_lock<std::mutex> lock(s.m_lock);
      for (;;) {
        s.dirtied.wait(lock, [&s] { return s.dirty; });
        // Lines that follow soon share the write; an explicit flush
        // meanwhile leaves nothing to do.
        s.dirtied.wait_for(lock, kFlushDelay, [&s] { return !s.dirty; });
        if (s.dirty && s.file != nullptr) fflush(s.file);
        s.dirty = false;
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread: info lines wait for the next explicit flush, as before.
    std::lock_guard<std::mutex> lock(s.m_lock);
    s.flusher = false;
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

bool LogClass::reopenFile() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.m_lock);
  if (s.file == nullptr) return true;
  FILE* fresh = openLogFile(s.file_name);
  if (fresh == nullptr) return false;
  fclose(s.file);
  s.file = fresh;
  return true;
}

void LogClass::closeFile() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.m_lock);
  if (s.file != nullptr) fclose(s.file);
  s.file = nullptr;
  s.file_name = syslog_filename;
}

std::string LogClass::fileName() {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.m_lock);
  return s.file_name;
}

LogClass& monitorLog() {
  static LogClass* log = new LogClass("monitor");
  return *log;
}

LogClass& ipcLog() {
  static LogClass* log = new LogClass("monitor");
  return *log;
}

bool initMonitorLogging(const std::string& file_name, const std::string& level,
                        const std::string& ipc_level, const std::string& facility, bool console) {
  LogClass& own = monitorLog();
  try {
    const std::string own_level = console ? "alert" : level;
    const std::string net_level = console ? "error" : ipc_level;
    own.setName("monitor");
    if (!own.init(file_name, own_level, facility, false)) {
      own.error("error init log system");
      return false;
    }
    LogClass& net = ipcLog();
    net.setName("monitor");
    if (!net.init(file_name, net_level, facility, false)) {
      own.error("error init ipcLog system");
      return false;
    }
    own.setConsoleEcho(console);
    return true;
  } catch (const std::exception& e) {
    own.error(std::string("error init log system: ") + e.what());
    return false;
  }
}

std::vector<std::string>& KzNDC::m_stack() {
  thread_local std::vector<std::string> stack;
  return stack;
}

void KzNDC::push(const std::string& context) { m_stack().push_back(context); }

void KzNDC::pop() {
  if (!m_stack().empty()) m_stack().pop_back();
}

void KzNDC::clear() { m_stack().clear(); }

std::string KzNDC::top() {
  const auto& s = m_stack();
  return s.empty() ? std::string() : s.back();
}

size_t KzNDC::depth() { return m_stack().size(); }

}  // namespace korza
