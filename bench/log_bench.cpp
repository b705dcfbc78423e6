// Cost of a log line: filtered out by the level, and written to a file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/log.h"

namespace {

void BM_FilteredDebugLine(benchmark::State& state) {
  korza::LogClass log("monitor");
  log.setLevel(korza::kLogInfo);
  for (auto _ : state) log.debug("Monitor::mainLoop()");
}
BENCHMARK(BM_FilteredDebugLine);

void BM_FileInfoLine(benchmark::State& state) {
  char path[] = "/tmp/kzlogbench.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  close(fd);
  korza::LogClass log("monitor");
  log.init(path, "info", "daemon", false);
  const std::string msg(static_cast<size_t>(state.range(0)), 'm');
  for (auto _ : state) log.info(msg);
  korza::LogClass::closeFile();
  unlink(path);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FileInfoLine)->Arg(64)->Arg(1000)->Arg(4000);

}  // namespace
