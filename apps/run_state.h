// The supervisor's run state, one value for the whole process: INIT while
// the monitor is being set up, STARTED while it runs, STOPPED once a stop was
// asked for, END when it has finished. Application starts are refused unless
// the state is STARTED, and start retries give up when it becomes STOPPED.
//
// Thread safety: the value is guarded by its own mutex; any thread may read
// or write it.
#ifndef KORZA_APPS_RUN_STATE_H_
#define KORZA_APPS_RUN_STATE_H_

#include <chrono>

namespace RunState {

enum State : int { INIT = 1, STARTED = 2, STOPPED = 3, END = 4 };

void set(State state);
State get();
// Sleeps for `duration` or until the state becomes STOPPED; false when it
// did (or was already).
bool sleepUnlessStopped(std::chrono::milliseconds duration);

// "INIT", "STARTED", "STOPPED", "END"; "unknown" for any other value.
const char* name(int state);
// The name of the current state, read under the state mutex.
const char* currentName();

}  // namespace RunState

#endif  // KORZA_APPS_RUN_STATE_H_
