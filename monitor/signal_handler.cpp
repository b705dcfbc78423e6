#include "monitor/signal_handler.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "base/utils.h"

using korza::monitorLog;

namespace {

void noopHandler(int) {}

}  // namespace

bool SignalHandler::Processor::process(int) { return true; }

bool TerminateProcessor::process(int signo) {
  if (executor_ != nullptr) executor_->terminate(signo, name_);
  return true;
}

bool ReloadProcessor::process(int signo) {
  if (executor_ != nullptr) executor_->reload(signo, name_);
  return false;
}

bool InformProcessor::process(int signo) {
  if (executor_ != nullptr) executor_->inform(signo, name_);
  return false;
}

bool LogReopenProcessor::process(int) {
  if (korza::LogClass::reopenFile()) {
    monitorLog().info("log file reopened on " + name_);
  } else {
    monitorLog().error("cannot reopen log file \"" + korza::LogClass::fileName() +
                       "\": " + Utils::errorText(errno));
  }
  return false;
}

bool IgnoreProcessor::process(int) {
  monitorLog().alert("signal " + name_ + " ignored");
  return false;
}

SignalHandler::SignalHandler() {
  if (sigemptyset(&set_) != 0) {
    throw error("sigemptyset() error: " + Utils::errorText(errno));
  }
}

SignalHandler::~SignalHandler() = default;

void SignalHandler::addProcessor(int signo, std::unique_ptr<Processor> processor) {
  if (processors_.count(signo) != 0) {
    throw error("cannot add processor for signal " + std::to_string(signo) +
                ": processor already added");
  }
  if (sigaddset(&set_, signo) != 0) {
    throw error("signumset error: " + Utils::errorText(errno));
  }
  processors_[signo] = std::move(processor);
}

void SignalHandler::start() {
  for (auto& p : processors_) p.second->setHandler(this);
  int rc = pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  if (rc != 0) {
    throw error("wait signals thread error: pthread_sigmask() " + Utils::errorText(rc));
  }
  struct sigaction sa;
  sa.sa_handler = noopHandler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int signo : {SIGALRM, SIGCHLD, SIGHUP, SIGPIPE}) {
    if (sigaction(signo, &sa, nullptr) != 0) {
      perror("sigaction");
      std::exit(1);
    }
  }
}

void SignalHandler::waitSignals() {
  bool done = false;
  while (!done) {
    int signo = 0;
    int rc = sigwait(&set_, &signo);
    if (rc == EINTR) continue;
    if (rc != 0) throw error("sigwait error: " + Utils::errorText(rc));
    auto it = processors_.find(signo);
    done = (it == processors_.end()) ? true : it->second->process(signo);
  }
}
