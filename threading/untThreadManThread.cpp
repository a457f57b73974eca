// The worker side of the thread manager: a worker's private job list and the run of one job.
#include "threading/untThreadMan.h"

#include <algorithm>

TThreadManThread::TThreadManThread(TThreadMan *AOwner, HWND AWnd, TThreadPriority APriority,
                                   std::shared_ptr<TThreadManShared> Shared)
    : TCustomThread(AOwner, AWnd, APriority), FShared(std::move(Shared)) {}

void TThreadManThread::AddJob(TThreadManJob *Job) {
  const TThreadManJobState prev = Job->State();
  Job->SetState(tmjsQueue);
  bool added = false;
  try {
    FJobList.Add(Job);
    added = true;
    if (!PostThreadMessage(ThreadID(), WM_TM_WAKEUP, 0, 0)) RaiseLastOSError();
  } catch (...) {
    // Taken back only if the worker has not taken it already (woken by an earlier message): a
    // job must never both run here and go back to the manager's queue.
    if (!added || FJobList.Extract(Job) == Job) {
      Job->SetState(prev);
      throw;
    }
  }
  ++JobCount;
}

bool TThreadManThread::RemovePendingJob(TThreadManJob *Job) {
  if (FJobList.Extract(Job) != Job) return false;
  if (JobCount > 0) --JobCount;
  return true;
}

std::vector<TThreadManJob *> TThreadManThread::ClearPendingJobs() {
  std::vector<TThreadManJob *> jobs;
  {
    TThreadListLock lock(FJobList);
    for (TObject *item : lock.Items) jobs.push_back(static_cast<TThreadManJob *>(item));
    lock.Items.clear();
  }
  JobCount = std::max(0, JobCount - static_cast<int>(jobs.size()));
  return jobs;
}

void TThreadManThread::DoWakeUp() { ProcessJobs(); }

void TThreadManThread::ProcessJobs() {
  for (;;) {
    if (Orphaned()) return; // the manager is gone; its jobs were taken back
    TThreadManJob *job;
    {
      TThreadListLock lock(FJobList);
      if (lock.Items.empty()) return;
      job = static_cast<TThreadManJob *>(lock.Items.front());
      lock.Items.erase(lock.Items.begin());
    }
    RunJob(job);
  }
}

namespace {
// Sends an extern event to the main thread and waits for it; only a failed send raises (an
// exception of the handler stays on the main thread).
void SendExtern(HWND Wnd, UINT Msg, TThreadManThread *Thread, TThreadManJob *Job) {
  SetLastError(ERROR_SUCCESS);
  const LRESULT r = SendMessage(Wnd, Msg, reinterpret_cast<WPARAM>(Thread),
                                reinterpret_cast<LPARAM>(Job));
  if (r == 0 && GetLastError() == ERROR_INVALID_WINDOW_HANDLE) RaiseLastOSError();
}
} // namespace

void TThreadManThread::RunJob(TThreadManJob *Job) {
  const TThreadManJobExecutes ex = Job->Executes;
  const HWND wnd = Wnd();
  std::exception_ptr error; // the last one raised wins
  try {
    if (ex.Contains(tmjeExternBeforeExecute)) {
      Job->SetStateOnWorker(tmjsExternBeforeExecute, this);
      SendExtern(wnd, WM_TM_JOBEXTERNBEFORE, this, Job);
    }
    try {
      if (ex.Contains(tmjeInternBeforeExecute)) {
        Job->SetStateOnWorker(tmjsInternBeforeExecute, this);
        Job->DoInternBeforeExecute(this);
      }
      if (ex.Contains(tmjeInternExecute)) {
        Job->SetStateOnWorker(tmjsInternExecute, this);
        Job->DoInternExecute(this);
      }
    } catch (...) {
      error = std::current_exception();
    }
    try {
      if (ex.Contains(tmjeInternAfterExecute)) {
        Job->SetStateOnWorker(tmjsInternAfterExecute, this);
        Job->DoInternAfterExecute(this);
      }
    } catch (...) {
      error = std::current_exception();
    }
  } catch (...) {
    error = std::current_exception();
  }
  try {
    if (ex.Contains(tmjeExternAfterExecute)) {
      Job->SetStateOnWorker(tmjsExternAfterExecute, this);
      SendExtern(wnd, WM_TM_JOBEXTERNAFTER, this, Job);
    }
  } catch (...) {
    error = std::current_exception();
  }

  std::exception_ptr reportError;
  if (error && !Orphaned()) {
    auto report = std::make_unique<TExceptionMessage>(error);
    if (!PostMessage(wnd, WM_TM_THREADEXCEPTION, reinterpret_cast<WPARAM>(this), report))
      reportError = std::make_exception_ptr(EOSError(GetLastError()));
  }

  // The job is finished on the main thread whatever happened above.
  try {
    Job->SetStateOnWorker(tmjsDone, this);
  } catch (...) {
    if (!reportError) reportError = std::current_exception();
  }
  FShared->DoneList.Add(std::make_unique<TJobDoneItem>(this, Job));
  // From here on the main thread may destroy the job: it is not touched any more.
  if (!PostMessage(wnd, WM_TM_JOBDONE, 0, 0) && !reportError)
    reportError = std::make_exception_ptr(EOSError(GetLastError()));
  if (reportError && !Orphaned()) std::rethrow_exception(reportError);
}
