// The benchmarks' reading of this process's memory.
#pragma once

#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

// The resident memory of this process now, in KiB.
inline long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Page faults this process has taken so far that needed no reading (memory touched the first time).
inline long MinorFaults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

} // namespace bench
