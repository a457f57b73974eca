// The thread manager: workers, dispatching, the hidden window and the finishing of jobs.
#include "threading/untThreadMan.h"

#include <QCoreApplication>
#include <algorithm>
#include <limits>

#include "platform/untApplication.h"

namespace {
TThreadMan::TSystemInfoFunction gSystemInfo;
TThreadMan::TAffinityFunction gAffinity;
TThreadMan::TIdealProcessorFunction gIdeal;

SYSTEM_INFO QuerySystemInfo() {
  SYSTEM_INFO info;
  if (gSystemInfo)
    gSystemInfo(&info);
  else
    GetSystemInfo(&info);
  return info;
}

DWORD_PTR ApplyAffinityMask(TThreadManThread *Thread, DWORD_PTR Mask) {
  return gAffinity ? gAffinity(Thread, Mask) : SetThreadAffinityMask(Thread->Handle(), Mask);
}

DWORD ApplyIdealProcessor(TThreadManThread *Thread, DWORD Ideal) {
  return gIdeal ? gIdeal(Thread, Ideal) : SetThreadIdealProcessor(Thread->Handle(), Ideal);
}

// Raises the system timer resolution for the life of the object, so short sleeps stay short.
class TTimerResolution {
public:
  TTimerResolution() {
    TIMECAPS caps;
    FPeriod = timeGetDevCaps(&caps, sizeof(caps)) == TIMERR_NOERROR ? caps.wPeriodMin : 1;
    timeBeginPeriod(FPeriod);
  }
  ~TTimerResolution() { timeEndPeriod(FPeriod); }
  TTimerResolution(const TTimerResolution &) = delete;
  TTimerResolution &operator=(const TTimerResolution &) = delete;

private:
  UINT FPeriod = 1;
};

} // namespace

// The waits below need only the manager's own messages (threads started and finished, sends of
// its workers). Delivering just those keeps the rest of the program's events, input above all,
// for the event loop: a nested loop here would run a click in the middle of a thread-count change.
void TThreadMan::DeliverOwnMessages() {
  if (FWindow) QCoreApplication::sendPostedEvents(FWindow.get(), 0);
}

void TThreadMan::SetSystemInfoFunctionForTests(TSystemInfoFunction Function) {
  gSystemInfo = std::move(Function);
}

void TThreadMan::SetAffinityFunctionsForTests(TAffinityFunction Affinity,
                                              TIdealProcessorFunction Ideal) {
  gAffinity = std::move(Affinity);
  gIdeal = std::move(Ideal);
}

// ---- construction and destruction --------------------------------------------------------------

TThreadMan::TThreadMan(TComponent *AOwner)
    : TCustomThreadManJobGroup(AOwner), FMainThreadId(GetCurrentThreadId()),
      FShared(std::make_shared<TThreadManShared>()) {
  FWindow = std::make_unique<TMessageWindow>([this](TMessage &Message) { WndProc(Message); });
  if (FWindow->Handle() == 0) RaiseLastOSError();
  UpdateThreads();
}

void TThreadMan::BeforeDestruction() {
  TCustomThreadManJobGroup::BeforeDestruction();
  Shutdown();
}

void TThreadMan::Shutdown() {
  if (FShutDown) return;
  FShutDown = true;
  // Stops every worker; each still runs what was handed to it, and those jobs are finished here
  // on the main thread while the manager waits.
  try {
    SetThreadCount(0);
    SetThreadCountMode(tcmManual);
  } catch (...) {
    // The manager goes away in any case; what could not be stopped is given up below.
  }
}

TThreadMan::~TThreadMan() {
  Shutdown();

  FShared->DoneList.Clear(); // unprocessed done entries are dropped

  // Detach every job: none of them may point here any more. Jobs that were still waiting never
  // run; they are made startable again (lent data stays with its starter, data handed over with
  // the job, which frees it when it is started again or destroyed). A job handed over to the
  // manager has no other owner: it is freed here, as its done step would have freed it.
  std::vector<TThreadManJob *> handedOver;
  for (TThreadManJob *job : FRegisteredJobs) {
    job->FThreadMan = nullptr;
    job->FNotifyWnd = 0;
    job->FEntered = false;
    const TThreadManJobState s = job->State();
    if (s == tmjsWaiting || s == tmjsQueue || s == tmjsDone) {
      job->FState.store(tmjsReady);
      if (job->FHandedOver) handedOver.push_back(job);
    }
  }
  FRegisteredJobs.clear();
  FJobQueue = TThreadManJobList();
  FReservedQueue = TThreadManJobList();
  for (TThreadManJob *job : handedOver) delete job;

  // A worker that did not stop in time (its job still runs) is given up rather than waited for:
  // it reports nothing more and frees itself when it ends. One that is already on its way out is
  // waited for and destroyed as usual.
  auto giveUp = [](TThreadManThread *Thread) -> bool {
    const DWORD id = Thread->ThreadID();
    Thread->ClearPendingJobs();
    if (!Thread->Orphan()) return false;
    // From here on the thread may free itself at any moment: only its id is used.
    if (id != 0) PostThreadMessage(id, WM_QUIT, 0, 0);
    return true;
  };
  for (int i = FStartingThreads.Count() - 1; i >= 0; --i) {
    TThreadManThread *thread = FStartingThreads.Items(i);
    FStartingThreads.Extract(thread);
    if (!giveUp(thread)) {
      thread->WaitFor();
      delete thread;
    }
  }
  for (int i = FThreadList.Count() - 1; i >= 0; --i) {
    TThreadManThread *thread = FThreadList.Items(i);
    if (giveUp(thread)) {
      FThreadList.Extract(thread);
    } else {
      thread->WaitFor();
      FThreadList.Delete(i);
    }
  }
  FWindow.reset(); // drops whatever is still posted to it
}

// ---- properties --------------------------------------------------------------------------------

DWORD TThreadMan::NumberOfProcessors() const { return QuerySystemInfo().dwNumberOfProcessors; }

DWORD TThreadMan::ActiveProcessorMask() const { return QuerySystemInfo().dwActiveProcessorMask; }

HWND TThreadMan::Handle() const { return FWindow ? FWindow->Handle() : 0; }

void TThreadMan::SetThreadCountMode(TThreadCountMode Value) {
  if (Value == FThreadCountMode) return;
  FThreadCountMode = Value;
  UpdateThreads();
}

TNumberOfProcessorsMultiplicator TThreadMan::NumberOfProcessorsMultiplicator() const {
  return FThreadCountMode == tcmMultipleNumberOfProcessors ? FMultiplicator : 1;
}

void TThreadMan::SetNumberOfProcessorsMultiplicator(long long Value) {
  const auto clamped = static_cast<TNumberOfProcessorsMultiplicator>(
      std::clamp<long long>(Value, 1, std::numeric_limits<TNumberOfProcessorsMultiplicator>::max()));
  if (clamped == NumberOfProcessorsMultiplicator()) return;
  // Only the multiple mode keeps a multiplicator, so the mode has to be set first.
  FMultiplicator = FThreadCountMode == tcmMultipleNumberOfProcessors ? clamped : 1;
  UpdateThreads();
}

std::uint16_t TThreadMan::ThreadCount() const {
  switch (FThreadCountMode) {
  case tcmManual: return FThreadCount;
  case tcmMultipleNumberOfProcessors:
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(NumberOfProcessors()) *
                                      static_cast<std::uint64_t>(FMultiplicator));
  case tcmNumberOfProcessors:
  default: return static_cast<std::uint16_t>(NumberOfProcessors());
  }
}

void TThreadMan::SetThreadCount(std::uint16_t Value) {
  if (Value == FThreadCount) return;
  FThreadCount = Value;
  UpdateThreads();
}

void TThreadMan::SetThreadsPriority(TThreadPriority Value) {
  FThreadsPriority = Value;
  for (int i = 0; i < FThreadList.Count(); ++i) FThreadList.Items(i)->SetPriority(Value);
}

void TThreadMan::SetProcessorAffinity(TThreadProcessorAffinity Value) {
  if (Value == FProcessorAffinity) return;
  FProcessorAffinity = Value;
  ApplyProcessorAffinity();
}

void TThreadMan::SetMaxThreadJobCount(std::uint16_t Value) {
  if (Value == FMaxThreadJobCount) return;
  FMaxThreadJobCount = Value;
  DispatchJobs();
}

void TThreadMan::SetOnThreadLog(TThreadLogEvent Value) {
  OnThreadLog = std::move(Value);
  // The workers started at construction, before a stored handler could be assigned.
  if (FLoading && OnThreadLog)
    for (int i = 0; i < FThreadList.Count(); ++i) DoThreadLog(FThreadList.Items(i), true);
}

void TThreadMan::DoThreadLog(TThreadManThread *aThread, bool aStarting) {
  if (OnThreadLog && LogState()) OnThreadLog(aThread, aStarting);
}

bool TThreadMan::IsRegistered(const TThreadManJob *Job) const {
  return FRegisteredJobs.count(const_cast<TThreadManJob *>(Job)) != 0;
}

void TThreadMan::RegisterJob(TThreadManJob *Job) {
  FRegisteredJobs.insert(Job);
  Job->FNotifyWnd = Handle();
}

void TThreadMan::UnregisterJob(TThreadManJob *Job) {
  FRegisteredJobs.erase(Job);
  Job->FNotifyWnd = 0;
}

// ---- threads -----------------------------------------------------------------------------------

void TThreadMan::UpdateThreads() {
  const int oldCount = FThreadList.Count();
  const int newCount = ThreadCount();
  if (oldCount == newCount) return;

  for (int i = oldCount - 1; i >= newCount; --i) {
    TThreadManThread *thread = FThreadList.Items(i);
    if (thread->Terminated() || thread->QuitPosted) continue;
    if (!PostThreadMessage(thread->ThreadID(), WM_QUIT, 0, 0)) {
      if (GetLastError() != ERROR_INVALID_THREAD_ID) RaiseLastOSError();
      FThreadList.Delete(i); // its queue is gone: the thread has ended
      continue;
    }
    // From now on the thread gets no more jobs: one handed to it now might never run.
    thread->QuitPosted = true;
  }

  for (int i = oldCount; i < newCount; ++i) {
    auto made = std::make_unique<TThreadManThread>(this, Handle(), FThreadsPriority, FShared);
    FStartingThreads.Add(made.get());
    TThreadManThread *thread = made.release();
    try {
      thread->Start();
    } catch (...) {
      FStartingThreads.Extract(thread);
      delete thread;
      throw;
    }
  }

  {
    TTimerResolution resolution;
    // The list changes only through WM_TM_THREADSTARTED / WM_TM_THREADFINISHED, handled while the
    // messages are processed. The elapsed time is an unsigned difference, so a wrap of the tick
    // counter neither ends the wait early nor makes it endless.
    const DWORD start = GetTickCount();
    DeliverOwnMessages();
    while (FThreadList.Count() != newCount) {
      if (ThreadCountChangeTimeOut != INFINITE && GetTickCount() - start >= ThreadCountChangeTimeOut)
        break;
      Sleep(10);
      DeliverOwnMessages();
    }
  }

  if (FThreadList.Count() != newCount && OnThreadCreateFailed)
    OnThreadCreateFailed(this, &FStartingThreads);
  if (newCount > 0) ApplyProcessorAffinity();
  // Also after a decrease: jobs bound to a thread that went away may run elsewhere now.
  if (newCount > 0) DispatchJobs();
}

void TThreadMan::ApplyProcessorAffinity() {
  const DWORD mask = ActiveProcessorMask();
  const DWORD processors = NumberOfProcessors();
  for (int i = 0; i < FThreadList.Count(); ++i) {
    TThreadManThread *thread = FThreadList.Items(i);
    if (thread->QuitPosted || thread->Finished()) continue; // on its way out
    if (ApplyIdealProcessor(thread, MAXIMUM_PROCESSORS) == static_cast<DWORD>(-1))
      RaiseLastOSError();
    const TThreadAffinity affinity = ThreadProcessorAffinity(FProcessorAffinity, mask, processors, i);
    if (affinity.Mask == 0) continue; // no active processor known: nothing to pin to
    if (ApplyAffinityMask(thread, affinity.Mask) == 0) RaiseLastOSError();
    if (affinity.IdealProcessor != MAXIMUM_PROCESSORS &&
        ApplyIdealProcessor(thread, affinity.IdealProcessor) == static_cast<DWORD>(-1))
      RaiseLastOSError();
  }
}

void TThreadMan::HandleThreadFinished(TThreadManThread *Thread) {
  // A thread already destroyed (its queue was gone when it was told to stop) may still have
  // reported its end: such a report names nothing of ours any more.
  if (FThreadList.IndexOf(Thread) < 0 && FStartingThreads.IndexOf(Thread) < 0) return;
  DoThreadLog(Thread, false);
  while (!Thread->WaitForTimeout(10)) DeliverOwnMessages();
  {
    // Done entries not finished yet must not keep pointing at the thread.
    TThreadListLock lock(FShared->DoneList);
    for (TObject *item : lock.Items) {
      auto *done = static_cast<TJobDoneItem *>(item);
      if (done->Thread == Thread) done->Thread = nullptr;
    }
  }
  if (FThreadList.IndexOf(Thread) >= 0) {
    FThreadList.Remove(Thread);
  } else if (FStartingThreads.Extract(Thread) == Thread) {
    Thread->WaitFor();
    delete Thread;
  }
  if (!FShutDown) DispatchJobs();
}

// ---- jobs --------------------------------------------------------------------------------------

bool TThreadMan::IsUsableThreadIndex(int Index) const {
  return Index >= 0 && Index < FThreadList.Count() && !FThreadList.Items(Index)->QuitPosted;
}

void TThreadMan::StartJob(TThreadManJob *aJob, int aThreadIndex, void *aData) {
  StartJobWith(aJob, aThreadIndex, aData, nullptr);
}

void TThreadMan::StartJob(TThreadManJob *aJob, int aThreadIndex, std::unique_ptr<TJobData> aData) {
  TJobData *data = aData.get();
  StartJobWith(aJob, aThreadIndex, data, std::move(aData));
}

void TThreadMan::StartJob(std::unique_ptr<TThreadManJob> aJob, int aThreadIndex,
                          std::unique_ptr<TJobData> aData) {
  // Marked before the start: once started, the job may be done and freed at any moment.
  aJob->FreeOnDone = true;
  aJob->FHandedOver = true;
  StartJob(aJob.get(), aThreadIndex, std::move(aData)); // a failure leaves the job to aJob
  aJob.release(); // the manager's now: JobDone frees it
}

void StartJob(std::unique_ptr<TThreadManJob> Job, std::unique_ptr<TJobData> Data) {
  TThreadMan *man = Job->ThreadMan();
  if (man == nullptr) throw EThreadManNoThreadMan();
  const int index = Job->ThreadIndex;
  man->StartJob(std::move(Job), index, std::move(Data));
}

void TThreadMan::StartJobWith(TThreadManJob *aJob, int aThreadIndex, void *aData,
                              std::unique_ptr<TJobData> Owned) {
  if (GetCurrentThreadId() != FMainThreadId) {
    aJob->ThreadIndex = aThreadIndex;
    // The request lives on this stack while the main thread handles it; a failure there comes
    // back in it and is raised here, so the caller knows the start failed. Data handed over
    // moves on to the job, or is freed by the failing start (or with the request, when the main
    // thread never saw it).
    TStartJobRequest request{aJob, aData, std::move(Owned), nullptr};
    SetLastError(ERROR_SUCCESS);
    const LRESULT r = SendMessage(Handle(), WM_TM_STARTJOB, 0, reinterpret_cast<LPARAM>(&request));
    if (request.Error) std::rethrow_exception(request.Error);
    if (r == 0 && GetLastError() == ERROR_INVALID_WINDOW_HANDLE) RaiseLastOSError();
    return;
  }
  if (aJob->State() > tmjsReady) throw EThreadManJobRunning();
  bool anyThread = false;
  for (int i = 0; i < FThreadList.Count() && !anyThread; ++i)
    anyThread = !FThreadList.Items(i)->QuitPosted;
  if (!anyThread) throw EThreadManNoThread();

  aJob->SetState(tmjsReady);
  aJob->FData = aData;
  aJob->FOwnedData = std::move(Owned); // frees what a job detached from a gone manager still held
  aJob->SetState(tmjsWaiting);
  aJob->SetThreadMan(this);
  aJob->ThreadIndex = aThreadIndex;
  FJobQueue.Push(aJob);
  try {
    Enter(aJob);
    if (aJob->Executes.Contains(tmjeWaiting))
      aJob->DoWaiting(IsUsableThreadIndex(aThreadIndex) ? FThreadList.Items(aThreadIndex) : nullptr);
  } catch (...) {
    // A start that reports a failure must not run the job anyway (lent data would be freed by its
    // starter while the job still used it; data handed over is freed here, once): take it back.
    FJobQueue.Remove(aJob);
    try {
      Leave(aJob);
    } catch (...) {
    }
    aJob->FData = nullptr;
    aJob->FOwnedData.reset();
    aJob->SetState(tmjsReady);
    throw;
  }
  DispatchJobs();
}

void TThreadMan::Enter(TThreadManJob *aJob) {
  TCustomThreadManJobGroup::Enter(aJob);
  aJob->FEntered = true;
  if (TThreadManJobGroup *group = aJob->JobGroup()) {
    group->Enter(aJob);
    aJob->FEnteredGroup = group;
  }
}

void TThreadMan::Leave(TThreadManJob *aJob) {
  if (!aJob->FEntered) return; // never counted, or already left
  aJob->FEntered = false;
  TThreadManJobGroup *group = aJob->FEnteredGroup;
  aJob->FEnteredGroup = nullptr;
  if (group != nullptr && group != aJob->JobGroup()) aJob->RemoveFreeNotification(group);
  try {
    if (group != nullptr) group->Leave(aJob);
  } catch (...) {
    TCustomThreadManJobGroup::Leave(aJob);
    throw;
  }
  TCustomThreadManJobGroup::Leave(aJob);
}

void TThreadMan::ForgetJob(TThreadManJob *Job) {
  FJobQueue.Remove(Job);
  FReservedQueue.Remove(Job);
  for (int i = 0; i < FThreadList.Count(); ++i) FThreadList.Items(i)->RemovePendingJob(Job);
  {
    // Workers only append to the done list, so the entries found stay there until removed.
    std::vector<TObject *> gone;
    {
      TThreadListLock lock(FShared->DoneList);
      for (TObject *item : lock.Items) {
        auto *done = static_cast<TJobDoneItem *>(item);
        if (done->Job != Job) continue;
        if (FThreadList.IndexOf(done->Thread) >= 0 && done->Thread->JobCount > 0)
          --done->Thread->JobCount;
        gone.push_back(item);
      }
    }
    for (TObject *item : gone) FShared->DoneList.Remove(item);
  }
  try {
    Leave(Job);
  } catch (...) {
    // The job goes away whatever its group's handler thinks of it.
  }
}

void TThreadMan::DispatchJobs() {
  for (;;) {
    const int count = FThreadList.Count();
    if (count == 0) return;
    const int start = std::min<int>(FNextThreadIndex, count);
    int handed = 0;
    for (int i = start; i < count; ++i)
      if (DispatchToThread(i)) ++handed;
    for (int i = 0; i < std::min(count, start); ++i)
      if (DispatchToThread(i)) ++handed;
    if (handed == 0) return;
  }
}

bool TThreadMan::DispatchToThread(int Index) {
  const int count = FThreadList.Count();
  if (Index < 0 || Index >= count) return false;
  TThreadManThread *thread = FThreadList.Items(Index);
  if (thread->QuitPosted) return false;
  if (thread->JobCount >= FMaxThreadJobCount) return false;

  auto handedOut = [&] {
    FNextThreadIndex = static_cast<std::uint16_t>(Index + 1 < count ? Index + 1 : 0);
    return true;
  };
  // Reserved jobs first, oldest first: those bound to this thread, and those whose thread has
  // gone away meanwhile (they may run anywhere now).
  for (int p = FReservedQueue.Count() - 1; p >= 0; --p) {
    TThreadManJob *job = FReservedQueue.Items(p);
    if (job->ThreadIndex != Index && IsUsableThreadIndex(job->ThreadIndex)) continue;
    thread->AddJob(job);
    FReservedQueue.Delete(p);
    return handedOut();
  }
  while (TThreadManJob *job = FJobQueue.Pop()) {
    if (IsUsableThreadIndex(job->ThreadIndex) && job->ThreadIndex != Index) {
      FReservedQueue.Push(job);
      continue;
    }
    try {
      thread->AddJob(job);
    } catch (...) {
      FJobQueue.Push(job);
      throw;
    }
    return handedOut();
  }
  return false;
}

void TThreadMan::JobDone(TThreadManThread *aThread, TThreadManJob *aJob) {
  std::exception_ptr error;
  const int index = aThread != nullptr ? FThreadList.IndexOf(aThread) : -1;
  TThreadManThread *thread = index >= 0 ? aThread : nullptr; // gone threads are not passed on
  try {
    if (thread != nullptr) {
      if (thread->JobCount > 0) --thread->JobCount;
      DispatchToThread(index);
    }
  } catch (...) {
    error = std::current_exception();
  }
  // A failing handler must neither keep the job counted (nothing would ever end the busy state)
  // nor keep it from being freed or reset: the rest runs in any case, the first error is raised.
  auto guarded = [&](auto &&Body) {
    try {
      Body();
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  };
  if (aJob->Executes.Contains(tmjeDone)) guarded([&] { aJob->DoDone(thread); });
  guarded([&] { Leave(aJob); });
  if (OnJobDone)
    guarded([&] {
      bool freeIt = aJob->FreeIt();
      OnJobDone(thread, aJob, freeIt);
      aJob->FreeOnDone = freeIt;
    });
  if (aJob->FreeIt() || aJob->FHandedOver)
    delete aJob;
  else
    guarded([&] { aJob->Reset(); });
  if (error) std::rethrow_exception(error);
}

// ---- the window procedure ----------------------------------------------------------------------

void TThreadMan::WndProc(TMessage &Message) {
  Message.Result = 0;
  try {
    switch (Message.Msg) {
    case WM_TM_THREADSTARTED: {
      auto *thread = reinterpret_cast<TThreadManThread *>(Message.LParam);
      if (FStartingThreads.Extract(thread) != thread) break; // not one of ours
      FThreadList.Add(thread);
      DoThreadLog(thread, true);
      break;
    }
    case WM_TM_THREADFINISHED:
      HandleThreadFinished(reinterpret_cast<TThreadManThread *>(Message.LParam));
      break;
    case WM_TM_THREADEXCEPTION: {
      std::unique_ptr<TExceptionMessage> report = TakePayload<TExceptionMessage>(Message);
      if (!report) break;
      auto *thread = reinterpret_cast<TThreadManThread *>(Message.WParam);
      if (OnThreadException)
        OnThreadException(thread, report->ExceptClassName, report->ExceptMessage);
      else
        MessageBox(report->ExceptClassName + "\r\n" + report->ExceptMessage, "",
                   MB_OK | MB_ICONSTOP);
      break;
    }
    case WM_TM_JOBSTATE: {
      auto *job = reinterpret_cast<TThreadManJob *>(Message.LParam);
      // A report posted by a worker may arrive after its job is gone.
      if (OnJobLog && IsRegistered(job))
        OnJobLog(job, static_cast<TThreadManJobState>(Message.WParam));
      break;
    }
    case WM_TM_JOBDONE: {
      std::exception_ptr error;
      while (std::unique_ptr<TObject> owned = FShared->DoneList.ExtractFirst()) {
        auto *done = static_cast<TJobDoneItem *>(owned.get());
        try {
          JobDone(done->Thread, done->Job);
        } catch (...) {
          if (!error) error = std::current_exception(); // the other entries are finished too
        }
      }
      if (error) std::rethrow_exception(error);
      break;
    }
    case WM_TM_JOBEXTERNBEFORE:
      reinterpret_cast<TThreadManJob *>(Message.LParam)
          ->DoExternBeforeExecute(reinterpret_cast<TThreadManThread *>(Message.WParam));
      break;
    case WM_TM_JOBEXTERNAFTER:
      reinterpret_cast<TThreadManJob *>(Message.LParam)
          ->DoExternAfterExecute(reinterpret_cast<TThreadManThread *>(Message.WParam));
      break;
    case WM_TM_STARTJOB: {
      auto *request = reinterpret_cast<TStartJobRequest *>(Message.LParam);
      try {
        StartJobWith(request->Job, request->Job->ThreadIndex, request->Data,
                     std::move(request->OwnedData));
      } catch (...) {
        request->Error = std::current_exception(); // the sender raises it
        Message.Result = -1;
      }
      break;
    }
    default: break;
    }
  } catch (const EAbort &) {
    Message.Result = -1;
  } catch (...) {
    Message.Result = -1;
    Application()->HandleException(std::current_exception());
  }
}
