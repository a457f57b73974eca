// The engine's work runs in the background: a job's data does heavy work on a worker, posts its
// progress texts to a main-thread window and hands its results to the done event.
#include "ThreadManTestUtil.h"

#include "engine/untKalvPicJobDataJobs.h"

using namespace thmtest;

namespace {
class TThreadManEndToEnd : public ThreadManTest {};
} // namespace

// A picture in memory is split and measured on a worker (and its part threads) while the main
// thread stays free.
TEST_F(TThreadManEndToEnd, PictureJobRunsInTheBackground) {
  auto man = MakeManager(2);
  std::vector<std::pair<UINT, std::string>> progress;
  TMessageWindow mainWindow([&](TMessage &M) {
    if (M.Msg != WM_PICJOB_FILENAME && M.Msg != WM_PICJOB_PHASE) return;
    std::unique_ptr<TJobInfoText> info = TakePayload<TJobInfoText>(M);
    progress.emplace_back(M.Msg, info->Text());
  });

  auto picture = std::make_unique<TBitmap24>();
  picture->SetSize(64, 32);
  for (int y = 0; y < 32; ++y) {
    std::uint8_t *row = picture->ScanLine(y);
    for (int x = 0; x < 64; ++x) {
      row[3 * x + 0] = 10;                      // blue
      row[3 * x + 1] = 20;                      // green
      row[3 * x + 2] = (x % 2 == 0) ? 28 : 32;  // red: mean 30, neighbours differ by 4
    }
  }

  TThreadManJob loadJob;
  loadJob.SetThreadMan(man.get());
  loadJob.Executes = {tmjeWaiting, tmjeInternBeforeExecute, tmjeInternExecute, tmjeInternAfterExecute, tmjeDone};
  loadJob.Loaded();
  loadJob.OnInternExecute = [](TThreadManThread *, TThreadManJob *J) { static_cast<TJobData *>(J->Data())->Run(); };
  float sMeanR = -1, nMeanR = -1, sMeanG = -1, nMeanG = -1;
  bool doneOnMain = false, havePicture = false;
  std::size_t progressAtDone = 0;
  loadJob.OnDone = [&](TThreadManThread *, TThreadManJob *J, bool &) {
    std::unique_ptr<TJobData> owned = J->TakeData();
    auto *data = static_cast<TMemPicJobData *>(owned.get());
    doneOnMain = OnMainThread();
    progressAtDone = progress.size();
    havePicture = data->PicR != nullptr && data->PicR->Width() == 64;
    data->Ns(ncR)->GetSMean(sMeanR);
    data->Ns(ncR)->GetNMean(nMeanR);
    data->Ns(ncG)->GetSMean(sMeanG);
    data->Ns(ncG)->GetNMean(nMeanG);
  };
  std::vector<std::string> reported;
  man->OnThreadException = [&](TThreadManThread *, const std::string &C, const std::string &M) {
    reported.push_back(C + ": " + M);
  };

  auto data = std::make_unique<TMemPicJobData>(std::move(picture), mainWindow.Handle());
  data->Job = &loadJob;
  data->PartCount = 3;
  loadJob.Start(std::move(data));
  ASSERT_TRUE(testutil::ProcessUntil([&] { return loadJob.State() == tmjsReady; }, 60000));
  EXPECT_TRUE(reported.empty()) << reported.front();
  EXPECT_TRUE(doneOnMain);
  EXPECT_TRUE(havePicture);
  EXPECT_FLOAT_EQ(sMeanR, 30.0f);
  EXPECT_GT(nMeanR, 0.0f); // only horizontal neighbours differ, by 4
  EXPECT_LE(nMeanR, 4.0f);
  EXPECT_FLOAT_EQ(nMeanG, 0.0f);
  EXPECT_FLOAT_EQ(sMeanG, 20.0f);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progressAtDone, progress.size()); // every text arrived before the done event
  bool sawLoad = false;
  for (const auto &p : progress) sawLoad |= p.first == WM_PICJOB_PHASE && p.second == "Load file";
  EXPECT_TRUE(sawLoad);
  EXPECT_EQ(progress.back(), (std::pair<UINT, std::string>{WM_PICJOB_PHASE, ""}));
  EXPECT_EQ(man->JobCount(), 0);
}
