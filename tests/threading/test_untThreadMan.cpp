#include "ThreadManTestUtil.h"

#include <map>
#include <thread>

using namespace thmtest;

namespace {
class TThreadManCounts : public ThreadManTest {};
class TThreadManJobs : public ThreadManTest {};

// A job that records where and in which state each of its events ran.
struct TRecorder {
  std::mutex Lock;
  std::vector<std::string> Events;
  std::atomic<int> WrongThread{0};

  void Add(const std::string &Name, bool ExpectMain, TThreadManJob *Job, TThreadManJobState Expected) {
    std::lock_guard<std::mutex> g(Lock);
    Events.push_back(Name);
    if (OnMainThread() != ExpectMain || Job->State() != Expected) ++WrongThread;
  }
  void Attach(TThreadManJob &Job) {
    Job.OnWaiting = [this](TThreadManThread *, TThreadManJob *J) { Add("waiting", true, J, tmjsWaiting); };
    Job.OnExternBeforeExecute = [this](TThreadManThread *T, TThreadManJob *J) {
      Add("externBefore", true, J, tmjsExternBeforeExecute);
      if (T == nullptr) ++WrongThread;
    };
    Job.OnInternBeforeExecute = [this](TThreadManThread *, TThreadManJob *J) {
      Add("internBefore", false, J, tmjsInternBeforeExecute);
    };
    Job.OnInternExecute = [this](TThreadManThread *, TThreadManJob *J) {
      Add("internExecute", false, J, tmjsInternExecute);
    };
    Job.OnInternAfterExecute = [this](TThreadManThread *, TThreadManJob *J) {
      Add("internAfter", false, J, tmjsInternAfterExecute);
    };
    Job.OnExternAfterExecute = [this](TThreadManThread *, TThreadManJob *J) {
      Add("externAfter", true, J, tmjsExternAfterExecute);
    };
    Job.OnDone = [this](TThreadManThread *, TThreadManJob *J, bool &) { Add("done", true, J, tmjsDone); };
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> g(Lock);
    return Events;
  }
};

bool WaitForState(TThreadManJob &Job, TThreadManJobState State) {
  return testutil::ProcessUntil([&] { return Job.State() == State; });
}
} // namespace

TEST_F(TThreadManCounts, ThreadCountFollowsModeAndMultiplicator) {
  FakeProcessors(4, 0xF);
  {
    TThreadMan man;
    EXPECT_EQ(man.NumberOfProcessors(), 4u);
    EXPECT_EQ(man.Threads().Count(), 4);
    EXPECT_EQ(man.ThreadCount(), 4);
    man.SetThreadCountMode(tcmMultipleNumberOfProcessors);
    man.SetNumberOfProcessorsMultiplicator(2);
    EXPECT_EQ(man.NumberOfProcessorsMultiplicator(), 2);
    EXPECT_EQ(man.Threads().Count(), 8);
    man.SetNumberOfProcessorsMultiplicator(-5); // clamped to 1
    EXPECT_EQ(man.Threads().Count(), 4);
    man.SetThreadCountMode(tcmManual);
    EXPECT_EQ(man.ThreadCount(), 0);
    EXPECT_EQ(man.Threads().Count(), 0);
    man.SetThreadCount(3);
    EXPECT_EQ(man.Threads().Count(), 3);
  }
  {
    TThreadMan man;
    man.SetNumberOfProcessorsMultiplicator(2); // not the multiple mode: stays 1
    EXPECT_EQ(man.NumberOfProcessorsMultiplicator(), 1);
    man.SetThreadCountMode(tcmMultipleNumberOfProcessors);
    EXPECT_EQ(man.Threads().Count(), 4);
  }
}

TEST_F(TThreadManCounts, AffinityRuleForEveryMode) {
  // Bits 0, 1 and 3 active, four threads: pinned to 0001, 0010, 1000 and round again to 0001.
  std::vector<DWORD_PTR> hard;
  for (int i = 0; i < 4; ++i)
    hard.push_back(ThreadProcessorAffinity(tpaHardToSingleProcessor, 0b1011, 3, i).Mask);
  EXPECT_EQ(hard, (std::vector<DWORD_PTR>{0b0001, 0b0010, 0b1000, 0b0001}));
  EXPECT_EQ(ThreadProcessorAffinity(tpaHardToSingleProcessor, 0x80000000u, 1, 7).Mask, 0x80000000u);

  EXPECT_EQ(ThreadProcessorAffinity(tpaAllProcessors, 0b1011, 3, 2), (TThreadAffinity{0b1011, MAXIMUM_PROCESSORS}));
  // Soft: preferred processor i mod count, only when that bit is active.
  EXPECT_EQ(ThreadProcessorAffinity(tpaSoftToSingleProcessor, 0b1011, 3, 1), (TThreadAffinity{0b1011, 1}));
  EXPECT_EQ(ThreadProcessorAffinity(tpaSoftToSingleProcessor, 0b1011, 3, 2), (TThreadAffinity{0b1011, MAXIMUM_PROCESSORS}));
  EXPECT_EQ(ThreadProcessorAffinity(tpaSoftToSingleProcessor, 0b1011, 3, 3), (TThreadAffinity{0b1011, 0}));
  // Nothing active (or no processors): nothing to apply, no endless search, no division by 0.
  EXPECT_EQ(ThreadProcessorAffinity(tpaHardToSingleProcessor, 0, 0, 3).Mask, 0u);
  EXPECT_EQ(ThreadProcessorAffinity(tpaSoftToSingleProcessor, 0b1, 0, 3).IdealProcessor, MAXIMUM_PROCESSORS);

  // The manager applies the rule to its threads in list order.
  FakeProcessors(3, 0b1011);
  TThreadMan man;
  man.SetThreadCountMode(tcmManual);
  man.SetThreadCount(4);
  Masks.clear();
  man.SetProcessorAffinity(tpaHardToSingleProcessor);
  ASSERT_EQ(Masks.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Masks[i].first, man.Threads().Items(i));
    EXPECT_EQ(Masks[i].second, hard[i]);
  }
  Ideals.clear();
  man.SetProcessorAffinity(tpaSoftToSingleProcessor);
  EXPECT_EQ(Ideals.size(), 3u); // threads 0, 1 and 3 (processor 2 is not active)
}

TEST_F(TThreadManCounts, ThreadLogAndTheWaitTimeOut) {
  FakeProcessors(2, 0b11);
  auto man = MakeManager(2);
  std::vector<std::pair<TThreadManThread *, bool>> log;
  man->BeginLoad();
  man->SetOnThreadLog([&](TThreadManThread *T, bool Starting) { log.emplace_back(T, Starting); });
  man->Loaded();
  ASSERT_EQ(log.size(), 2u); // the threads started before the handler existed
  EXPECT_TRUE(log[0].second && log[1].second);
  man->SetThreadCount(1);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_FALSE(log[2].second);
  man->SetLogState(false);
  man->SetThreadCount(2);
  EXPECT_EQ(log.size(), 3u);

  // A worker busy with a job cannot stop: the wait ends after the time-out, also when the tick
  // counter wraps during it, and reports the failure.
  TGate gate;
  TThreadManJob job;
  job.SetThreadMan(man.get());
  job.ThreadIndex = 1;
  job.OnInternExecute = [&](TThreadManThread *, TThreadManJob *) { gate.Wait(); };
  job.Start(nullptr);
  ASSERT_TRUE(WaitForState(job, tmjsInternExecute));
  man->ThreadCountChangeTimeOut = 300;
  int failed = 0;
  man->OnThreadCreateFailed = [&](TThreadMan *M, TThreadManThreadList *L) {
    EXPECT_EQ(M, man.get());
    EXPECT_EQ(L, &M->StartingThreads());
    ++failed;
  };
  SetTickCountOffsetForTests(0u - GetTickCount() - 100u);
  QElapsedTimer timer;
  timer.start();
  man->SetThreadCount(1);
  const qint64 waited = timer.elapsed();
  SetTickCountOffsetForTests(0);
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(man->Threads().Count(), 2);
  // A job bound to the stopping thread runs on the other one rather than never.
  TThreadManJob other;
  other.SetThreadMan(man.get());
  other.ThreadIndex = 1;
  TThreadManThread *ranOn = nullptr;
  other.OnInternExecute = [&](TThreadManThread *T, TThreadManJob *) { ranOn = T; };
  other.Start(nullptr);
  ASSERT_TRUE(WaitForState(other, tmjsReady));
  EXPECT_EQ(ranOn, man->Threads().Items(0));

  // Without a limit the wait lasts as long as the busy worker needs.
  man->ThreadCountChangeTimeOut = INFINITE;
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    gate.Open();
  });
  timer.restart();
  man->SetThreadCount(0);
  EXPECT_GE(timer.elapsed(), 290);
  opener.join();
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(man->Threads().Count(), 0);
  EXPECT_EQ(job.State(), tmjsReady); // finished on the main thread during the wait
  EXPECT_EQ(man->JobCount(), 0);
}

TEST_F(TThreadManJobs, FullEventSequenceAndStateLog) {
  auto man = MakeManager(2);
  TThreadManJob job;
  job.SetThreadMan(man.get());
  EXPECT_EQ(job.NotifyWnd(), man->Handle());
  TRecorder rec;
  rec.Attach(job);
  std::vector<TThreadManJobState> prev;
  man->OnJobLog = [&](TThreadManJob *J, TThreadManJobState P) {
    if (J == &job) prev.push_back(P);
  };
  int data = 7;
  void *seenData = nullptr;
  job.OnInternAfterExecute = [&](TThreadManThread *, TThreadManJob *J) {
    rec.Add("internAfter", false, J, tmjsInternAfterExecute);
    seenData = J->Data();
  };
  job.Start(&data);
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_EQ(rec.Get(), (std::vector<std::string>{"waiting", "externBefore", "internBefore", "internExecute",
                                                  "internAfter", "externAfter", "done"}));
  EXPECT_EQ(rec.WrongThread, 0);
  EXPECT_EQ(seenData, &data);
  EXPECT_EQ(job.Data(), nullptr); // reset after the done events
  EXPECT_EQ(prev, (std::vector<TThreadManJobState>{tmjsNone, tmjsReady, tmjsWaiting, tmjsQueue,
                                                   tmjsExternBeforeExecute, tmjsInternBeforeExecute,
                                                   tmjsInternExecute, tmjsInternAfterExecute,
                                                   tmjsExternAfterExecute, tmjsDone}));

  // With nothing to run it still passes the queue and the done state.
  prev.clear();
  TRecorder none;
  none.Attach(job);
  job.Executes = {};
  job.Start(nullptr);
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_TRUE(none.Get().empty());
  EXPECT_EQ(prev, (std::vector<TThreadManJobState>{tmjsReady, tmjsWaiting, tmjsQueue, tmjsDone}));

  // The load job's set: no thread waits for the main thread.
  TRecorder load;
  load.Attach(job);
  job.Executes = {tmjeWaiting, tmjeInternBeforeExecute, tmjeInternExecute, tmjeInternAfterExecute, tmjeDone};
  job.Start(nullptr);
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_EQ(load.Get(), (std::vector<std::string>{"waiting", "internBefore", "internExecute", "internAfter", "done"}));
  EXPECT_EQ(load.WrongThread, 0);

  // Destroying a job is reported as its last change.
  auto gone = std::make_unique<TThreadManJob>();
  gone->SetThreadMan(man.get());
  gone->Start(nullptr);
  ASSERT_TRUE(WaitForState(*gone, tmjsReady));
  prev.clear();
  TThreadManJob *goneJob = gone.get();
  man->OnJobLog = [&](TThreadManJob *J, TThreadManJobState P) {
    if (J != goneJob) return;
    prev.push_back(P);
    EXPECT_EQ(J->State(), tmjsFree);
  };
  gone.reset();
  EXPECT_EQ(prev, (std::vector<TThreadManJobState>{tmjsReady}));
  man->OnJobLog = nullptr;
}

TEST_F(TThreadManJobs, FailuresOnTheWorkerAreReportedAndTheJobStillCompletes) {
  auto man = MakeManager(1);
  TThreadManJob job;
  job.SetThreadMan(man.get());
  TRecorder rec;
  rec.Attach(job);
  job.OnInternBeforeExecute = [&](TThreadManThread *, TThreadManJob *J) {
    rec.Add("internBefore", false, J, tmjsInternBeforeExecute);
    throw EConvertError("'x' is not a valid number");
  };
  std::vector<std::string> reported;
  man->OnThreadException = [&](TThreadManThread *T, const std::string &C, const std::string &M) {
    EXPECT_EQ(T, man->Threads().Items(0));
    reported.push_back(C + "|" + M);
  };
  job.Start(nullptr);
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_EQ(rec.Get(), (std::vector<std::string>{"waiting", "externBefore", "internBefore", "internAfter",
                                                  "externAfter", "done"}));
  ASSERT_TRUE(testutil::ProcessUntil([&] { return reported.size() == 1; }));
  EXPECT_EQ(reported[0], "EConvertError|'x' is not a valid number");
  EXPECT_TRUE(Boxes.empty());

  // Without a handler: a stop box with class name, CR LF and message; the abort of a terminated
  // job's data is reported the same way. Terminate on a waiting job does not stop its events.
  man->OnThreadException = nullptr;
  TJobData data;
  data.Job = &job;
  bool executed = false;
  job.OnInternBeforeExecute = nullptr;
  job.OnInternExecute = [&](TThreadManThread *, TThreadManJob *J) {
    executed = true;
    static_cast<TJobData *>(J->Data())->CheckTerminated();
  };
  man->SetMaxThreadJobCount(0); // keeps it waiting
  job.Start(&data);
  job.Terminate();
  EXPECT_TRUE(job.Terminated());
  man->SetMaxThreadJobCount(3);
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_TRUE(executed);
  EXPECT_FALSE(job.Terminated()); // cleared by the reset
  ASSERT_TRUE(testutil::ProcessUntil([&] { return Boxes.size() == 1; }));
  EXPECT_EQ(Boxes[0], "EAbort\r\nOperation aborted");
  EXPECT_EQ(BoxFlags[0] & MB_ICONSTOP, MB_ICONSTOP);
}

TEST_F(TThreadManJobs, StartRulesAndTheirMessages) {
  TThreadManJob lonely;
  try {
    lonely.Start(nullptr);
    FAIL();
  } catch (const EThreadManNoThreadMan &e) {
    EXPECT_EQ(e.Message, "Es wurde kein Thread-Manager zugewiesen!");
  }

  auto man = MakeManager(1);
  TThreadManJob job;
  job.SetThreadMan(man.get());
  bool startInDoneRaised = false;
  job.OnDone = [&](TThreadManThread *, TThreadManJob *J, bool &) {
    try {
      J->Start(nullptr);
    } catch (const EThreadManJobRunning &) {
      startInDoneRaised = true;
    }
  };
  job.Start(nullptr);
  try {
    job.Start(nullptr);
    FAIL();
  } catch (const EThreadManJobRunning &e) {
    EXPECT_EQ(e.Message, "Der Thread-Job ist bereits gestartet!");
  }
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_TRUE(startInDoneRaised);
  job.OnDone = nullptr;
  job.Start(nullptr); // after the reset it starts again
  ASSERT_TRUE(WaitForState(job, tmjsReady));

  // A failing waiting event reports the start as failed, so the job must not run either.
  bool ran = false;
  job.OnInternExecute = [&](TThreadManThread *, TThreadManJob *) { ran = true; };
  job.OnWaiting = [](TThreadManThread *, TThreadManJob *) { throw EInvalidOperation("no"); };
  EXPECT_THROW(job.Start(nullptr), EInvalidOperation);
  EXPECT_EQ(job.State(), tmjsReady);
  EXPECT_EQ(man->JobCount(), 0);
  EXPECT_EQ(man->QueuedJobCount(), 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
  job.OnWaiting = nullptr;

  man->SetThreadCount(0);
  try {
    job.Start(nullptr);
    FAIL();
  } catch (const EThreadManNoThread &e) {
    EXPECT_EQ(e.Message, "Im Thread-Manager existiert kein Thread!");
  }
}

TEST_F(TThreadManJobs, StartFromAnotherThreadIsForwarded) {
  auto man = MakeManager(2);
  TThreadManJob job;
  job.SetThreadMan(man.get());
  std::atomic<bool> waitingOnMain{false};
  job.OnWaiting = [&](TThreadManThread *T, TThreadManJob *) {
    waitingOnMain = OnMainThread();
    EXPECT_EQ(T, man->Threads().Items(1));
  };
  std::atomic<bool> returned{false};
  int data = 1;
  std::thread starter([&] {
    job.ThreadIndex = 1;
    job.Start(&data);
    returned = true;
  });
  ASSERT_TRUE(testutil::ProcessUntil([&] { return returned.load(); }));
  starter.join();
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_TRUE(waitingOnMain);
}

// Data handed over belongs to the job: it is freed once whether a done handler takes it, nobody
// does (the reset frees it) or the start fails. A job handed over is freed after its done step
// even when a handler would keep it, and at once when its start fails.
TEST_F(TThreadManJobs, DataAndJobsHandedOverAreFreedExactlyOnce) {
  auto man = MakeManager(1);
  int dataFreed = 0, jobsFreed = 0;
  struct TCountedData : TJobData {
    explicit TCountedData(int &F) : Freed(F) {}
    ~TCountedData() override { ++Freed; }
    int &Freed;
  };
  struct TCountedJob : TThreadManJob {
    explicit TCountedJob(int &F) : Freed(F) {}
    ~TCountedJob() override { ++Freed; }
    int &Freed;
  };
  auto refuse = [](TThreadManThread *, TThreadManJob *) { throw EConvertError("no room"); };

  TThreadManJob job;
  job.SetThreadMan(man.get());
  job.Start(std::make_unique<TCountedData>(dataFreed));
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_EQ(dataFreed, 1);
  EXPECT_EQ(job.Data(), nullptr);

  int freedInHandler = -1;
  job.OnDone = [&](TThreadManThread *, TThreadManJob *J, bool &) {
    std::unique_ptr<TJobData> d = J->TakeData();
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(J->Data(), nullptr);
    d.reset();
    freedInHandler = dataFreed;
  };
  job.Start(std::make_unique<TCountedData>(dataFreed));
  ASSERT_TRUE(WaitForState(job, tmjsReady));
  EXPECT_EQ(freedInHandler, 2);
  EXPECT_EQ(dataFreed, 2);

  job.OnDone = nullptr;
  job.OnWaiting = refuse;
  EXPECT_THROW(job.Start(std::make_unique<TCountedData>(dataFreed)), EConvertError);
  EXPECT_EQ(dataFreed, 3);
  EXPECT_EQ(job.State(), tmjsReady);

  auto kept = std::make_unique<TCountedJob>(jobsFreed);
  kept->OnDone = [](TThreadManThread *, TThreadManJob *, bool &FreeIt) { FreeIt = false; };
  man->StartJob(std::move(kept), -1, std::make_unique<TCountedData>(dataFreed));
  ASSERT_TRUE(testutil::ProcessUntil([&] { return jobsFreed == 1; }));
  EXPECT_EQ(dataFreed, 4);

  auto failing = std::make_unique<TCountedJob>(jobsFreed);
  failing->OnWaiting = refuse;
  EXPECT_THROW(man->StartJob(std::move(failing), -1, std::make_unique<TCountedData>(dataFreed)),
               EConvertError);
  EXPECT_EQ(jobsFreed, 2);
  EXPECT_EQ(dataFreed, 5);
  EXPECT_EQ(man->JobCount(), 0);
  EXPECT_TRUE(Boxes.empty());
}

// A forwarded start that fails on the main thread fails for the caller with the same error, and
// the data handed over is freed exactly once; the main thread shows nothing of it.
TEST_F(TThreadManJobs, AForwardedStartThatFailsRaisesForTheCaller) {
  auto man = MakeManager(1);
  TThreadManJob job;
  job.SetThreadMan(man.get());
  job.OnWaiting = [](TThreadManThread *, TThreadManJob *) { throw EConvertError("no room"); };
  static std::atomic<int> freed{0};
  struct TCounted : TJobData {
    ~TCounted() override { ++freed; }
  };
  std::atomic<bool> returned{false};
  std::string raised;
  std::thread starter([&] {
    auto data = std::make_unique<TCounted>();
    try {
      job.Start(std::move(data));
      raised = "none";
    } catch (const EConvertError &e) {
      raised = e.Message;
    }
    returned = true;
  });
  ASSERT_TRUE(testutil::ProcessUntil([&] { return returned.load(); }));
  starter.join();
  EXPECT_EQ(raised, "no room");
  EXPECT_EQ(freed.load(), 1);
  EXPECT_EQ(job.Data(), nullptr);
  EXPECT_EQ(job.State(), tmjsReady);
  EXPECT_EQ(man->JobCount(), 0);
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(TThreadManJobs, DispatchHonoursLimitsAndBindings) {
  auto man = MakeManager(2);
  man->SetMaxThreadJobCount(1);
  TThreadManThread *t0 = man->Threads().Items(0);
  TThreadManThread *t1 = man->Threads().Items(1);
  TGate gate;
  std::mutex lock;
  std::map<std::string, TThreadManThread *> ranOn;
  auto makeJob = [&](const std::string &Name, int Index, bool Block) {
    auto job = std::make_unique<TThreadManJob>();
    job->Caption = Name;
    job->SetThreadMan(man.get());
    job->ThreadIndex = Index;
    job->OnInternExecute = [&, Name, Block](TThreadManThread *T, TThreadManJob *) {
      {
        std::lock_guard<std::mutex> g(lock);
        ranOn[Name] = T;
      }
      if (Block) gate.Wait();
    };
    return job;
  };
  auto a = makeJob("a", 1, true);
  auto b = makeJob("b", 1, false);
  auto c = makeJob("c", -1, false);
  auto d = makeJob("d", 5, false);
  a->Start(nullptr);
  ASSERT_TRUE(WaitForState(*a, tmjsInternExecute));
  b->Start(nullptr);
  EXPECT_EQ(b->State(), tmjsWaiting); // thread 1 is at its limit; thread 0 idles
  EXPECT_EQ(man->ReservedJobCount(), 1);
  c->Start(nullptr);
  d->Start(nullptr);
  ASSERT_TRUE(WaitForState(*c, tmjsReady));
  ASSERT_TRUE(WaitForState(*d, tmjsReady));
  EXPECT_EQ(b->State(), tmjsWaiting);
  gate.Open();
  ASSERT_TRUE(WaitForState(*b, tmjsReady));
  ASSERT_TRUE(WaitForState(*a, tmjsReady));
  EXPECT_EQ(ranOn["a"], t1);
  EXPECT_EQ(ranOn["b"], t1);
  EXPECT_EQ(ranOn["c"], t0);
  EXPECT_EQ(ranOn["d"], t0); // bound to a thread that does not exist: runs anywhere

  // No job is handed out at a limit of 0; raising it hands them out at once.
  man->SetMaxThreadJobCount(0);
  c->Start(nullptr);
  d->Start(nullptr);
  QCoreApplication::processEvents();
  EXPECT_EQ(c->State(), tmjsWaiting);
  EXPECT_EQ(man->QueuedJobCount(), 2);
  man->SetMaxThreadJobCount(2);
  EXPECT_EQ(man->QueuedJobCount(), 0);
  EXPECT_NE(c->State(), tmjsWaiting);
  ASSERT_TRUE(WaitForState(*c, tmjsReady));
  ASSERT_TRUE(WaitForState(*d, tmjsReady));
  EXPECT_EQ(man->JobCount(), 0);
  EXPECT_EQ(t0->JobCount + t1->JobCount, 0);
}

TEST_F(TThreadManJobs, FreeOnDoneGroupsAndAssign) {
  auto man = MakeManager(2);
  TThreadManJobGroup group;
  group.SetSynchronize(true);
  int manEnter = 0, manLeave = 0, groupEnter = 0, groupLeave = 0, doneCount = 0;
  man->OnJobGroupEnter = [&](TObject *) { ++manEnter; };
  man->OnJobGroupLeave = [&](TObject *) {
    ++manLeave;
    EXPECT_EQ(doneCount, 3); // only after the last done event
  };
  group.OnJobGroupEnter = [&](TObject *) { ++groupEnter; };
  group.OnJobGroupLeave = [&](TObject *) { ++groupLeave; };

  TThreadManJob tmpl;
  tmpl.Caption = "template";
  tmpl.SetThreadMan(man.get());
  tmpl.SetJobGroup(&group);
  tmpl.ThreadIndex = 1;
  tmpl.Loaded(); // placed in a form: never freed
  tmpl.FreeOnDone = true;
  std::atomic<int> alive{0};
  struct TCountedJob : TThreadManJob {
    explicit TCountedJob(std::atomic<int> &A) : Alive(A) { ++Alive; }
    ~TCountedJob() override { --Alive; }
    std::atomic<int> &Alive;
  };
  tmpl.OnDone = [&](TThreadManThread *, TThreadManJob *, bool &FreeIt) {
    ++doneCount;
    FreeIt = true;
  };
  bool jobDoneSawFree = true;
  man->OnJobDone = [&](TThreadManThread *, TThreadManJob *J, bool &FreeIt) {
    if (J == &tmpl) jobDoneSawFree = FreeIt;
  };
  auto *copy1 = new TCountedJob(alive);
  auto *copy2 = new TCountedJob(alive);
  copy1->Assign(&tmpl);
  copy2->Assign(&tmpl);
  EXPECT_EQ(copy1->Caption, "template");
  EXPECT_EQ(copy1->ThreadIndex, 1);
  EXPECT_EQ(copy1->JobGroup(), &group);
  EXPECT_TRUE(man->IsRegistered(copy1));
  EXPECT_FALSE(copy1->LoadedFromForm);
  EXPECT_FALSE(copy1->FreeOnDone); // the template's free decision is False
  TComponent notAJob;
  EXPECT_THROW(copy1->Assign(&notAJob), EConvertError);

  copy1->Start(nullptr);
  copy2->Start(nullptr);
  tmpl.Start(nullptr);
  EXPECT_EQ(manEnter, 1);
  EXPECT_EQ(groupEnter, 1);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return manLeave == 1; }));
  EXPECT_EQ(alive, 0);           // the run-time copies were freed after their done events
  EXPECT_EQ(tmpl.State(), tmjsReady);
  EXPECT_FALSE(jobDoneSawFree);  // a template's free decision stays False
  EXPECT_EQ(groupLeave, 1);
  EXPECT_EQ(manEnter, 1);
  EXPECT_EQ(group.JobCount(), 0);
  EXPECT_EQ(man->JobCount(), 0);
  EXPECT_FALSE(man->IsRegistered(copy1));
}

TEST_F(TThreadManJobs, DestroyingWaitingAndQueuedJobsLeavesNoTrace) {
  auto man = MakeManager(1);
  TGate gate;
  TThreadManJob blocker;
  blocker.SetThreadMan(man.get());
  blocker.OnInternExecute = [&](TThreadManThread *, TThreadManJob *) { gate.Wait(); };
  blocker.Start(nullptr);
  ASSERT_TRUE(WaitForState(blocker, tmjsInternExecute));

  auto queued = std::make_unique<TThreadManJob>();
  queued->SetThreadMan(man.get());
  bool ran = false;
  queued->OnInternExecute = [&](TThreadManThread *, TThreadManJob *) { ran = true; };
  queued->Start(nullptr);
  EXPECT_EQ(queued->State(), tmjsQueue); // in the worker's own list
  man->SetMaxThreadJobCount(0);
  auto waiting = std::make_unique<TThreadManJob>();
  waiting->SetThreadMan(man.get());
  waiting->Start(nullptr);
  EXPECT_EQ(man->QueuedJobCount(), 1);
  EXPECT_EQ(man->JobCount(), 3);
  std::vector<TThreadManJobState> freed;
  man->OnJobLog = [&](TThreadManJob *, TThreadManJobState) {};
  waiting.reset();
  queued.reset();
  EXPECT_EQ(man->QueuedJobCount(), 0);
  EXPECT_EQ(man->JobCount(), 1);
  EXPECT_EQ(man->Threads().Items(0)->JobCount, 1);
  gate.Open();
  ASSERT_TRUE(WaitForState(blocker, tmjsReady));
  EXPECT_FALSE(ran);
  EXPECT_EQ(man->JobCount(), 0);
}

TEST_F(TThreadManJobs, DestroyingTheManagerDetachesJobsAndGivesUpAStuckWorker) {
  auto man = MakeManager(2);
  man->ThreadCountChangeTimeOut = 200;
  TGate gate;
  TThreadManJob stuck;
  stuck.LogState = false;
  stuck.SetThreadMan(man.get());
  stuck.OnInternExecute = [&](TThreadManThread *, TThreadManJob *) { gate.Wait(); };
  stuck.Start(nullptr);
  ASSERT_TRUE(WaitForState(stuck, tmjsInternExecute));
  TThreadManJob waiting;
  waiting.SetThreadMan(man.get());
  man->SetMaxThreadJobCount(0);
  waiting.Start(nullptr);
  // A job handed over to the manager has no other owner: a manager that goes first frees it.
  struct TCountedJob : TThreadManJob {
    explicit TCountedJob(int &F) : Freed(F) {}
    ~TCountedJob() override { ++Freed; }
    int &Freed;
  };
  int handedFreed = 0;
  man->StartJob(std::make_unique<TCountedJob>(handedFreed), -1);

  QElapsedTimer timer;
  timer.start();
  man.reset(); // must neither hang nor crash
  EXPECT_LT(timer.elapsed(), 5000);
  EXPECT_EQ(handedFreed, 1);
  EXPECT_EQ(waiting.ThreadMan(), nullptr);
  EXPECT_EQ(waiting.State(), tmjsReady); // never runs, but can be started elsewhere
  EXPECT_EQ(stuck.ThreadMan(), nullptr);

  gate.Open(); // the given-up worker finishes its job and frees itself
  ASSERT_TRUE(testutil::ProcessUntil([&] { return stuck.State() == tmjsDone; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}
