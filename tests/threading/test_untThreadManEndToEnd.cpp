// The engine's work runs in the background: a job's data does heavy work on a worker, posts its
// progress texts to a main-thread window and hands its results to the done event.
#include "ThreadManTestUtil.h"

#include <numeric>

#include "engine/untKalvPicJobDataJobs.h"

using namespace thmtest;

namespace {
class TThreadManEndToEnd : public ThreadManTest {};

constexpr UINT WM_FILENAME = WM_APP + 1;
constexpr UINT WM_PHASE = WM_APP + 2;

// Stands in for a picture job: "decodes" a buffer and measures it, phase by phase.
struct TMeasureData : TJobData {
  HWND Wnd = 0;
  std::string FileName;
  std::vector<std::uint8_t> Pixels;
  double Mean = 0;
  DWORD WorkerId = 0;

  void Post(UINT Msg, const std::string &Text) {
    auto *info = new TJobInfoText(Text);
    if (!PostMessage(Wnd, Msg, 0, reinterpret_cast<LPARAM>(info))) delete info;
  }
  void Execute() override {
    WorkerId = GetCurrentThreadId();
    Post(WM_FILENAME, FileName);
    Post(WM_PHASE, "Load file");
    CheckTerminated();
    Pixels.resize(1 << 20);
    std::iota(Pixels.begin(), Pixels.end(), 0);
    Post(WM_PHASE, "Measure");
    CheckTerminated();
    const double sum = std::accumulate(Pixels.begin(), Pixels.end(), 0.0);
    Mean = sum / static_cast<double>(Pixels.size());
    Post(WM_PHASE, "");
  }
};
} // namespace

TEST_F(TThreadManEndToEnd, ProgressArrivesAtTheWindowAndResultsInTheDoneEvent) {
  auto man = MakeManager(2);
  std::vector<std::pair<UINT, std::string>> progress;
  TMessageWindow mainWindow([&](TMessage &M) {
    if (M.Msg != WM_FILENAME && M.Msg != WM_PHASE) return;
    std::unique_ptr<TJobInfoText> info(reinterpret_cast<TJobInfoText *>(M.LParam));
    EXPECT_TRUE(OnMainThread());
    progress.emplace_back(M.Msg, info->Text());
  });

  TThreadManJob loadJob;
  loadJob.SetThreadMan(man.get());
  loadJob.Executes = {tmjeWaiting, tmjeInternBeforeExecute, tmjeInternExecute, tmjeInternAfterExecute, tmjeDone};
  loadJob.Loaded();
  loadJob.OnInternExecute = [](TThreadManThread *, TThreadManJob *J) { static_cast<TJobData *>(J->Data)->Run(); };
  double result = -1;
  bool doneOnMain = false;
  std::size_t progressAtDone = 0;
  loadJob.OnDone = [&](TThreadManThread *, TThreadManJob *J, bool &) {
    std::unique_ptr<TMeasureData> data(static_cast<TMeasureData *>(J->Data));
    doneOnMain = OnMainThread();
    result = data->Mean;
    progressAtDone = progress.size();
    EXPECT_NE(data->WorkerId, GetCurrentThreadId());
  };

  auto *data = new TMeasureData;
  data->Job = &loadJob;
  data->Wnd = mainWindow.Handle();
  data->FileName = "/pictures/sample.jpg";
  loadJob.Start(data);
  ASSERT_TRUE(testutil::ProcessUntil([&] { return loadJob.State() == tmjsReady; }));
  EXPECT_TRUE(doneOnMain);
  EXPECT_DOUBLE_EQ(result, 127.5);
  // Posted before the job was reported done, so they arrived first.
  EXPECT_EQ(progressAtDone, 4u);
  EXPECT_EQ(progress, (std::vector<std::pair<UINT, std::string>>{
                          {WM_FILENAME, "/pictures/sample.jpg"}, {WM_PHASE, "Load file"},
                          {WM_PHASE, "Measure"}, {WM_PHASE, ""}}));
  EXPECT_EQ(man->JobCount(), 0);
}

// The same road with the engine's own picture job: a picture in memory is split and measured on a
// worker (and its part threads) while the main thread stays free.
TEST_F(TThreadManEndToEnd, PictureJobRunsInTheBackground) {
  auto man = MakeManager(2);
  std::vector<std::pair<UINT, std::string>> progress;
  TMessageWindow mainWindow([&](TMessage &M) {
    if (M.Msg != WM_PICJOB_FILENAME && M.Msg != WM_PICJOB_PHASE) return;
    std::unique_ptr<TJobInfoText> info(reinterpret_cast<TJobInfoText *>(M.LParam));
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
  loadJob.OnInternExecute = [](TThreadManThread *, TThreadManJob *J) { static_cast<TJobData *>(J->Data)->Run(); };
  float sMeanR = -1, nMeanR = -1, sMeanG = -1, nMeanG = -1;
  bool doneOnMain = false, havePicture = false;
  std::size_t progressAtDone = 0;
  loadJob.OnDone = [&](TThreadManThread *, TThreadManJob *J, bool &) {
    std::unique_ptr<TMemPicJobData> data(static_cast<TMemPicJobData *>(J->Data));
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

  auto *data = new TMemPicJobData(std::move(picture), mainWindow.Handle());
  data->Job = &loadJob;
  data->PartCount = 3;
  loadJob.Start(data);
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
