#include "platform/untSystem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <limits>
#include <cerrno>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<DWORD> TickOffset{0};

// A value read from a one-line file such as memory.max; false for "max", absent or garbage.
bool ReadNumberFile(const std::string &Path, std::uint64_t &Value) {
  std::ifstream In(Path);
  std::string Text;
  if (!In || !(In >> Text) || Text.empty() || Text.size() > 20) return false;
  if (Text.find_first_not_of("0123456789") != std::string::npos) return false;
  try {
    Value = std::stoull(Text);
    return true;
  } catch (...) {
    return false;
  }
}

// The "kB" value of a line "Key: value kB" of a /proc file, in bytes.
bool ReadProcKb(const std::string &Path, const std::string &Key, std::uint64_t &Bytes) {
  std::ifstream In(Path);
  std::string Line;
  while (std::getline(In, Line)) {
    if (Line.compare(0, Key.size(), Key) != 0 || Line.size() <= Key.size() || Line[Key.size()] != ':')
      continue;
    std::istringstream Fields(Line.substr(Key.size() + 1));
    std::uint64_t Kb = 0;
    if (!(Fields >> Kb)) return false;
    Bytes = Kb * 1024u;
    return true;
  }
  return false;
}

// What a memory cgroup still allows (limit minus usage, for cgroup v2 or the v1 memory
// controller), lowered into Available.
void BoundByCgroup(std::uint64_t &Available) {
  std::ifstream In("/proc/self/cgroup");
  std::string Line;
  // Inside a container the own group is usually mounted as the root of the hierarchy, so the path
  // of /proc/self/cgroup is tried below the mount first and then the mount itself.
  auto Take = [&Available](const std::string &Root, const std::string &Path, const char *LimitName,
                           const char *UsageName) {
    std::string Dir = Root + Path;
    std::uint64_t Limit = 0, Usage = 0;
    if (!ReadNumberFile(Dir + LimitName, Limit)) {
      Dir = Root;
      if (Path.empty() || !ReadNumberFile(Dir + LimitName, Limit)) return;
    }
    // v1 reports "no limit" as a huge page-aligned number.
    if (Limit >= (std::uint64_t(1) << 62)) return;
    if (!ReadNumberFile(Dir + UsageName, Usage)) Usage = 0;
    Available = std::min(Available, Usage < Limit ? Limit - Usage : 0);
  };
  while (std::getline(In, Line)) {
    // "hierarchy-id:controllers:path"
    auto First = Line.find(':');
    auto Second = First == std::string::npos ? First : Line.find(':', First + 1);
    if (Second == std::string::npos) continue;
    std::string Controllers = Line.substr(First + 1, Second - First - 1);
    std::string Path = Line.substr(Second + 1);
    if (Path.empty() || Path.find("..") != std::string::npos) continue;
    if (Path == "/") Path.clear();
    if (Line.compare(0, First, "0") == 0 && Controllers.empty()) {
      Take("/sys/fs/cgroup", Path, "/memory.max", "/memory.current");
    } else if (("," + Controllers + ",").find(",memory,") != std::string::npos) {
      Take("/sys/fs/cgroup/memory", Path, "/memory.limit_in_bytes", "/memory.usage_in_bytes");
    }
  }
}

} // namespace

void Sleep(DWORD Milliseconds) {
  if (Milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

DWORD GetTickCount() {
  auto Now = std::chrono::steady_clock::now().time_since_epoch();
  auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(Now).count();
  return static_cast<DWORD>(static_cast<std::uint64_t>(Ms)) + TickOffset.load();
}

void SetTickCountOffsetForTests(DWORD Offset) { TickOffset.store(Offset); }

BOOL QueryPerformanceCounter(std::int64_t *Count) {
  if (Count == nullptr) return 0;
  auto Now = std::chrono::steady_clock::now().time_since_epoch();
  *Count = std::chrono::duration_cast<std::chrono::nanoseconds>(Now).count();
  return 1;
}

BOOL QueryPerformanceFrequency(std::int64_t *Frequency) {
  if (Frequency == nullptr) return 0;
  *Frequency = 1000000000; // the counter counts nanoseconds
  return 1;
}

void GetSystemInfo(SYSTEM_INFO *Info) {
  if (Info == nullptr) return;
  *Info = SYSTEM_INFO{};
  long Page = sysconf(_SC_PAGESIZE);
  if (Page > 0) Info->dwPageSize = static_cast<DWORD>(Page);

  // The process's mask is that of its main thread (whose id is the process id); the calling
  // thread may itself be pinned to one processor.
  long Configured = sysconf(_SC_NPROCESSORS_CONF);
  int Cpus = static_cast<int>(std::max<long>(Configured, 1024));
  for (int Try = 0; Try < 4; ++Try, Cpus *= 4) {
    cpu_set_t *Set = CPU_ALLOC(Cpus);
    if (Set == nullptr) break;
    size_t Size = CPU_ALLOC_SIZE(Cpus);
    CPU_ZERO_S(Size, Set);
    if (sched_getaffinity(getpid(), Size, Set) == 0) {
      Info->dwNumberOfProcessors = static_cast<DWORD>(CPU_COUNT_S(Size, Set));
      for (int i = 0; i < 32; ++i)
        if (CPU_ISSET_S(i, Size, Set)) Info->dwActiveProcessorMask |= DWORD(1) << i;
      CPU_FREE(Set);
      return;
    }
    CPU_FREE(Set);
    if (errno != EINVAL) break; // EINVAL: the set was too small for the kernel's
  }
  // Without an affinity answer, count the online processors.
  long Online = sysconf(_SC_NPROCESSORS_ONLN);
  Info->dwNumberOfProcessors = static_cast<DWORD>(Online > 0 ? Online : 1);
  for (DWORD i = 0; i < std::min<DWORD>(Info->dwNumberOfProcessors, 32); ++i)
    Info->dwActiveProcessorMask |= DWORD(1) << i;
}

std::uint64_t GetAvailableMemory() {
  std::uint64_t Available = 0;
  if (!ReadProcKb("/proc/meminfo", "MemAvailable", Available)) {
    long Pages = sysconf(_SC_AVPHYS_PAGES);
    long Page = sysconf(_SC_PAGESIZE);
    if (Pages > 0 && Page > 0) Available = std::uint64_t(Pages) * std::uint64_t(Page);
  }

  rlimit Limit{};
  if (getrlimit(RLIMIT_AS, &Limit) == 0 && Limit.rlim_cur != RLIM_INFINITY) {
    std::uint64_t Used = 0;
    ReadProcKb("/proc/self/status", "VmSize", Used);
    Available = std::min<std::uint64_t>(Available, Used < Limit.rlim_cur ? Limit.rlim_cur - Used : 0);
  }
  BoundByCgroup(Available);
  return Available;
}

UINT timeGetDevCaps(TIMECAPS *Caps, UINT Size) {
  if (Caps == nullptr || Size < sizeof(TIMECAPS)) return 97; // TIMERR_STRUCT
  *Caps = TIMECAPS{};
  return TIMERR_NOERROR;
}

UINT timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
UINT timeEndPeriod(UINT) { return TIMERR_NOERROR; }

void SetSinglePrecisionMode() {}
