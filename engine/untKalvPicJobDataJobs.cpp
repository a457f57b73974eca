#include "engine/untKalvPicJobDataJobs.h"

#include <algorithm>
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

namespace {
// Waits until List is empty. With Check, a stop request of Job ends the wait with EAbort, and a
// part's failure is raised once all parts are done: a part that failed left its rows out, so the
// job fails with the first such error.
void WaitForPartsOf(TJobData &Job, TPicThreadList &List, bool Check) {
  while (List.Event.WaitFor(PartWaitSliceMs) != wrSignaled)
    if (Check) Job.CheckTerminated();
  if (Check)
    if (std::exception_ptr failure = List.TakeFailure()) std::rethrow_exception(failure);
}
} // namespace

void TPicJobData::WaitForParts(bool Check) { WaitForPartsOf(*this, *ThreadList, Check); }

void TPicJobData::Execute() {
  try {
    ExecuteSteps();
  } catch (...) {
    FLoading = false;
    // Parts still running write into our pictures and accumulators: let them finish first. They
    // do not look at the terminate request, so this lasts until each has done its rows.
    ThreadList->TerminateAll();
    WaitForParts(false);
    DropUnfinishedPictures();
    // The window shows the phase until it hears otherwise: a job that ended early clears it too.
    PostText(WM_PICJOB_PHASE, "");
    try {
      throw;
    } catch (const EAbort &) {
      FStopped = true; // a stop request ends the job quietly with what was done so far
      return;
    } catch (...) {
      FFailed = true;
      throw;
    }
  }
}

void TPicJobData::DropUnfinishedPictures() {
  if (!AllExtracted())
    for (TPicKind kind : {pkR, pkG, pkB, pkL, pkLa, pkLb})
      if (TBitmap *p = Pic(kind)) p->SetSize(0, 0);
  if (FPrepared && FRowsLoaded < PicRGB->Height()) PicRGB->SetSize(0, 0);
}

// About sixteen bands, of 2^18 to 2^20 pixels, let the parts start on the first rows while the
// rest is still being decoded and keep the wait for the last band short; smaller bands would
// spend more on starting parts than they save.
namespace {
std::int64_t BandPixels(std::int64_t Pixels) {
  return std::clamp<std::int64_t>(Pixels / 16, std::int64_t{1} << 18, std::int64_t{1} << 20);
}
} // namespace

void TPicJobData::PrepareBands() {
  FPrepared = true;
  TBitmap24 &rgb = *PicRGB;
  const int w = rgb.Width(), h = rgb.Height();
  const int processors = PicPartCount();
  int count = PartCount;
  if (count <= 0) {
    const std::int64_t pixels = std::int64_t{w} * h, band = BandPixels(pixels);
    const std::int64_t bySize = (pixels + band - 1) / band;
    count = static_cast<int>(std::max<std::int64_t>(processors, std::min<std::int64_t>(bySize, h)));
  }
  FRunLimit = PartCount > 0 ? PartCount : processors;
  // Every pixel of these pictures is written by the extraction (and a job that ends early empties
  // them), so they are not cleared first.
  if (!MeasureOnly) {
    for (TBitmap08Pal *p : {PicR.get(), PicG.get(), PicB.get()}) p->SetSizeForOverwrite(w, h);
    if (!LabPagesLater) {
      PicLa->SetSizeForOverwrite(w, h);
      PicLb->SetSizeForOverwrite(w, h);
    }
  }
  PicL->SetSizeForOverwrite(w, h);

  const std::vector<TPartRows> rows = SplitRows(h, count);
  FBands.assign(rows.size(), TBand{});
  FExtracted = std::make_unique<std::atomic<bool>[]>(rows.size());
  for (std::size_t b = 0; b < rows.size(); ++b) {
    FBands[b].Rows = rows[b];
    FExtracted[b] = false;
    // The band's upper neighbour row: the row above it, or the picture's last row for the first
    // band (a one-row picture compares the row with itself).
    const int prev = rows[b].First > 0 ? rows[b].First - 1 : h - 1;
    for (std::size_t o = 0; o < rows.size(); ++o)
      if (prev >= rows[o].First && prev < rows[o].First + rows[o].Count) FBands[b].PrevBand = static_cast<int>(o);
  }
}

bool TPicJobData::AllExtracted() const {
  if (!FPrepared) return false;
  for (std::size_t b = 0; b < FBands.size(); ++b)
    if (!FExtracted[b].load()) return false;
  return true;
}

void TPicJobData::RowsLoaded(int Rows) {
  if (!FPrepared) PrepareBands();
  FRowsLoaded = std::max(FRowsLoaded, Rows);
  CheckTerminated();
  if (ThreadList->HasFailure()) WaitForParts(true); // raises the part's error
  StartReadyParts();
}

void TPicJobData::StartReadyParts() {
  // While this thread still decodes, it takes one processor itself.
  const int limit = FLoading ? std::max(1, FRunLimit - 1) : FRunLimit;
  const auto startNoise = [&] {
    for (TBand &band : FBands) {
      if (ThreadList->Count() >= limit) return;
      if (band.NoiseStarted || !FExtracted[static_cast<std::size_t>(&band - FBands.data())].load()) continue;
      if (band.PrevBand >= 0 && !FExtracted[static_cast<std::size_t>(band.PrevBand)].load()) continue;
      CheckTerminated();
      band.NoiseStarted = true;
      StartNoise(band);
    }
  };
  const auto startExtraction = [&] {
    for (std::size_t b = 0; b < FBands.size(); ++b) {
      TBand &band = FBands[b];
      if (band.ExtractStarted) continue;
      if (band.Rows.First + band.Rows.Count > FRowsLoaded) return; // bands come in row order
      if (ThreadList->Count() >= limit) return;
      CheckTerminated();
      band.ExtractStarted = true;
      StartExtraction(band, FExtracted[b]);
    }
  };
  // While rows still arrive, difference parts first: they finish bands whose rows are in use
  // already. Once the picture is whole, extraction first: the first band's differences wait for
  // the last band's extraction, which would otherwise wait behind the difference parts started
  // before it (a region's last band waited behind two of them).
  if (FRowsLoaded < PicRGB->Height()) {
    startNoise();
    startExtraction();
  } else {
    startExtraction();
    startNoise();
  }
}

void TPicJobData::StartExtraction(TBand &Band, std::atomic<bool> &Finished) {
  TBitmap24 &rgb = *PicRGB;
  const bool pages = !MeasureOnly, lab = pages && !LabPagesLater;
  auto part = std::make_unique<TPicPartThreadData>(*ThreadList, Targets(), rgb.Width());
  part->SetPriority(PartPriority);
  part->Finished = &Finished;
  for (int y = Band.Rows.First; y < Band.Rows.First + Band.Rows.Count; ++y)
    part->AddRows(rgb.ScanLine(y), pages ? PicR->ScanLine(y) : nullptr, pages ? PicG->ScanLine(y) : nullptr,
                  pages ? PicB->ScanLine(y) : nullptr, PicL->ScanLine(y), lab ? PicLa->ScanLine(y) : nullptr,
                  lab ? PicLb->ScanLine(y) : nullptr);
  if (PartsHere) part->RunHere();
  else RunPicPart(std::move(part));
}

void TPicJobData::StartNoise(const TBand &Band) {
  TBitmap24 &rgb = *PicRGB;
  const int h = rgb.Height();
  auto part = std::make_unique<TPicPartThreadNoise>(*ThreadList, Targets(), rgb.Width());
  part->SetPriority(PartPriority);
  const int prev = Band.Rows.First > 0 ? Band.Rows.First - 1 : h - 1;
  part->AddRow(rgb.ScanLine(prev), PicL->ScanLine(prev));
  for (int y = Band.Rows.First; y < Band.Rows.First + Band.Rows.Count; ++y)
    part->AddRow(rgb.ScanLine(y), PicL->ScanLine(y));
  // The job's last part runs here: this thread would only wait for it, and the part need not wait
  // for a runner.
  const bool last = std::all_of(FBands.begin(), FBands.end(), [](const TBand &B) { return B.NoiseStarted; });
  if (PartsHere || last) part->RunHere();
  else RunPicPart(std::move(part));
}

void TPicJobData::ExecuteSteps() {
  CheckTerminated();
  PostText(WM_PICJOB_PHASE, PicJobTextLoadFile);
  if (!FileName.empty()) PostText(WM_PICJOB_FILENAME, FileName);

  CheckTerminated();
  FLoading = true;
  LoadPicture();
  FLoading = false;
  CheckTerminated();

  PostText(WM_PICJOB_PHASE, PicJobTextAnalyzeData);
  // Everything is loaded now; whatever the loader did not hand on yet starts here.
  RowsLoaded(PicRGB->Height());
  // Extraction and differences run band by band: a band's difference part starts as soon as its
  // own rows and the row above them are extracted, so both overlap until the last band is done.
  bool noisePhase = false;
  for (;;) {
    if (!noisePhase && AllExtracted()) {
      PostText(WM_PICJOB_PHASE, PicJobTextCalculateNoise);
      noisePhase = true;
    }
    const bool allStarted = std::all_of(FBands.begin(), FBands.end(), [](const TBand &B) { return B.NoiseStarted; });
    if (allStarted) break;
    ThreadList->PartLeft.WaitFor(PartWaitSliceMs);
    CheckTerminated();
    if (ThreadList->HasFailure()) WaitForParts(true);
    StartReadyParts();
  }
  WaitForParts(true);
  CheckTerminated();
  if (!noisePhase) PostText(WM_PICJOB_PHASE, PicJobTextCalculateNoise);
  PostText(WM_PICJOB_PHASE, "");
}

TLabPagesJobData::TLabPagesJobData(const TBitmap24 &Source)
    : PicLa(std::make_unique<TBitmap24>()), PicLb(std::make_unique<TBitmap24>()), FSource(&Source),
      FList(std::make_unique<TPicThreadList>()) {}

TLabPagesJobData::~TLabPagesJobData() { WaitForParts(false); }

void TLabPagesJobData::WaitForParts(bool Check) { WaitForPartsOf(*this, *FList, Check); }

void TLabPagesJobData::ExecuteSteps() {
  CheckTerminated();
  const TBitmap24 &rgb = *FSource;
  const int w = rgb.Width(), h = rgb.Height();
  PicLa->SetSizeForOverwrite(w, h);
  PicLb->SetSizeForOverwrite(w, h);
  const std::vector<TPartRows> rows = SplitRows(h, PartCount > 0 ? PartCount : PicPartCount());
  // The L* picture is on show already, and its figures: neither is made again.
  const TPicNoiseTargets none{};
  for (std::size_t b = 0; b < rows.size(); ++b) {
    CheckTerminated();
    auto part = std::make_unique<TPicPartThreadData>(*FList, none, w);
    part->SetPriority(PartPriority);
    for (int y = rows[b].First; y < rows[b].First + rows[b].Count; ++y)
      part->AddRows(rgb.ScanLine(y), nullptr, nullptr, nullptr, nullptr, PicLa->ScanLine(y),
                    PicLb->ScanLine(y));
    if (b + 1 == rows.size()) part->RunHere(); // this thread would only wait for it
    else RunPicPart(std::move(part));
  }
  WaitForParts(true);
  CheckTerminated();
}

void TLabPagesJobData::Execute() {
  struct TEnd {
    TEvent &Ended;
    ~TEnd() { Ended.SetEvent(); }
  } end{Ended};
  try {
    ExecuteSteps();
  } catch (...) {
    FList->TerminateAll();
    WaitForParts(false); // the parts write into both pictures until each has done its rows
    PicLa->SetSize(0, 0);
    PicLb->SetSize(0, 0);
    try {
      throw;
    } catch (const EAbort &) {
      FStopped = true;
    }
  }
}

void TJPEGPicJobData::LoadFromStream(TStream &Stream) {
  // Rows go to the parts as they are decoded; on a failure the job empties the picture once the
  // parts that read it are done.
  DecodeJpegStream(Stream, *PicRGB, [this](int Rows) { RowsLoaded(Rows); });
}

void TBMPPicJobData::LoadFromStream(TStream &Stream) {
  Stream.SetPosition(0);
  PicRGB->LoadFromStream(Stream);
}

TMemPicJobData::TMemPicJobData(std::unique_ptr<TBitmap24> ABitmap, HWND AWnd)
    : TBMPPicJobData("", AWnd), Bitmap(std::move(ABitmap)) {}

void TMemPicJobData::LoadPicture() {
  if (!Bitmap) return;
  TBitmap24 &src = *Bitmap;
  TLockGuard lock(src); // its writer is done with it once the lock is ours
  if (src.PixelFormat() != pf24bit) {
    PicRGB->Assign(&src);
  } else {
    // The very pixels a copy would hold: taken over, which spares copying (and first touching)
    // a second picture of the same size.
    std::unique_ptr<TBitmap24> taken = std::move(Bitmap);
    PicRGB = std::move(taken);
  }
}
