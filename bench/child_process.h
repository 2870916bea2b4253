// Running one half of a side-by-side benchmark in a forked child process, so
// that both halves start from the same state and their memory can be told
// apart: the child resets its peak resident size (writing 5 to
// /proc/self/clear_refs), times the work and reports the time, its peak
// growth (VmHWM at the end minus VmRSS at the start) and the work's checksum.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench/bench_support.h"

namespace kivo::bench {

struct ChildResult {
  double seconds = 0;
  double peak_mib = 0;
  std::uint64_t sum = 0;
  bool ok = false;
  char error[200] = {};
};

// Where the timed part of a child's work starts: by default the whole work is
// timed; a work with a set-up calls StartTiming() after it, which also
// restarts the peak memory measurement.
struct ChildClock {
  std::chrono::steady_clock::time_point start;
  long start_kib = 0;
  // Set by StopTiming: what the child reports instead of the whole work.
  bool stopped = false;
  double seconds = 0;
  double peak_mib = 0;
};
inline ChildClock& CurrentChildClock() {
  static ChildClock clock;
  return clock;
}

inline long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
  }
  return 0;
}

// Starts (or restarts) the child's clock and its peak memory measurement.
inline void StartTiming() {
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
  }
  ChildClock& clock = CurrentChildClock();
  clock.stopped = false;
  clock.start_kib = StatusKiB("VmRSS:");
  clock.start = std::chrono::steady_clock::now();
}

// Ends the timed part before the rest of the work (checking what it did).
inline void StopTiming() {
  ChildClock& clock = CurrentChildClock();
  clock.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - clock.start).count();
  clock.peak_mib = static_cast<double>(StatusKiB("VmHWM:") - clock.start_kib) / 1024.0;
  clock.stopped = true;
}

// Runs `work` (returning its sum) in a forked child; the child times it and
// measures its peak growth.
template <typename F>
ChildResult InChild(F&& work) {
  int fds[2];
  Check(pipe(fds) == 0, "pipe failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  Check(pid >= 0, "fork failed");
  if (pid == 0) {
    close(fds[0]);
    ChildResult r;
    try {
      StartTiming();
      r.sum = work();
      if (!CurrentChildClock().stopped) StopTiming();
      const ChildClock& clock = CurrentChildClock();
      r.seconds = clock.seconds;
      r.peak_mib = clock.peak_mib;
      r.ok = true;
    } catch (const std::exception& e) {
      std::snprintf(r.error, sizeof r.error, "%s", e.what());
    }
    const ssize_t written = write(fds[1], &r, sizeof r);
    _exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  close(fds[1]);
  ChildResult r;
  const ssize_t got = read(fds[0], &r, sizeof r);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Check(got == static_cast<ssize_t>(sizeof r), "the child process reported nothing");
  Check(r.ok, std::string("child: ") + r.error);
  return r;
}

}  // namespace kivo::bench
