// System utilities: thin wrappers over the system calls the monitor needs.
// They retry calls that a signal interrupts and turn failures into
// exceptions with fixed texts; they never log. No state is kept between
// calls, so every function is safe to call from any thread.
#ifndef KORZA_BASE_UTILS_H_
#define KORZA_BASE_UTILS_H_

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace Utils {

class error : public std::runtime_error {
 public:
  explicit error(const std::string& what) : std::runtime_error(what) {}
};

// The operating-system name of the build ("Linux", "FreeBSD", "Solaris",
// "MacOS X" or "UNKNOWN") and the product version.
const char* osName();
const char* version();

// `strerror` of an error number.
std::string errorText(int err);

// Takes a write lock over the whole file without waiting (retried on
// EINTR). False with errno set when another process holds a lock.
bool tryWriteLock(int fd);

// A locked pid file. The descriptor stays open (and the whole-file write
// lock held) until unlinkPidFile or process exit.
// Writes "PID\n" followed by one line per address. Throws Utils::error.
// Returns the open descriptor.
int createPidFile(const std::string& path, pid_t pid,
                  const std::vector<std::string>& addresses = {});
// Removes the pid file and closes the descriptor createPidFile returned
// (pass -1 when there is none). Throws Utils::error.
void unlinkPidFile(const std::string& path, int fd = -1);

// The ids a process takes on for a "USER:GROUP" pair, all looked up before
// anything changes (and, for a child, before fork). A user without a group
// gets the user's primary group; a user brings the supplementary groups of
// its account.
struct Account {
  bool setUser = false;   // a user was named
  bool setGroup = false;  // a group was named, or comes with the user
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, when setUser
};
// Resolves the names (an empty name changes nothing). An account that cannot
// be looked up throws Utils::error with the getpwnam/getgrnam text: it is
// never taken for root.
Account resolveAccount(const std::string& user, const std::string& group);
// Takes the account on: supplementary groups (only when the user changes and
// the process may set them), then the group, then the user, each only when
// it differs from the current one. Async-signal-safe: usable in a forked
// child. 0 on success, else the step that failed (1 groups, 2 group, 3 user)
// with errno set.
int applyAccount(const Account& account);

// Switches group, then user, each only when given and different from the
// current id (see resolveAccount and applyAccount). Returns whether either
// name was given. Throws Utils::error.
bool setUserAndGroup(const std::string& user, const std::string& group);
// Id lookups by name; throw Utils::error with the getpwnam/getgrnam text.
uid_t userId(const std::string& user);
gid_t groupId(const std::string& group);
// Names of the current real user and group ("" when unknown).
std::string currentUserName();
std::string currentGroupName();

// waitpid, retried on EINTR. Throws std::runtime_error
// "waitpid(PID, ..) error: TEXT".
pid_t waitPid(pid_t pid, int* status, int options);

// Every entry of `path` that is not a directory, as path + name, optionally
// only names ending in `suffix` (exact case). `path` should end in "/".
// Entries that vanish before they are looked at, and dangling links, are
// skipped. Throws std::runtime_error "opendir() error: ..." or
// "stat() error: ...".
std::vector<std::string> listDir(const std::string& path);
std::vector<std::string> listDir(const std::string& path, const std::string& suffix);

// "/a/b" -> "a","b"; "a//b" -> "a","","b"; "a/" -> "a"; "" and "/" -> none.
std::vector<std::string> split(const std::string& text, const std::string& delimiter);
// Removes non-graphic characters at both ends.
std::string trim(const std::string& text);

// Case-insensitive ordering and equality of names (applications,
// dependencies, run lists, configuration keys).
struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
bool equalsNoCase(const std::string& a, const std::string& b);
// An ordered set of names compared without regard to letter case.
using NameSet = std::set<std::string, NoCaseLess>;

// Closes every descriptor from `low` up. Async-signal-safe (for a forked
// child): close_range or closefrom where the system has them, else a loop
// up to the descriptor limit.
void closeDescriptorsFrom(int low);

// Starts "/bin/sh -c command" with one end of a new pipe as its standard
// input (`child_fd` 0) or output (`child_fd` 1), the rest of its standard
// streams on /dev/null unless `keep_stderr`, no other descriptor of this
// process, and an empty signal mask (this process blocks its signals in
// every thread). Returns the child's pid and sets `parent_end` (close-on-
// exec); -1 when pipe or fork failed (errno set).
pid_t spawnShell(const std::string& command, int child_fd, int& parent_end,
                 bool keep_stderr = true);

// How a bounded run ended.
enum class RunEnd {
  kExited,     // the program ended by itself
  kTimedOut,   // it ran past its time limit and its process group was killed
  kCancelled,  // `cancelled` said so and its process group was killed
};

// Runs `path` with `argv` (argv[0] included), in the directory `dir_fd`
// names (-1: this process's), as the leader of a new session with standard
// input and output on /dev/null, its standard error on a pipe, no other
// descriptor of this process, an empty signal mask and default signal
// actions. Nothing is read through a shell. A program the kernel cannot
// execute (no "#!" line) is run by /bin/sh, as the shell would.
//
// Collects into `errors` what the program writes to its standard error
// until it exits plus at most one second (the first 64 KiB of it): a
// process it leaves in the background holding the stream delays nothing.
// A program still running after `limit`, or when `cancelled` (asked about
// every 100 ms; may be empty) returns true, is killed with its whole
// process group. Throws Utils::error "popen() error: ..." when it cannot be
// started.
RunEnd runBounded(int dir_fd, const std::string& path, const std::vector<std::string>& argv,
                  std::string& errors, std::chrono::milliseconds limit,
                  const std::function<bool()>& cancelled);

// Starts `path` with `argv` in the directory `dir_fd` names, fully detached:
// a grandchild in a session of its own, standard streams on /dev/null, no
// descriptor and no blocked signal of this process; it is never waited for.
// True when it was started (the intermediate child reported no failure).
bool startDetached(int dir_fd, const std::string& path, const std::vector<std::string>& argv);

// Runs `command` through the shell with its standard output discarded and
// collects its standard error into `output` (runBounded with a limit of ten
// minutes). True when the command ended and wrote nothing to standard
// error; the exit status is not examined. Throws Utils::error
// "popen() error: ...".
bool runCommand(const std::string& command, std::string& output);

// Accepts a path that may be handed to the shell as one word: absolute,
// made of letters, digits and "/._+-,:@%=", with no empty, "." or ".."
// component and not "/" alone. Throws Utils::error "path \"PATH\" is not
// correct. ch=C" naming the first offending character.
void checkPath(const std::string& path);

// `text` with its control characters escaped for a log line: a newline as
// "\n", every other byte below 0x20 and 0x7f as "\xHH". Used for every
// value that comes from a socket, the agent or a file name, so that none
// can forge a line of the log.
std::string printable(const std::string& text);

// Writes all of `data` to `fd`, retrying on EINTR; false (errno set) on
// failure.
bool writeAll(int fd, const std::string& data);

// Reads the whole file into `out`; false when it cannot be opened.
bool readFile(const std::string& path, std::string& out);

// gethostname, or "" on failure.
std::string hostName();
// Local time as "%T" and as the mail date "%a, %d %b %Y %H:%M:%S %z".
std::string timeOfDay(time_t t);
std::string mailDate(time_t t);
std::string mailDateNow();

// Fixed-size formatting helper: vsnprintf into a buffer of `size` bytes
// (texts longer than size - 1 are cut).
std::string format(size_t size, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace Utils

#endif  // KORZA_BASE_UTILS_H_
