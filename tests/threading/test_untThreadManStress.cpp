#include "ThreadManTestUtil.h"

#include <chrono>
#include <random>

using namespace thmtest;

namespace {
class TThreadManStress : public ThreadManTest {};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kJobs = 1000;
#else
constexpr int kJobs = 5000;
#endif

enum TKind { kNormal, kRaise, kTerminate };

struct TStressData : TJobData {
  int Id = 0;
  TKind Kind = kNormal;
  int Micros = 0;
  std::atomic<int> *Executed = nullptr;
  void Execute() override {
    Executed[Id].fetch_add(1);
    if (Kind == kRaise) throw EConvertError(Format("job %d failed", Id));
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(Micros);
    while (std::chrono::steady_clock::now() < until) CheckTerminated();
    CheckTerminated();
  }
};

struct TCountedJob : TThreadManJob {
  explicit TCountedJob(std::atomic<int> &A) : Alive(A) { ++Alive; }
  ~TCountedJob() override { --Alive; }
  std::atomic<int> &Alive;
};
} // namespace

TEST_F(TThreadManStress, EveryJobFinishesOnceOnTheMainThread) {
  for (std::uint16_t workers : {std::uint16_t{2}, std::uint16_t{8}}) {
    SCOPED_TRACE(workers);
    auto man = MakeManager(workers);
    man->SetMaxThreadJobCount(workers == 2 ? 3 : 20);
    man->SetThreadsPriority(tpNormal); // the run time should not depend on what else the machine does
    std::vector<int> done(kJobs, 0);
    std::unique_ptr<std::atomic<int>[]> executed(new std::atomic<int>[kJobs]);
    for (int i = 0; i < kJobs; ++i) executed[i] = 0;
    std::atomic<int> alive{0};
    int wrongThread = 0, raised = 0, aborted = 0, otherReports = 0, expectedRaised = 0, terminated = 0;
    int groupEnter = 0, groupLeave = 0;
    man->OnJobGroupEnter = [&](TObject *) { ++groupEnter; };
    man->OnJobGroupLeave = [&](TObject *) { ++groupLeave; };
    man->OnThreadException = [&](TThreadManThread *, const std::string &C, const std::string &) {
      if (!OnMainThread()) ++wrongThread;
      if (C == "EConvertError")
        ++raised;
      else if (C == "EAbort")
        ++aborted;
      else
        ++otherReports;
    };

    std::mt19937 rnd(1234 + workers);
    for (int i = 0; i < kJobs; ++i) {
      auto owned = std::make_unique<TStressData>();
      TStressData *data = owned.get();
      data->Id = i;
      data->Executed = executed.get();
      data->Micros = static_cast<int>(rnd() % 200);
      const unsigned r = rnd() % 100;
      data->Kind = r < 5 ? kRaise : (r < 10 ? kTerminate : kNormal);
      if (data->Kind == kRaise) ++expectedRaised;
      if (data->Kind == kTerminate) data->Micros = 2000;

      auto *job = new TCountedJob(alive);
      job->SetThreadMan(man.get());
      data->Job = job;
      if (rnd() % 10 == 0) job->ThreadIndex = static_cast<int>(rnd() % (workers + 2));
      job->LogState = rnd() % 2 == 0;
      job->OnInternExecute = [](TThreadManThread *, TThreadManJob *J) {
        static_cast<TStressData *>(J->Data())->Run();
      };
      job->OnDone = [&](TThreadManThread *, TThreadManJob *J, bool &FreeIt) {
        std::unique_ptr<TJobData> d = J->TakeData();
        if (!OnMainThread()) ++wrongThread;
        ++done[static_cast<TStressData *>(d.get())->Id];
        FreeIt = true;
      };
      const bool terminate = data->Kind == kTerminate;
      job->Start(std::move(owned)); // the data is the job's now; the done handler takes it back
      if (terminate) {
        job->Terminate();
        ++terminated;
      }
      if (i % 64 == 0) QCoreApplication::processEvents();
    }
    ASSERT_TRUE(testutil::ProcessUntil([&] { return alive == 0; }, 120000));

    int doneWrong = 0, executedWrong = 0;
    for (int i = 0; i < kJobs; ++i) {
      doneWrong += done[i] != 1;
      executedWrong += executed[i] != 1;
    }
    EXPECT_EQ(doneWrong, 0);
    EXPECT_EQ(executedWrong, 0);
    EXPECT_EQ(wrongThread, 0);
    ASSERT_TRUE(testutil::ProcessUntil([&] { return raised + aborted + otherReports >= expectedRaised; }));
    EXPECT_EQ(raised, expectedRaised);
    EXPECT_LE(aborted, terminated);
    EXPECT_EQ(otherReports, 0);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(man->JobCount(), 0);
    EXPECT_GE(groupEnter, 1);
    EXPECT_EQ(groupEnter, groupLeave);
    EXPECT_EQ(man->QueuedJobCount(), 0);
    EXPECT_EQ(man->ReservedJobCount(), 0);
    for (int t = 0; t < man->Threads().Count(); ++t) EXPECT_EQ(man->Threads().Items(t)->JobCount, 0);
  }
}
