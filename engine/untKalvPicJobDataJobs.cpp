#include "engine/untKalvPicJobDataJobs.h"

#include <cstring>

#include "engine/untJpeg.h"

const char *const PicJobTextLoadFile = "Load file";
const char *const PicJobTextAnalyzeData = "Analyze Data";
const char *const PicJobTextCalculateNoise = "Calculate Noise";

namespace {
// The all-done event is waited on in slices so that a stop request is seen within this time.
constexpr DWORD PartWaitSliceMs = 200;
} // namespace

TPicJobData::TPicJobData(const std::string &AFileName, HWND AWnd)
    : ThreadList(std::make_unique<TPicThreadList>()), Wnd(AWnd), FileName(AFileName),
      PicRGB(std::make_unique<TBitmap24>()), PicR(std::make_unique<TBitmap08Pal>()),
      PicG(std::make_unique<TBitmap08Pal>()), PicB(std::make_unique<TBitmap08Pal>()),
      PicL(std::make_unique<TBitmap08Pal>()), PicLa(std::make_unique<TBitmap24>()),
      PicLb(std::make_unique<TBitmap24>()) {
  for (TBitmap08Pal *p : {PicR.get(), PicG.get(), PicB.get(), PicL.get()}) p->SetChannelPalette(7);
  NsR = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncR));
  NsG = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncG));
  NsB = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncB));
  NsL = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncL));
  NsRG = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncRG));
  NsGB = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncGB));
  NsBR = std::make_unique<TChannelNoiseSync>(NoiseChannelColor(ncBR));
}

TPicJobData::~TPicJobData() {
  // Execute never returns with parts running; this only guards against a data object freed from
  // another thread while its Execute still drains, which would free the accumulators under them.
  if (ThreadList) ThreadList->Event.WaitFor(INFINITE);
}

TChannelNoiseSync *TPicJobData::Ns(TNoiseChannel Channel) const {
  switch (Channel) {
  case ncR: return NsR.get();
  case ncG: return NsG.get();
  case ncB: return NsB.get();
  case ncL: return NsL.get();
  case ncRG: return NsRG.get();
  case ncGB: return NsGB.get();
  case ncBR: return NsBR.get();
  }
  return nullptr;
}

TBitmap *TPicJobData::Pic(TPicKind Kind) const {
  switch (Kind) {
  case pkRGB: return PicRGB.get();
  case pkR: return PicR.get();
  case pkG: return PicG.get();
  case pkB: return PicB.get();
  case pkL: return PicL.get();
  case pkLa: return PicLa.get();
  case pkLb: return PicLb.get();
  }
  return nullptr;
}

TPicNoiseTargets TPicJobData::Targets() const {
  return {NsR.get(), NsG.get(), NsB.get(), NsL.get(), NsRG.get(), NsGB.get(), NsBR.get()};
}

void TPicJobData::PostText(UINT Msg, const std::string &Text) {
  // -1 as a 32-bit handle ($FFFFFFFF) means "no window" however it was widened.
  if (static_cast<std::uint32_t>(Wnd) == 0xFFFFFFFFu) return;
  auto info = std::make_unique<TJobInfoText>(Text);
  PostMessage(Wnd, Msg, 0, info); // the message's from now on; a failed post leaves it here
}

void TPicJobData::LoadPicture() {
  TFileStream stream(FileName, fmOpenRead);
  LoadFromStream(stream);
}

void TPicJobData::WaitForParts(bool Check) {
  while (ThreadList->Event.WaitFor(PartWaitSliceMs) != wrSignaled)
    if (Check) CheckTerminated();
  // A part that failed left its rows out of the sums: the job fails with the first such error.
  if (Check)
    if (std::exception_ptr failure = ThreadList->TakeFailure()) std::rethrow_exception(failure);
}

void TPicJobData::Execute() {
  try {
    ExecuteSteps();
  } catch (...) {
    // Parts still running write into our pictures and accumulators: let them finish first. They
    // do not look at the terminate request, so this lasts until each has done its rows.
    ThreadList->TerminateAll();
    WaitForParts(false);
    // The window shows the phase until it hears otherwise: a job that ended early clears it too.
    PostText(WM_PICJOB_PHASE, "");
    try {
      throw;
    } catch (const EAbort &) {
      return; // a stop request ends the job quietly with what was done so far
    } catch (...) {
      FFailed = true;
      throw;
    }
  }
}

void TPicJobData::ExecuteSteps() {
  CheckTerminated();
  PostText(WM_PICJOB_PHASE, PicJobTextLoadFile);
  if (!FileName.empty()) PostText(WM_PICJOB_FILENAME, FileName);

  CheckTerminated();
  LoadPicture();
  CheckTerminated();

  PostText(WM_PICJOB_PHASE, PicJobTextAnalyzeData);
  TBitmap24 &rgb = *PicRGB;
  const int w = rgb.Width(), h = rgb.Height();
  const int n = PartCount > 0 ? PartCount : PicPartCount();
  const std::vector<TPartRows> bands = SplitRows(h, n);
  for (TBitmap08Pal *p : {PicR.get(), PicG.get(), PicB.get(), PicL.get()}) p->SetSize(w, h);
  PicLa->SetSize(w, h);
  PicLb->SetSize(w, h);

  const TPicNoiseTargets targets = Targets();
  // Extraction: every part fills its band of the six derived pictures and sums the signals.
  for (const TPartRows &band : bands) {
    CheckTerminated();
    auto part = std::make_unique<TPicPartThreadData>(*ThreadList, targets, w);
    for (int y = band.First; y < band.First + band.Count; ++y)
      part->AddRows(rgb.ScanLine(y), PicR->ScanLine(y), PicG->ScanLine(y), PicB->ScanLine(y),
                    PicL->ScanLine(y), PicLa->ScanLine(y), PicLb->ScanLine(y));
    StartFreeOnTerminate(std::move(part)); // a part that did not start is freed (leaving the list)
  }
  WaitForParts(true);
  CheckTerminated();

  PostText(WM_PICJOB_PHASE, PicJobTextCalculateNoise);
  // Differences: every part compares its rows with their upper neighbours; the first band's
  // upper neighbour is the picture's last row (a one-row picture compares the row with itself).
  for (const TPartRows &band : bands) {
    CheckTerminated();
    auto part = std::make_unique<TPicPartThreadNoise>(*ThreadList, targets, w);
    const int prev = band.First > 0 ? band.First - 1 : h - 1;
    part->AddRow(rgb.ScanLine(prev), PicL->ScanLine(prev));
    for (int y = band.First; y < band.First + band.Count; ++y)
      part->AddRow(rgb.ScanLine(y), PicL->ScanLine(y));
    StartFreeOnTerminate(std::move(part));
  }
  WaitForParts(true);
  CheckTerminated();
  PostText(WM_PICJOB_PHASE, "");
}

void TJPEGPicJobData::LoadFromStream(TStream &Stream) { LoadJpegFromStream(Stream, *PicRGB); }

void TBMPPicJobData::LoadFromStream(TStream &Stream) {
  Stream.SetPosition(0);
  PicRGB->LoadFromStream(Stream);
}

TMemPicJobData::TMemPicJobData(std::unique_ptr<TBitmap24> ABitmap, HWND AWnd)
    : TBMPPicJobData("", AWnd), Bitmap(std::move(ABitmap)) {}

void TMemPicJobData::LoadPicture() {
  if (!Bitmap) return;
  TBitmap24 &src = *Bitmap;
  TLockGuard lock(src);
  if (src.PixelFormat() != pf24bit) {
    PicRGB->Assign(&src);
  } else {
    PicRGB->SetSize(src.Width(), src.Height());
    const std::size_t bytes = static_cast<std::size_t>(src.Width()) * 3;
    if (bytes > 0)
      for (int y = 0; y < src.Height(); ++y)
        std::memcpy(PicRGB->ScanLine(y), src.ScanLine(y), bytes);
  }
}
