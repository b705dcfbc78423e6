// Starting a child process without copying the parent. On Linux the child
// is a clone that shares the caller's memory and descriptor table and runs
// while the calling thread is suspended (vfork semantics), until it execs or
// ends; it then takes a table of its own that holds only a few low
// descriptors, so neither the page tables nor the descriptor table of a big
// daemon are copied. Elsewhere, and in ThreadSanitizer builds (whose
// per-thread state such a child would share), sharedAvailable() is false and
// callers fork.
//
// The functions marked "child" are for that child before exec: plain system
// calls, no allocation, no lock, no library wrapper that a sanitizer
// intercepts or that signals the process's other threads. They return 0, or
// -1 with errno set (errno is the suspended caller's, which reads it only
// when the start itself failed).
//
// Thread safety: startShared may be called from several threads at once.
#ifndef KORZA_BASE_SPAWN_H_
#define KORZA_BASE_SPAWN_H_

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>

#include "base/utils.h"

namespace Spawn {

// True when this build and the running kernel support startShared.
bool sharedAvailable();

// Runs fn(arg) in a new process that shares memory and descriptor table
// with the caller; the calling thread is suspended until the child execs or
// ends. Every signal is blocked in the calling thread across the start, and
// the mask it had is stored in *callerMask before the child runs (the child
// starts with every signal blocked). Returns the child's pid, or -1 with
// errno set. REQUIRES: sharedAvailable().
pid_t startShared(int (*fn)(void*), void* arg, sigset_t* callerMask);

// dup2 that leaves the copy close-on-exec (the caller's side of a slot).
int dupCloseOnExec(int from, int to);

// Child: gives the process a descriptor table of its own that holds only the
// descriptors below `low` (the rest of the shared table is not copied).
int unshareDescriptorsBelow(int low);
// Child: closes [low, high].
int closeRange(int low, int high);
int dup2(int from, int to);
int close(int fd);
int setCloseOnExec(int fd);
// Child: write (restarted on EINTR) and the end of the process, past the
// library's exit hooks.
long write(int fd, const void* data, size_t size);
[[noreturn]] void exit(int code);
// Child: every signal with a handler goes back to its default action (the
// handlers are the parent's code, in the parent's memory).
int resetCaughtSignals();
// Child: sets the signal mask.
int setSignalMask(const sigset_t* mask);
int setNoFileLimit(const struct rlimit& limit);
// Child: Utils::applyAccount on plain system calls (same steps and codes:
// 0, or 1 groups, 2 group, 3 user with errno set).
int applyAccount(const Utils::Account& account);

}  // namespace Spawn

#endif  // KORZA_BASE_SPAWN_H_
