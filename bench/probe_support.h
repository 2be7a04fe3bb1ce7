// What the two measuring programs of the benchmarks share: a steady clock and the peak
// memory of the program they measure.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

using Clock = std::chrono::steady_clock;

// Seconds since Since.
inline double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// The peak resident memory of a running process in KiB, 0 when unknown.
inline long PeakRss(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}
