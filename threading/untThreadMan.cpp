// Jobs, job groups, the lists of the thread manager and the processor-affinity rule.
#include "threading/untThreadMan.h"

#include <algorithm>
#include <bit>

void TJobData::CheckTerminated() {
  if (Job != nullptr && Job->Terminated()) throw EAbort();
  if (StopFlag != nullptr && StopFlag->load()) throw EAbort();
}

// ---- the processor-affinity rule -----------------------------------------------------------------

TThreadAffinity ThreadProcessorAffinity(TThreadProcessorAffinity Mode, DWORD ActiveMask,
                                        DWORD NumberOfProcessors, int ThreadIndex) {
  TThreadAffinity result;
  if (ActiveMask == 0 || ThreadIndex < 0) return result;
  switch (Mode) {
  case tpaAllProcessors:
    result.Mask = ActiveMask;
    break;
  case tpaSoftToSingleProcessor: {
    result.Mask = ActiveMask;
    if (NumberOfProcessors == 0) break;
    const DWORD p = static_cast<DWORD>(ThreadIndex) % NumberOfProcessors;
    if (p < 32 && (ActiveMask & (DWORD{1} << p)) != 0) result.IdealProcessor = p;
    break;
  }
  case tpaHardToSingleProcessor: {
    // The ThreadIndex-th active processor, counting round the mask as often as needed.
    int k = ThreadIndex % std::popcount(ActiveMask);
    for (DWORD bit = 0; bit < 32; ++bit) {
      if ((ActiveMask & (DWORD{1} << bit)) == 0) continue;
      if (k-- == 0) {
        result.Mask = DWORD_PTR{1} << bit;
        break;
      }
    }
    break;
  }
  }
  return result;
}

// ---- lists -------------------------------------------------------------------------------------

int TThreadManThreadList::IndexOf(const TThreadManThread *Thread) const {
  auto it = std::find(FItems.begin(), FItems.end(), Thread);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

void TThreadManThreadList::Delete(int Index) {
  TThreadManThread *thread = FItems.at(static_cast<size_t>(Index));
  FItems.erase(FItems.begin() + Index);
  if (FOwnsThreads) delete thread;
}

void TThreadManThreadList::Remove(TThreadManThread *Thread) {
  const int index = IndexOf(Thread);
  if (index >= 0) Delete(index);
}

TThreadManThread *TThreadManThreadList::Extract(TThreadManThread *Thread) {
  const int index = IndexOf(Thread);
  if (index < 0) return nullptr;
  FItems.erase(FItems.begin() + index);
  return Thread;
}

void TThreadManThreadList::Clear() {
  while (!FItems.empty()) Delete(Count() - 1);
}

TThreadManJob *TThreadManJobList::Pop() {
  if (FItems.empty()) return nullptr;
  TThreadManJob *job = FItems.back();
  FItems.pop_back();
  return job;
}

bool TThreadManJobList::Remove(TThreadManJob *Job) {
  const auto old = FItems.size();
  FItems.erase(std::remove(FItems.begin(), FItems.end(), Job), FItems.end());
  return FItems.size() != old;
}

bool TThreadManJobList::Contains(const TThreadManJob *Job) const {
  return std::find(FItems.begin(), FItems.end(), Job) != FItems.end();
}

// ---- job groups --------------------------------------------------------------------------------

void TCustomThreadManJobGroup::Enter(TThreadManJob *) {
  if (FJobCount == 0) DoJobGroupEnter();
  ++FJobCount;
}

void TCustomThreadManJobGroup::Leave(TThreadManJob *) {
  if (--FJobCount == 0) DoJobGroupLeave();
}

void TCustomThreadManJobGroup::DoJobGroupEnter() {
  if (OnJobGroupEnter) OnJobGroupEnter(this);
}

void TCustomThreadManJobGroup::DoJobGroupLeave() {
  if (OnJobGroupLeave) OnJobGroupLeave(this);
}

void TThreadManJobGroup::SetSynchronize(bool Value) {
  if (Value == Synchronize()) return;
  if (Value)
    FLock = std::make_unique<TCriticalSection>();
  else
    FLock.reset();
}

void TThreadManJobGroup::Enter(TThreadManJob *aJob) {
  if (!FLock) return TCustomThreadManJobGroup::Enter(aJob);
  TLockGuard lock(*FLock);
  TCustomThreadManJobGroup::Enter(aJob);
}

void TThreadManJobGroup::Leave(TThreadManJob *aJob) {
  if (!FLock) return TCustomThreadManJobGroup::Leave(aJob);
  TLockGuard lock(*FLock);
  TCustomThreadManJobGroup::Leave(aJob);
}

// ---- jobs --------------------------------------------------------------------------------------

TThreadManJob::TThreadManJob(TComponent *AOwner) : TComponent(AOwner) {}

TThreadManJob::~TThreadManJob() {
  try {
    SetState(tmjsFree);
  } catch (...) {
    // A failed report must not stop the job from going away.
  }
  if (FThreadMan != nullptr) {
    FThreadMan->ForgetJob(this);
    FThreadMan->UnregisterJob(this);
    FThreadMan = nullptr;
  }
}

void TThreadManJob::SetThreadMan(TThreadMan *Value) {
  if (FThreadMan != nullptr) FThreadMan->UnregisterJob(this);
  FThreadMan = Value;
  if (FThreadMan != nullptr) FThreadMan->RegisterJob(this);
}

void TThreadManJob::SetJobGroup(TThreadManJobGroup *Value) {
  if (Value == FJobGroup) return;
  if (FJobGroup != nullptr && FJobGroup != FEnteredGroup) RemoveFreeNotification(FJobGroup);
  FJobGroup = Value;
  if (FJobGroup != nullptr) FreeNotification(FJobGroup);
}

void TThreadManJob::Notification(TComponent *AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  if (AComponent == FJobGroup) FJobGroup = nullptr;
  if (AComponent == FEnteredGroup) FEnteredGroup = nullptr;
}

void TThreadManJob::Start(void *aData) {
  if (FThreadMan == nullptr) throw EThreadManNoThreadMan();
  FThreadMan->StartJob(this, ThreadIndex, aData);
}

void TThreadManJob::Start(std::unique_ptr<TJobData> aData) {
  if (FThreadMan == nullptr) throw EThreadManNoThreadMan();
  FThreadMan->StartJob(this, ThreadIndex, std::move(aData));
}

std::unique_ptr<TJobData> TThreadManJob::TakeData() {
  if (FOwnedData) FData = nullptr;
  return std::move(FOwnedData);
}

void TThreadManJob::Reset() {
  FTerminated.store(false);
  FreeOnDone = false;
  FData = nullptr;
  FOwnedData.reset();
  SetState(tmjsReady);
}

void TThreadManJob::Terminate() { FTerminated.store(true); }

void TThreadManJob::Loaded() { LoadedFromForm = true; }

void TThreadManJob::AssignTo(TPersistent *Dest) const {
  auto *job = dynamic_cast<TThreadManJob *>(Dest);
  if (job == nullptr) return TComponent::AssignTo(Dest);
  job->Caption = Caption;
  job->ThreadIndex = ThreadIndex;
  job->SetThreadMan(FThreadMan);
  job->Executes = Executes;
  job->LogState = LogState;
  job->SetJobGroup(FJobGroup);
  job->OnWaiting = OnWaiting;
  job->OnExternBeforeExecute = OnExternBeforeExecute;
  job->OnInternBeforeExecute = OnInternBeforeExecute;
  job->OnInternExecute = OnInternExecute;
  job->OnInternAfterExecute = OnInternAfterExecute;
  job->OnExternAfterExecute = OnExternAfterExecute;
  job->OnDone = OnDone;
  job->FreeOnDone = FreeIt();
}

void TThreadManJob::Report(TThreadManJobState Prev, HWND Wnd, bool ManagerLogState) {
  if (!LogState || !ManagerLogState || Wnd == 0) return;
  if (!SendNotifyMessage(Wnd, WM_TM_JOBSTATE, static_cast<WPARAM>(Prev),
                         reinterpret_cast<LPARAM>(this)))
    RaiseLastOSError();
}

void TThreadManJob::SetState(TThreadManJobState Value) {
  const TThreadManJobState prev = FState.exchange(Value);
  if (prev == Value) return;
  Report(prev, FNotifyWnd, FThreadMan != nullptr && FThreadMan->LogState());
}

void TThreadManJob::SetStateOnWorker(TThreadManJobState Value, TThreadManThread *aThread) {
  // The worker uses what it shares with the manager, never the manager object itself. The job is
  // read before its new state is published: once it is done, its owner may free it at once.
  const bool log = LogState && aThread->FShared->LogState.load();
  const HWND wnd = aThread->Wnd();
  const TThreadManJobState prev = FState.exchange(Value);
  if (prev == Value || !log || wnd == 0) return;
  if (!SendNotifyMessage(wnd, WM_TM_JOBSTATE, static_cast<WPARAM>(prev), reinterpret_cast<LPARAM>(this)))
    RaiseLastOSError();
}

void TThreadManJob::DoWaiting(TThreadManThread *aThread) {
  if (OnWaiting) OnWaiting(aThread, this);
}
void TThreadManJob::DoExternBeforeExecute(TThreadManThread *aThread) {
  if (OnExternBeforeExecute) OnExternBeforeExecute(aThread, this);
}
void TThreadManJob::DoInternBeforeExecute(TThreadManThread *aThread) {
  if (OnInternBeforeExecute) OnInternBeforeExecute(aThread, this);
}
void TThreadManJob::DoInternExecute(TThreadManThread *aThread) {
  if (OnInternExecute) OnInternExecute(aThread, this);
}
void TThreadManJob::DoInternAfterExecute(TThreadManThread *aThread) {
  if (OnInternAfterExecute) OnInternAfterExecute(aThread, this);
}
void TThreadManJob::DoExternAfterExecute(TThreadManThread *aThread) {
  if (OnExternAfterExecute) OnExternAfterExecute(aThread, this);
}
void TThreadManJob::DoDone(TThreadManThread *aThread) {
  if (!OnDone) return;
  bool freeIt = FreeIt();
  OnDone(aThread, this, freeIt);
  FreeOnDone = freeIt;
}
