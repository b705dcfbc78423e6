#include "apps/run_state.h"

#include <condition_variable>
#include <mutex>

namespace RunState {

namespace {

std::mutex& stateMutex() {
  static std::mutex* m = new std::mutex;  // never destroyed: read during exit
  return *m;
}

std::condition_variable& stateChanged() {
  static std::condition_variable* c = new std::condition_variable;  // as the mutex
  return *c;
}

int g_state = INIT;  // GUARDED_BY(stateMutex())

}  // namespace

void set(State state) {
  {
    std::lock_guard<std::mutex> lock(stateMutex());
    g_state = state;
  }
  stateChanged().notify_all();
}

bool sleepUnlessStopped(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stateMutex());
  return !stateChanged().wait_for(lock, duration, [] { return g_state == STOPPED; });
}

State get() {
  std::lock_guard<std::mutex> lock(stateMutex());
  return static_cast<State>(g_state);
}

const char* name(int state) {
  switch (state) {
    case INIT:
      return "INIT";
    case STARTED:
      return "STARTED";
    case STOPPED:
      return "STOPPED";
    case END:
      return "END";
    default:
      return "unknown";
  }
}

const char* currentName() {
  std::lock_guard<std::mutex> lock(stateMutex());
  return name(g_state);
}

}  // namespace RunState
