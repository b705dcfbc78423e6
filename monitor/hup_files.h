// Hup files: a process that wants SIGHUP when its configuration changes
// announces itself with a file "NAME.PID.hup" in the pid-file directory and
// keeps a write lock on it for as long as it wants to be told. The name is
// believed only when the lock holder is the process it names.
//
// Thread safety: no state; call from the main-loop thread.
#ifndef KORZA_MONITOR_HUP_FILES_H_
#define KORZA_MONITOR_HUP_FILES_H_

#include <sys/types.h>

#include <set>
#include <string>

using PidSet = std::set<pid_t>;

// Goes through the "*.hup" files of `dir` (ending in "/"): a file whose lock
// nobody holds a lock on is removed; a file whose pid is in `pids` gets that
// process a SIGHUP, and the pid is removed from `pids`, only when the lock
// holder is that very process. File names are logged with their control
// characters escaped.
// Every problem is logged and the file skipped. Files are opened without
// following links and without blocking; anything but a regular file, and
// the file `own_pid_file` names (a hard link to it, say), is left alone,
// since closing a descriptor of the daemon's pid file would drop its lock.
void processHupFiles(const std::string& dir, PidSet& pids,
                     const std::string& own_pid_file = std::string());

// Logs and sends SIGHUP to pid.
void sendHup(pid_t pid, const std::string& name);

// Splits "DIR/NAME.PID.hup" into the name and the pid; false when the name
// does not have that form.
bool parseHupFileName(const std::string& path, std::string& name, int& pid);

#endif  // KORZA_MONITOR_HUP_FILES_H_
