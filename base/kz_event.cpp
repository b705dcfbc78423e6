#include "base/kz_event.h"

#include <chrono>

#include "base/log.h"
#include "base/utils.h"

namespace korza {
namespace base {

namespace {

std::string hex(uint32_t v) { return Utils::format(16, "%x", v); }

}  // namespace

KzEvent::KzEvent(const std::string& name) : name_(name) {
  ipcLog().debug("the '" + name_ + "' event has been created");
}

KzEvent::~KzEvent() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (waiters_ > 0) {
    ipcLog().debug("the '" + name_ + "' event was deleting (waiters=" + std::to_string(waiters_) +
                   ")...");
    deleting_ = true;
    cond_.notify_all();
    gone_.wait(lock, [this] { return waiters_ == 0; });
  }
  ipcLog().debug("the '" + name_ + "' event has been deleted");
}

void KzEvent::Set(uint32_t value) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = true;
    pending_value_ = value;
  }
  cond_.notify_one();
  ipcLog().debug("the '" + name_ + "' event has been set with value = 0x" + hex(value));
}

void KzEvent::Broadcast(uint32_t value) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
    broadcast_value_ = value;
  }
  cond_.notify_all();
  ipcLog().debug("the '" + name_ + "' event has been broadcasted with value = 0x" + hex(value));
}

KzEvent::WaitResult KzEvent::Wait(const KzTimeout& timeout, uint32_t* value) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t generation = generation_;
  WaitResult result = kTimedOut;
  ++waiters_;
  auto ready = [&] { return deleting_ || pending_ || generation_ != generation; };
  bool got;
  if (timeout.IsInfinite()) {
    cond_.wait(lock, ready);
    got = true;
  } else {
    got = cond_.wait_for(lock, std::chrono::milliseconds(timeout.ms()), ready);
  }
  if (got) {
    if (deleting_) {
      result = kDeleted;
    } else if (generation_ != generation) {
      *value = broadcast_value_;
      result = kReceived;
    } else {
      *value = pending_value_;
      pending_ = false;
      result = kReceived;
    }
  }
  --waiters_;
  // The destructor may free the event as soon as the lock is released, so
  // a deleted event is not touched after that.
  if (deleting_ && waiters_ == 0) gone_.notify_all();
  const uint32_t received = result == kReceived ? *value : 0;
  lock.unlock();
  if (result == kReceived) {
    ipcLog().debug("the '" + name_ + "' event has been received with value=0x" + hex(received));
  } else if (result == kTimedOut) {
    ipcLog().debug("the '" + name_ + "' event has been timed out (wait for = " + timeout.Text() +
                   ")");
  }
  return result;
}

int KzEvent::waiters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_;
}

}  // namespace base
}  // namespace korza
