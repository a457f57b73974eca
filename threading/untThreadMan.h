// The thread manager, its workers, jobs and job groups.
//
// A job (TThreadManJob) is started on the main thread with its data, waits in the manager's queue,
// runs its heavy events on one of the manager's worker threads and is finished on the main thread
// when the worker reports it done through the manager's hidden window.
//
// Thread rules:
// - Main thread only: every manager field, both queues, the thread lists, a thread's JobCount,
//   dispatching, StartJob (a start from another thread is forwarded to the main thread and waited
//   for), the group counts and every manager event.
// - A worker's private job list is shared by the main thread (adds) and that worker (takes); the
//   done list by all workers (append) and the main thread (takes). Both have their own lock.
// - A job's State is written by whichever thread runs the job at that moment; Terminated may be
//   set from any thread. Both are atomic.
// - The worker-side job events (OnIntern...) must not touch user-interface objects.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/untMessages.h"
#include "platform/untSystem.h"
#include "platform/untThreads.h"
#include "threading/untJobData.h"
#include "threading/untThreads.h"

class TThreadMan;
class TThreadManJob;
class TThreadManJobGroup;
class TThreadManThread;

// ---- enumerations ------------------------------------------------------------------------------

enum TThreadCountMode : std::uint8_t { tcmNumberOfProcessors, tcmManual, tcmMultipleNumberOfProcessors };
enum TThreadProcessorAffinity : std::uint8_t {
  tpaAllProcessors,
  tpaSoftToSingleProcessor,
  tpaHardToSingleProcessor
};
using TNumberOfProcessorsMultiplicator = std::int32_t; // 1..2147483647

enum TThreadManJobExecute : std::uint8_t {
  tmjeWaiting,
  tmjeExternBeforeExecute,
  tmjeInternBeforeExecute,
  tmjeInternExecute,
  tmjeInternAfterExecute,
  tmjeExternAfterExecute,
  tmjeDone
};

// The set of events a job runs (bits 0..6).
class TThreadManJobExecutes {
public:
  constexpr TThreadManJobExecutes() = default;
  constexpr TThreadManJobExecutes(std::initializer_list<TThreadManJobExecute> Items) {
    for (TThreadManJobExecute e : Items) FBits = static_cast<std::uint8_t>(FBits | Bit(e));
  }
  static constexpr TThreadManJobExecutes All() {
    return {tmjeWaiting, tmjeExternBeforeExecute, tmjeInternBeforeExecute, tmjeInternExecute,
            tmjeInternAfterExecute, tmjeExternAfterExecute, tmjeDone};
  }
  constexpr bool Contains(TThreadManJobExecute E) const { return (FBits & Bit(E)) != 0; }
  constexpr void Include(TThreadManJobExecute E) { FBits = static_cast<std::uint8_t>(FBits | Bit(E)); }
  constexpr void Exclude(TThreadManJobExecute E) { FBits = static_cast<std::uint8_t>(FBits & ~Bit(E)); }
  constexpr std::uint8_t Bits() const { return FBits; }
  constexpr bool operator==(const TThreadManJobExecutes &) const = default;

private:
  static constexpr std::uint8_t Bit(TThreadManJobExecute E) { return static_cast<std::uint8_t>(1u << E); }
  std::uint8_t FBits = 0;
};

enum TThreadManJobState : std::uint8_t {
  tmjsNone,
  tmjsReady,
  tmjsWaiting,
  tmjsQueue,
  tmjsExternBeforeExecute,
  tmjsInternBeforeExecute,
  tmjsInternExecute,
  tmjsInternAfterExecute,
  tmjsExternAfterExecute,
  tmjsDone,
  tmjsFree
};

// ---- exceptions --------------------------------------------------------------------------------

class EThreadMan : public Exception { using Exception::Exception; };
class EThreadManNoThread : public EThreadMan {
public:
  EThreadManNoThread() : EThreadMan("Im Thread-Manager existiert kein Thread!") {}
};
class EThreadManNoThreadMan : public EThreadMan {
public:
  EThreadManNoThreadMan() : EThreadMan("Es wurde kein Thread-Manager zugewiesen!") {}
};
class EThreadManJob : public EThreadMan { using EThreadMan::EThreadMan; };
class EThreadManJobRunning : public EThreadManJob {
public:
  EThreadManJobRunning() : EThreadManJob("Der Thread-Job ist bereits gestartet!") {}
};

// ---- event types -------------------------------------------------------------------------------

using TNotifyEvent = std::function<void(TObject *Sender)>;
using TThreadManJobEvent = std::function<void(TThreadManThread *aThread, TThreadManJob *aJob)>;
using TThreadManJobDoneEvent =
    std::function<void(TThreadManThread *aThread, TThreadManJob *aJob, bool &aFreeIt)>;
using TThreadLogEvent = std::function<void(TThreadManThread *aThread, bool aStarting)>;
using TJobLogEvent = std::function<void(TThreadManJob *aJob, TThreadManJobState aPrevState)>;
using TThreadExceptionEvent = std::function<void(
    TThreadManThread *aThread, const std::string &aClassName, const std::string &aMessage)>;
class TThreadManThreadList;
using TThreadCreateFailedEvent =
    std::function<void(TThreadMan *aThreadMan, TThreadManThreadList *aFailedThreadList)>;

// ---- the processor-affinity rule -----------------------------------------------------------------

// What one worker gets: the affinity mask and the ideal processor (MAXIMUM_PROCESSORS: none).
struct TThreadAffinity {
  DWORD_PTR Mask = 0;
  DWORD IdealProcessor = MAXIMUM_PROCESSORS;
  bool operator==(const TThreadAffinity &) const = default;
};
// The affinity of the worker at ThreadIndex: all active processors (tpaAllProcessors), all of them
// with the processor ThreadIndex mod NumberOfProcessors preferred when it is active
// (tpaSoftToSingleProcessor), or only the ThreadIndex-th active processor, counted round when
// there are more threads than processors (tpaHardToSingleProcessor). An empty mask gives an empty
// result (nothing can be applied).
TThreadAffinity ThreadProcessorAffinity(TThreadProcessorAffinity Mode, DWORD ActiveMask,
                                        DWORD NumberOfProcessors, int ThreadIndex);

// ---- lists -------------------------------------------------------------------------------------

// The workers of a manager, in order; with OwnsThreads, deleting an entry destroys the thread.
class TThreadManThreadList {
public:
  explicit TThreadManThreadList(bool OwnsThreads) : FOwnsThreads(OwnsThreads) {}
  ~TThreadManThreadList() { Clear(); }
  TThreadManThreadList(const TThreadManThreadList &) = delete;
  TThreadManThreadList &operator=(const TThreadManThreadList &) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  TThreadManThread *Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  int IndexOf(const TThreadManThread *Thread) const;
  void Add(TThreadManThread *Thread) { FItems.push_back(Thread); }
  void Delete(int Index);
  void Remove(TThreadManThread *Thread); // deletes the entry, if there is one
  TThreadManThread *Extract(TThreadManThread *Thread); // removes the entry, never destroys
  void Clear();
  bool OwnsThreads() const { return FOwnsThreads; }

private:
  std::vector<TThreadManThread *> FItems;
  const bool FOwnsThreads;
};

// A first-in first-out queue of jobs. Push adds at the new end, Pop takes the oldest. By position,
// 0 is the newest entry and Count()-1 the oldest.
class TThreadManJobList {
public:
  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }
  void Push(TThreadManJob *Job) { FItems.push_front(Job); }
  TThreadManJob *Pop(); // nullptr when empty
  TThreadManJob *Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  void Delete(int Index) { FItems.erase(FItems.begin() + Index); }
  bool Remove(TThreadManJob *Job); // every entry of Job; whether there was one
  bool Contains(const TThreadManJob *Job) const;

private:
  std::deque<TThreadManJob *> FItems;
};

// A start forwarded to the main thread (WM_TM_STARTJOB's lParam, on the sender's stack): the
// main thread starts Job with Data (lent) or OwnedData (handed over to the job, which then holds
// it; a start that fails frees it) and puts a failure into Error instead of showing it.
struct TStartJobRequest {
  TThreadManJob *Job = nullptr;
  void *Data = nullptr;
  std::unique_ptr<TJobData> OwnedData;
  std::exception_ptr Error;
};

class TJobDoneItem : public TObject {
public:
  TJobDoneItem(TThreadManThread *AThread, TThreadManJob *AJob) : Thread(AThread), Job(AJob) {}
  TThreadManThread *Thread;
  TThreadManJob *Job;
};

// What a manager shares with its workers. Held by shared pointer, so that a worker the manager had
// to give up on (it did not stop in time) never touches freed memory.
struct TThreadManShared {
  TObjectThreadList DoneList; // TJobDoneItem entries, owned
  std::atomic<bool> LogState{true};
};

// ---- job groups --------------------------------------------------------------------------------

// Counts the jobs in progress that name it: OnJobGroupEnter when the first one starts,
// OnJobGroupLeave when the last one has ended. Main thread only.
class TCustomThreadManJobGroup : public TComponent {
public:
  explicit TCustomThreadManJobGroup(TComponent *AOwner = nullptr) : TComponent(AOwner) {}

  int JobCount() const { return FJobCount; } // the in-progress count
  TNotifyEvent OnJobGroupEnter;
  TNotifyEvent OnJobGroupLeave;

  virtual void Enter(TThreadManJob *aJob);
  virtual void Leave(TThreadManJob *aJob);

protected:
  virtual void DoJobGroupEnter();
  virtual void DoJobGroupLeave();

private:
  int FJobCount = 0;
};

class TThreadManJobGroup : public TCustomThreadManJobGroup {
public:
  using TCustomThreadManJobGroup::TCustomThreadManJobGroup;

  // True: counting takes a lock of the group (created here, freed again by False).
  bool Synchronize() const { return FLock != nullptr; }
  void SetSynchronize(bool Value);

  void Enter(TThreadManJob *aJob) override;
  void Leave(TThreadManJob *aJob) override;

private:
  std::unique_ptr<TCriticalSection> FLock;
};

// ---- jobs --------------------------------------------------------------------------------------

class TThreadManJob : public TComponent {
public:
  explicit TThreadManJob(TComponent *AOwner = nullptr);
  // Sets tmjsFree (reported like any change), takes the job out of every queue of its manager
  // that still holds it (a job destroyed while it waits is dropped, and no longer counted), and
  // unregisters it. A job must not be destroyed while a worker runs it.
  ~TThreadManJob() override;

  std::string Caption;
  bool FreeOnDone = false;
  bool LoadedFromForm = false;
  int ThreadIndex = -1; // -1 (or any index that names no thread): any thread
  TThreadManJobExecutes Executes = TThreadManJobExecutes::All();
  bool LogState = true;

  HWND NotifyWnd() const { return FNotifyWnd; }
  TThreadMan *ThreadMan() const { return FThreadMan; }
  void SetThreadMan(TThreadMan *Value);
  TThreadManJobGroup *JobGroup() const { return FJobGroup; }
  void SetJobGroup(TThreadManJobGroup *Value);
  TThreadManJobState State() const { return FState.load(); }
  bool Terminated() const { return FTerminated.load(); }
  // The free decision: a job placed in a form is never freed by the framework.
  bool FreeIt() const { return FreeOnDone && !LoadedFromForm; }

  TThreadManJobEvent OnWaiting;
  TThreadManJobEvent OnExternBeforeExecute;
  TThreadManJobEvent OnInternBeforeExecute;
  TThreadManJobEvent OnInternExecute;
  TThreadManJobEvent OnInternAfterExecute;
  TThreadManJobEvent OnExternAfterExecute;
  TThreadManJobDoneEvent OnDone;

  // The start data while the job is under way (nullptr before and after). Data lent with Start's
  // plain pointer stays its starter's; data handed over as a unique_ptr belongs to the job.
  void *Data() const { return FData; }
  // Main thread, typically in a done handler: takes over the data handed to the job at its start
  // (nullptr for lent data); Data() is nullptr from then on. Data nobody takes is freed by Reset
  // (after the done events), by the next start or with the job.
  std::unique_ptr<TJobData> TakeData();

  // Main thread or any thread (forwarded to the main thread and waited for). With a plain pointer
  // the data is only lent: the starter keeps it and frees it when the job is done with it. With a
  // unique_ptr the job takes it over; a start that fails frees it before the exception leaves.
  virtual void Start(void *aData);
  virtual void Start(std::unique_ptr<TJobData> aData);
  // Terminated := False, FreeOnDone := False, Data := none (freed when the job held it), state
  // tmjsReady. Main thread.
  virtual void Reset();
  // Only sets Terminated (any thread); the job's own code tests it (TJobData::CheckTerminated).
  virtual void Terminate();

  // Assign from another job copies its settings and events (not Data, State, Terminated,
  // LoadedFromForm) and registers the copy with the same manager; FreeOnDone becomes the source's
  // free decision.
  // Loaded marks a job made from stored form settings (a template), which the framework never
  // frees.
  virtual void Loaded();

  virtual void DoWaiting(TThreadManThread *aThread);
  virtual void DoExternBeforeExecute(TThreadManThread *aThread);
  virtual void DoInternBeforeExecute(TThreadManThread *aThread);
  virtual void DoInternExecute(TThreadManThread *aThread);
  virtual void DoInternAfterExecute(TThreadManThread *aThread);
  virtual void DoExternAfterExecute(TThreadManThread *aThread);
  virtual void DoDone(TThreadManThread *aThread);

protected:
  void AssignTo(TPersistent *Dest) const override;
  void Notification(TComponent *AComponent, TOperation Operation) override;

private:
  friend class TThreadMan;
  friend class TThreadManThread;
  // Main thread: reported through the manager window when logging is on.
  void SetState(TThreadManJobState Value);
  // On a worker: reported to Wnd with the worker's view of the manager's LogState.
  void SetStateOnWorker(TThreadManJobState Value, TThreadManThread *aThread);
  void Report(TThreadManJobState Prev, HWND Wnd, bool ManagerLogState);

  HWND FNotifyWnd = 0;
  TThreadMan *FThreadMan = nullptr;
  TThreadManJobGroup *FJobGroup = nullptr;
  // The start data (main thread writes it before the job is queued; the worker only reads it) and
  // what of it the job owns (main thread only).
  void *FData = nullptr;
  std::unique_ptr<TJobData> FOwnedData;
  // Handed over to the manager (StartJob with a unique_ptr job): freed after its done step.
  bool FHandedOver = false;
  std::atomic<TThreadManJobState> FState{tmjsNone};
  std::atomic<bool> FTerminated{false};
  // Main thread: whether the manager counted this job in (Enter without its Leave yet), and the
  // group it was counted in, so that Leave matches Enter even if JobGroup changed meanwhile.
  bool FEntered = false;
  TThreadManJobGroup *FEnteredGroup = nullptr;
};

// ---- workers -----------------------------------------------------------------------------------

class TThreadManThread : public TCustomThread {
public:
  TThreadManThread(TThreadMan *AOwner, HWND AWnd, TThreadPriority APriority,
                   std::shared_ptr<TThreadManShared> Shared);
  ~TThreadManThread() override { StopAndWait(); }

  // Jobs handed to this thread and not yet finished on the main thread. Main thread only.
  int JobCount = 0;

  // Main thread: hands Job to the thread (state tmjsQueue; back to the old state on failure).
  void AddJob(TThreadManJob *Job);
  // Main thread: takes Job back if the thread has not taken it yet.
  bool RemovePendingJob(TThreadManJob *Job);
  // Main thread: takes back every job not yet taken (used when the thread is given up).
  std::vector<TThreadManJob *> ClearPendingJobs();
  // Main thread: set once WM_QUIT was posted; such a thread gets no more jobs.
  bool QuitPosted = false;

protected:
  void DoWakeUp() override;

private:
  friend class TThreadManJob;
  void ProcessJobs();
  void RunJob(TThreadManJob *Job);

  TSyncThreadList FJobList; // not owned, oldest first
  std::shared_ptr<TThreadManShared> FShared;
};

// ---- the manager -------------------------------------------------------------------------------

class TThreadMan : public TCustomThreadManJobGroup {
public:
  // Creates the hidden window (on the calling thread, which becomes the manager's main thread)
  // and the workers, and waits for them to start.
  explicit TThreadMan(TComponent *AOwner = nullptr);
  // Stops the workers (jobs already handed to them still run and finish), then frees everything.
  // A worker that does not stop within ThreadCountChangeTimeOut is given up: it frees itself once
  // its current job returns. Waiting jobs are detached and reset; they never run.
  ~TThreadMan() override;
  void BeforeDestruction() override;

  DWORD NumberOfProcessors() const;
  DWORD ActiveProcessorMask() const;
  DWORD ThreadCountChangeTimeOut = 60000; // milliseconds; INFINITE waits without limit
  TThreadCountMode ThreadCountMode() const { return FThreadCountMode; }
  void SetThreadCountMode(TThreadCountMode Value);
  TNumberOfProcessorsMultiplicator NumberOfProcessorsMultiplicator() const;
  void SetNumberOfProcessorsMultiplicator(long long Value);
  std::uint16_t ThreadCount() const;
  void SetThreadCount(std::uint16_t Value);
  TThreadPriority ThreadsPriority() const { return FThreadsPriority; }
  void SetThreadsPriority(TThreadPriority Value);
  TThreadProcessorAffinity ProcessorAffinity() const { return FProcessorAffinity; }
  void SetProcessorAffinity(TThreadProcessorAffinity Value);
  std::uint16_t MaxThreadJobCount() const { return FMaxThreadJobCount; }
  void SetMaxThreadJobCount(std::uint16_t Value);
  bool LogState() const { return FShared->LogState.load(); }
  void SetLogState(bool Value) { FShared->LogState.store(Value); }

  TThreadLogEvent OnThreadLog;
  // Assigns OnThreadLog; while settings are being loaded (BeginLoad .. Loaded) the new handler
  // hears at once of every thread that already runs, since those started before it was assigned.
  void SetOnThreadLog(TThreadLogEvent Value);
  TJobLogEvent OnJobLog;
  TThreadManJobDoneEvent OnJobDone;
  TThreadExceptionEvent OnThreadException;
  TThreadCreateFailedEvent OnThreadCreateFailed;

  void BeginLoad() { FLoading = true; }
  void Loaded() { FLoading = false; }

  // Main thread, or any other thread (forwarded with a synchronous WM_TM_STARTJOB); a forwarded
  // start that fails raises the main thread's exception for the caller. Lent data (a plain
  // pointer) stays with the caller; data handed over (a unique_ptr) belongs to the job from the
  // start on, and a start that fails frees it, exactly once, before the exception leaves.
  void StartJob(TThreadManJob *aJob, int aThreadIndex, void *aData);
  void StartJob(TThreadManJob *aJob, int aThreadIndex, std::unique_ptr<TJobData> aData);
  // Main thread. Starts a job made at run time and takes the job over as well: after a successful
  // start the manager frees it after its done step, whatever its done handlers decide; a start
  // that fails frees the job and its data before the exception leaves. The caller may keep a
  // plain pointer to the job for as long as its done step has not run.
  void StartJob(std::unique_ptr<TThreadManJob> aJob, int aThreadIndex,
                std::unique_ptr<TJobData> aData = nullptr);
  void Enter(TThreadManJob *aJob) override;
  void Leave(TThreadManJob *aJob) override;

  // For inspection and tests (main thread).
  HWND Handle() const;
  DWORD MainThreadId() const { return FMainThreadId; }
  const TThreadManThreadList &Threads() const { return FThreadList; }
  const TThreadManThreadList &StartingThreads() const { return FStartingThreads; }
  int QueuedJobCount() const { return FJobQueue.Count(); }
  int ReservedJobCount() const { return FReservedQueue.Count(); }
  bool IsRegistered(const TThreadManJob *Job) const;

  // Replaces GetSystemInfo for the processor count and mask (tests); empty restores it.
  using TSystemInfoFunction = std::function<void(SYSTEM_INFO *Info)>;
  static void SetSystemInfoFunctionForTests(TSystemInfoFunction Function);
  // Replaces SetThreadAffinityMask / SetThreadIdealProcessor as ApplyProcessorAffinity calls
  // them (tests); empty restores them.
  using TAffinityFunction = std::function<DWORD_PTR(TThreadManThread *Thread, DWORD_PTR Mask)>;
  using TIdealProcessorFunction = std::function<DWORD(TThreadManThread *Thread, DWORD Ideal)>;
  static void SetAffinityFunctionsForTests(TAffinityFunction Affinity,
                                           TIdealProcessorFunction Ideal);

protected:
  void UpdateThreads();
  void ApplyProcessorAffinity();
  void DispatchJobs();
  // Hands at most one job to the thread at Index; returns whether it did.
  bool DispatchToThread(int Index);
  void JobDone(TThreadManThread *aThread, TThreadManJob *aJob);
  virtual void WndProc(TMessage &Message);
  void DoThreadLog(TThreadManThread *aThread, bool aStarting);

private:
  friend class TThreadManJob;
  void RegisterJob(TThreadManJob *Job);
  void UnregisterJob(TThreadManJob *Job);
  // A job about to be destroyed: out of every queue, no longer counted.
  void ForgetJob(TThreadManJob *Job);
  // Whether Index names a thread that may still get jobs.
  bool IsUsableThreadIndex(int Index) const;
  void HandleThreadFinished(TThreadManThread *Thread);
  // Delivers the messages posted to the manager's window, and nothing else of the thread's.
  void DeliverOwnMessages();
  void Shutdown();
  // The one start: Data is what the job's events see; Owned (empty for lent data) goes to the job.
  void StartJobWith(TThreadManJob *aJob, int aThreadIndex, void *aData,
                    std::unique_ptr<TJobData> Owned);

  DWORD FMainThreadId;
  std::unique_ptr<TMessageWindow> FWindow;
  std::shared_ptr<TThreadManShared> FShared;
  TThreadCountMode FThreadCountMode = tcmNumberOfProcessors;
  TNumberOfProcessorsMultiplicator FMultiplicator = 1;
  std::uint16_t FThreadCount = 0; // the manual count
  TThreadPriority FThreadsPriority = tpLower;
  TThreadProcessorAffinity FProcessorAffinity = tpaAllProcessors;
  std::uint16_t FMaxThreadJobCount = 3;
  TThreadManThreadList FThreadList{true};
  TThreadManThreadList FStartingThreads{false};
  std::uint16_t FNextThreadIndex = 0;
  TThreadManJobList FJobQueue;
  TThreadManJobList FReservedQueue;
  std::unordered_set<TThreadManJob *> FRegisteredJobs;
  bool FLoading = false;
  bool FShutDown = false;
};

// Starts a job made at run time on its own manager (the one its ThreadMan names) at its
// ThreadIndex and hands the job and its data over, as TThreadMan::StartJob with a unique_ptr job
// does. Without a manager it raises EThreadManNoThreadMan, freeing both. Main thread.
void StartJob(std::unique_ptr<TThreadManJob> Job, std::unique_ptr<TJobData> Data);
