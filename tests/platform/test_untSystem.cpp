#include <gtest/gtest.h>

#include <fstream>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/untSystem.h"
#include "platform/untThreads.h"

namespace {

std::uint64_t MemInfoKb(const std::string &Key) {
  std::ifstream In("/proc/meminfo");
  std::string Name;
  std::uint64_t Value = 0;
  std::string Unit;
  while (In >> Name >> Value >> Unit)
    if (Name == Key + ":") return Value;
  return 0;
}

class TPinnedProbe : public TThread {
public:
  TPinnedProbe() : TThread(true) {}
  SYSTEM_INFO Seen;

protected:
  void Execute() override {
    cpu_set_t One;
    CPU_ZERO(&One);
    CPU_SET(sched_getcpu(), &One);
    sched_setaffinity(0, sizeof(One), &One);
    GetSystemInfo(&Seen);
  }
};

struct TTickOffsetReset {
  ~TTickOffsetReset() { SetTickCountOffsetForTests(0); }
};

} // namespace

TEST(System, TickCountAdvancesAndWraps) {
  TTickOffsetReset Reset;
  DWORD A = GetTickCount();
  Sleep(50);
  DWORD Elapsed = GetTickCount() - A;
  EXPECT_GE(Elapsed, 49u);
  EXPECT_LT(Elapsed, 5000u);

  // Put the counter 20 ms before its wrap: it wraps, and unsigned differences stay right.
  DWORD Real = GetTickCount();
  SetTickCountOffsetForTests(0xFFFFFFFFu - 20u - Real + 1u);
  DWORD Before = GetTickCount();
  EXPECT_GE(Before, 0xFFFFFFFFu - 25u);
  Sleep(60);
  DWORD After = GetTickCount();
  EXPECT_LT(After, 1000u); // wrapped
  EXPECT_GE(After - Before, 59u);
  EXPECT_LT(After - Before, 5000u);

  SetTickCountOffsetForTests(0);
  EXPECT_LT(GetTickCount() - Real, 5000u);
}

TEST(System, PerformanceCounterAndTimerCalls) {
  std::int64_t F = 0, A = 0, B = 0;
  EXPECT_TRUE(QueryPerformanceFrequency(&F));
  EXPECT_EQ(F, 1000000000);
  EXPECT_TRUE(QueryPerformanceCounter(&A));
  Sleep(20);
  EXPECT_TRUE(QueryPerformanceCounter(&B));
  double Ms = double(B - A) * 1000.0 / double(F);
  EXPECT_GE(Ms, 19.0);
  EXPECT_LT(Ms, 5000.0);
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));

  TIMECAPS Caps;
  EXPECT_EQ(timeGetDevCaps(&Caps, sizeof(Caps)), TIMERR_NOERROR);
  EXPECT_GE(Caps.wPeriodMin, 1u);
  EXPECT_NE(timeGetDevCaps(nullptr, sizeof(Caps)), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(Caps.wPeriodMin), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(Caps.wPeriodMin), TIMERR_NOERROR);
}

TEST(System, ProcessorsFromTheProcessAffinity) {
  cpu_set_t Set;
  ASSERT_EQ(sched_getaffinity(getpid(), sizeof(Set), &Set), 0);
  DWORD Mask = 0;
  for (int i = 0; i < 32; ++i)
    if (CPU_ISSET(i, &Set)) Mask |= DWORD(1) << i;

  SYSTEM_INFO Info;
  GetSystemInfo(&Info);
  EXPECT_EQ(Info.dwNumberOfProcessors, static_cast<DWORD>(CPU_COUNT(&Set)));
  EXPECT_EQ(Info.dwActiveProcessorMask, Mask);
  EXPECT_EQ(Info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));

  // A worker pinned to one processor still sees the whole process's processors (it sizes its
  // part threads by them).
  TPinnedProbe Probe;
  Probe.Start();
  Probe.WaitFor();
  EXPECT_EQ(Probe.Seen.dwNumberOfProcessors, Info.dwNumberOfProcessors);
  EXPECT_EQ(Probe.Seen.dwActiveProcessorMask, Info.dwActiveProcessorMask);
}

TEST(System, AvailableMemoryIsBounded) {
  std::uint64_t Avail = GetAvailableMemory();
  EXPECT_GT(Avail, 0u);
  std::uint64_t Total = MemInfoKb("MemTotal") * 1024u;
  if (Total > 0) {
    EXPECT_LE(Avail, Total);
  }

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve huge address ranges; the address-space limit is not tested";
#else
  // An address-space limit caps what is available. Checked in a child so the test process keeps
  // its own limits.
  pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    std::ifstream In("/proc/self/status");
    std::string Line;
    std::uint64_t VmKb = 0;
    while (std::getline(In, Line))
      if (Line.rfind("VmSize:", 0) == 0) VmKb = std::stoull(Line.substr(7));
    const std::uint64_t Room = 64u << 20;
    rlimit L{};
    L.rlim_cur = L.rlim_max = VmKb * 1024u + Room;
    if (setrlimit(RLIMIT_AS, &L) != 0) _exit(3);
    std::uint64_t Capped = GetAvailableMemory();
    _exit(Capped <= Room + (8u << 20) ? 0 : 1);
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 0);
#endif
}
