#include "platform/untThreads.h"

#include <cerrno>
#include <chrono>
#include <map>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Ids are handed out from one counter and never reused; 0 means "no thread".
DWORD NewThreadId() {
  static std::atomic<DWORD> Next{1};
  DWORD Id = Next.fetch_add(1);
  if (Id == 0) Id = Next.fetch_add(1); // after 2^32 threads: skip the "none" value
  return Id;
}

// Threads known to the layer (every TThread while it runs, and any thread that asked for its own
// id or handle). Affinity and ideal-processor calls only touch threads in here, and do so under
// the lock, so a handle is never used after its thread has gone.
struct TKnownThread {
  DWORD IdealProcessor = MAXIMUM_PROCESSORS;
};

struct TThreadRegistry {
  std::mutex Lock;
  std::map<pthread_t, TKnownThread> Threads;
};

TThreadRegistry &Registry() {
  // Never destroyed: threads may still unregister while the process ends.
  static TThreadRegistry *R = new TThreadRegistry;
  return *R;
}

// Per-thread record: id and registration, undone when the thread ends.
struct TThreadSelf {
  DWORD Id = 0;
  bool Registered = false;
  pthread_t Handle{};

  ~TThreadSelf() {
    if (!Registered) return;
    TThreadRegistry &R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    R.Threads.erase(Handle);
  }

  void Register() {
    if (Registered) return;
    Handle = pthread_self();
    TThreadRegistry &R = Registry();
    std::lock_guard<std::mutex> G(R.Lock);
    R.Threads.try_emplace(Handle);
    Registered = true;
  }
};

thread_local TThreadSelf Self;

pid_t CurrentKernelTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

int NiceOf(TThreadPriority Priority) {
  switch (Priority) {
  case tpIdle: return 19; // the scheduling class does the work; the nice value is kept low too
  case tpLowest: return 19;
  case tpLower: return 10;
  case tpNormal: return 0;
  case tpHigher: return -5;
  case tpHighest: return -10;
  case tpTimeCritical: return -15;
  }
  return 0;
}

// The system refuses more priority to an unprivileged process; that is not an error here.
bool IsRefusal(int Err) { return Err == EPERM || Err == EACCES; }

} // namespace

DWORD GetCurrentThreadId() {
  if (Self.Id == 0) {
    Self.Id = NewThreadId();
    Self.Register();
  }
  return Self.Id;
}

THandle GetCurrentThread() {
  GetCurrentThreadId();
  return pthread_self();
}

DWORD_PTR SetThreadAffinityMask(THandle Thread, DWORD_PTR Mask) {
  TThreadRegistry &R = Registry();
  std::lock_guard<std::mutex> G(R.Lock);
  if (R.Threads.find(Thread) == R.Threads.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  cpu_set_t Old;
  CPU_ZERO(&Old);
  int Err = pthread_getaffinity_np(Thread, sizeof(Old), &Old);
  if (Err != 0) {
    SetLastError(static_cast<DWORD>(Err));
    return 0;
  }
  DWORD_PTR Previous = 0;
  constexpr int Bits = static_cast<int>(sizeof(DWORD_PTR) * 8);
  for (int i = 0; i < Bits; ++i)
    if (CPU_ISSET(i, &Old)) Previous |= DWORD_PTR(1) << i;
  if (Mask == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  cpu_set_t New;
  CPU_ZERO(&New);
  for (int i = 0; i < Bits; ++i)
    if (Mask & (DWORD_PTR(1) << i)) CPU_SET(i, &New);
  Err = pthread_setaffinity_np(Thread, sizeof(New), &New);
  if (Err != 0) {
    SetLastError(Err == EINVAL ? ERROR_INVALID_PARAMETER : static_cast<DWORD>(Err));
    return 0;
  }
  return Previous;
}

DWORD SetThreadIdealProcessor(THandle Thread, DWORD IdealProcessor) {
  TThreadRegistry &R = Registry();
  std::lock_guard<std::mutex> G(R.Lock);
  auto It = R.Threads.find(Thread);
  if (It == R.Threads.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  DWORD Previous = It->second.IdealProcessor;
  if (IdealProcessor == MAXIMUM_PROCESSORS) return Previous; // only asks
  if (IdealProcessor > MAXIMUM_PROCESSORS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<DWORD>(-1);
  }
  It->second.IdealProcessor = IdealProcessor;
  return Previous;
}

bool SetKernelThreadPriority(pid_t Tid, TThreadPriority Priority) {
  if (Tid <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  sched_param Param{};
  Param.sched_priority = 0;
  int Policy = Priority == tpIdle ? SCHED_IDLE : SCHED_OTHER;
  int Current = sched_getscheduler(Tid);
  if (Current >= 0) Current &= ~SCHED_RESET_ON_FORK;
  if (Current < 0) {
    SetLastError(static_cast<DWORD>(errno));
    return false;
  }
  if (Current != Policy && sched_setscheduler(Tid, Policy, &Param) != 0) {
    int Err = errno;
    // Leaving SCHED_IDLE may need rights the process lacks: that is a refused raise.
    if (!(IsRefusal(Err) && Policy == SCHED_OTHER)) {
      SetLastError(static_cast<DWORD>(Err));
      return false;
    }
  }
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(Tid), NiceOf(Priority)) != 0) {
    int Err = errno;
    if (!IsRefusal(Err)) {
      SetLastError(static_cast<DWORD>(Err));
      return false;
    }
  }
  return true;
}

// ---- TThread ----

TThread::TThread(bool CreateSuspended)
    : FCreateSuspended(CreateSuspended), FThreadID(NewThreadId()) {}

TThread::~TThread() {
  if (!FStarted.load()) return;
  if (FSelfFreeing) {
    // Freed on its own thread (free on terminate): nobody will join it.
    pthread_detach(FHandle);
    return;
  }
  TerminateAndWait();
}

void TThread::TerminateAndWait() {
  if (!FStarted.load() || GetCurrentThreadId() == FThreadID) return;
  FTerminated.store(true);
  JoinNative();
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Start();
}

void TThread::Start() {
  if (FStarted.exchange(true)) throw EThread("Cannot call Start on a running or terminated thread");
  pthread_attr_t Attr;
  pthread_attr_init(&Attr);
  // Part threads of large pictures recurse little, but give them the usual 8 MB regardless of
  // the process's stack limit.
  pthread_attr_setstacksize(&Attr, 8u << 20);
  int Err = pthread_create(&FHandle, &Attr, &TThread::ThreadProc, this);
  pthread_attr_destroy(&Attr);
  if (Err != 0) {
    FStarted.store(false);
    throw EThread(Format("Thread creation error: %s", SysErrorMessage(static_cast<DWORD>(Err))));
  }
}

void StartFreeOnTerminate(std::unique_ptr<TThread> Thread) {
  Thread->FreeOnTerminate = true;
  Thread->Start();
  Thread.release(); // the thread's own from here on; it may be gone already
}

void *TThread::ThreadProc(void *Arg) {
  static_cast<TThread *>(Arg)->Run();
  return nullptr;
}

void TThread::Run() {
  Self.Id = FThreadID;
  Self.Register();
  {
    std::lock_guard<std::mutex> G(FStateLock);
    FTid.store(CurrentKernelTid());
    FKernelAlive = true;
    // New threads inherit the creator's priority; always set the own one. A refusal is ignored,
    // and another failure has nobody to report to here.
    SetKernelThreadPriority(FTid.load(), FPriority.load());
  }
  try {
    if (!FTerminated.load()) Execute();
  } catch (...) {
    FatalException = std::current_exception();
  }
  try {
    DoTerminate();
  } catch (...) {
    if (!FatalException) FatalException = std::current_exception();
  }
  bool FreeIt = FreeOnTerminate;
  {
    std::lock_guard<std::mutex> G(FStateLock);
    FKernelAlive = false;
  }
  if (FreeIt) {
    FSelfFreeing = true;
    delete this;
    return;
  }
  // Last touch of the object: after this, a waiter may destroy it.
  std::lock_guard<std::mutex> G(FStateLock);
  FFinished.store(true);
  FEnded = true;
  FEndedCond.notify_all();
}

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(this);
}

void TThread::JoinNative() {
  std::lock_guard<std::mutex> G(FJoinLock);
  if (FJoined) return;
  pthread_join(FHandle, nullptr);
  FJoined = true;
}

DWORD TThread::WaitFor() {
  if (!FStarted.load()) throw EThread("Cannot wait for a thread that was not started");
  if (GetCurrentThreadId() == FThreadID) throw EThread("A thread cannot wait for itself");
  JoinNative();
  return ReturnValue;
}

bool TThread::WaitForTimeout(DWORD Timeout) {
  if (!FStarted.load()) return false;
  if (GetCurrentThreadId() == FThreadID) throw EThread("A thread cannot wait for itself");
  {
    std::unique_lock<std::mutex> L(FStateLock);
    if (Timeout == INFINITE) {
      FEndedCond.wait(L, [this] { return FEnded; });
    } else if (!FEndedCond.wait_for(L, std::chrono::milliseconds(Timeout), [this] { return FEnded; })) {
      return false;
    }
  }
  // Run has returned; the join only waits for the thread's own clean-up (its message queue).
  JoinNative();
  return true;
}

void TThread::SetPriority(TThreadPriority Value) {
  std::lock_guard<std::mutex> G(FStateLock);
  FPriority.store(Value);
  if (!FKernelAlive) return; // applied when the thread starts
  if (!SetKernelThreadPriority(FTid.load(), Value)) RaiseLastOSError();
}

// ---- TEvent ----

TEvent::TEvent(bool ManualReset, bool InitialState) : FManualReset(ManualReset), FState(InitialState) {}

void TEvent::SetEvent() {
  std::lock_guard<std::mutex> G(FLock);
  FState = true;
  if (FManualReset)
    FCond.notify_all();
  else
    FCond.notify_one();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> G(FLock);
  FState = false;
}

bool TEvent::IsSet() {
  std::lock_guard<std::mutex> G(FLock);
  return FState;
}

TWaitResult TEvent::WaitFor(DWORD Timeout) {
  std::unique_lock<std::mutex> L(FLock);
  auto Ready = [this] { return FState; };
  if (Timeout == INFINITE) {
    FCond.wait(L, Ready);
  } else if (!FCond.wait_for(L, std::chrono::milliseconds(Timeout), Ready)) {
    return wrTimeout;
  }
  if (!FManualReset) FState = false; // an automatic event lets exactly one waiter through
  return wrSignaled;
}
