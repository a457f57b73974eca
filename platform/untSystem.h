// Time, sleeping, processor information and the timer-resolution calls.
#pragma once

#include <cstdint>

#include "platform/untSysUtils.h"

void Sleep(DWORD Milliseconds);

// A 32-bit millisecond counter that wraps after about 49.7 days.
DWORD GetTickCount();
// For tests of wrap-safe arithmetic: shifts what GetTickCount returns by Offset milliseconds
// (0 restores the real counter).
void SetTickCountOffsetForTests(DWORD Offset);

// The steady clock as a high-resolution counter; both always succeed.
BOOL QueryPerformanceCounter(std::int64_t *Count);
BOOL QueryPerformanceFrequency(std::int64_t *Frequency);

struct SYSTEM_INFO {
  DWORD dwNumberOfProcessors = 0;     // processors in the process's affinity mask
  DWORD dwActiveProcessorMask = 0;    // low 32 bits of that mask
  DWORD dwPageSize = 4096;
};
void GetSystemInfo(SYSTEM_INFO *Info);

// The memory the system can still give the process, in bytes: the smaller of the available
// physical memory and any address-space or cgroup limit that applies.
std::uint64_t GetAvailableMemory();

// The multimedia timer calls: they succeed and change nothing.
struct TIMECAPS {
  UINT wPeriodMin = 1;
  UINT wPeriodMax = 1000000;
};
constexpr UINT TIMERR_NOERROR = 0;
UINT timeGetDevCaps(TIMECAPS *Caps, UINT Size);
UINT timeBeginPeriod(UINT Period);
UINT timeEndPeriod(UINT Period);

// The start-up call that sets the floating-point unit to single precision. On x86-64, float
// arithmetic already is single precision (SSE), so this changes nothing; it exists so that the
// start-up order stays visible.
void SetSinglePrecisionMode();
