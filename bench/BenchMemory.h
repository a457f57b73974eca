// The benchmarks' reading of this process's memory.
#pragma once

#include <fstream>
#include <unistd.h>

namespace bench {

// The resident memory of this process now, in KiB.
inline long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace bench
