// kalvex --measure: runs the picture jobs on the calling thread and prints their figures.
#include "cli/untMeasure.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cmath>
#include <algorithm>
#include <atomic>
#include <exception>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>

#include "KalvexVersion.h"

#include "app/WideIniFile.h"
#include "app/untKalvMainConstType.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "cli/untSeries.h"
#include "engine/untKalvPicJobDataJobs.h"
#include "engine/untKalvPlot.h"

namespace {

enum class TPictureKind { pkUnknownKind, pkJpegKind, pkBmpKind, pkProjectKind };

// By extension as the window's file kinds decide; a file with another extension is recognised by
// its first bytes, so a picture saved under an odd name can still be measured, and otherwise as
// the window recognises a project (by its "FileType").
TPictureKind PictureKindOf(const std::string &FileName) {
  const std::string ext = LowerCase(PathFromUtf8(FileName).extension().string());
  if (ext == ".jpg" || ext == ".jpe" || ext == ".jpeg") return TPictureKind::pkJpegKind;
  if (ext == ".bmp") return TPictureKind::pkBmpKind;
  {
    TFileStream f(FileName, fmOpenRead);
    unsigned char magic[2] = {0, 0};
    if (f.Read(magic, 2) == 2) {
      if (magic[0] == 0xFF && magic[1] == 0xD8) return TPictureKind::pkJpegKind;
      if (magic[0] == 'B' && magic[1] == 'M') return TPictureKind::pkBmpKind;
    }
  }
  // The window takes any other file for a project; here only what looks like one is (its
  // extension, or the section every project has), so a stray text file is reported as such.
  // Both are told from the file's first bytes, as the window's file kinds are.
  const TIniFileProbe probe = ProbeIniFile(FileName);
  const TFileKind kind = probe.Size > MaxKindProbeSize ? fkUnknown : FileKindOfType(probe.FileType);
  if (kind == fkRegions) throw EReadError("A regions file holds no picture (give it with --regions)");
  if (kind != fkProject && kind != fkProjectWithPicture) return TPictureKind::pkUnknownKind;
  if (ext == ".kalvexproject" || probe.HasProgram) return TPictureKind::pkProjectKind;
  return TPictureKind::pkUnknownKind;
}

std::vector<TRegionArg> RegionsOf(const TWideFileMemIniFile &Ini, const std::string &FileName) {
  std::vector<TRegionArg> regions;
  int index = 0;
  LoadRegionsFromIni(Ini, SRegionSectionFormat, [&](int X1, int Y1, int X2, int Y2) {
    ++index;
    if (X1 == X2 || Y1 == Y2) return; // no region, as the window's AddRegion skips it
    TRegionArg r;
    r.Left = std::min(X1, X2);
    r.Top = std::min(Y1, Y2);
    r.Text = Format("%s#%d", FileName, index);
    r.Corners = std::array<int, 4>{X1, Y1, X2, Y2};
    regions.push_back(std::move(r));
  });
  return regions;
}

// The picture job of a project's picture: the embedded one (its kind by the stored name's
// extension, as the window decides) or the file it names.
std::unique_ptr<TPicJobData> ProjectJob(TProjectFile &Project, std::string &Picture,
                                        std::unique_ptr<TMemoryStream> &Stream) {
  const TProjectInfo &info = Project.Info;
  Picture = info.FileName;
  if (info.Kind != ftProject && info.Kind != ftProjectWithPicture)
    throw EReadError(Format("Not a project (file type %d)", info.Kind));
  if (info.FileName.empty()) throw EReadError("The project names no picture");
  const TFileKind kind = PictureKindByExtension(info.FileName);
  if (info.Kind == ftProject) {
    std::error_code ec;
    if (!std::filesystem::exists(PathFromUtf8(info.FileName), ec))
      throw EReadError(Format("The project's picture \"%s\" is not there", info.FileName));
    try {
      TFileStream(info.FileName, fmOpenRead); // a folder, a FIFO or a device says what it is
    } catch (const EFOpenError &e) {
      throw EReadError("The project's picture: " + e.Message);
    }
    if (kind == fkJPEG) return std::make_unique<TJPEGPicJobData>(info.FileName, NoProgressWnd);
    if (kind == fkBMP) return std::make_unique<TBMPPicJobData>(info.FileName, NoProgressWnd);
    throw EReadError(Format("The project's picture \"%s\" is no JPEG or BMP file", info.FileName));
  }
  if (kind != fkJPEG && kind != fkBMP)
    throw EReadError(Format("The project's embedded picture \"%s\" is no JPEG or BMP file", info.FileName));
  Stream = std::move(Project.Picture);
  if (!Stream) throw EReadError("The project holds no embedded picture");
  if (kind == fkJPEG) {
    auto job = std::make_unique<TStreamJPEGPicJobData>(info.FileName, NoProgressWnd);
    job->Stream = Stream.get();
    return job;
  }
  auto job = std::make_unique<TStreamBMPPicJobData>(info.FileName, NoProgressWnd);
  job->Stream = Stream.get();
  return job;
}

// Nothing is shown here: the job makes no pages, and with no window to keep responsive its parts
// run at normal priority (at the lowest, a busy machine can stretch a measurement many times).
void MeasureOnlyJob(TPicJobData &Job) {
  Job.MeasureOnly = true;
  Job.PartPriority = tpNormal;
}

void TakeFigures(TPicJobData &Job, TAreaResult &Area) {
  for (int c = 0; c < MeasureChannelCount; ++c) {
    const TChannelNoiseSync &ns = *Job.Ns(static_cast<TNoiseChannel>(c));
    TChannelFigures &f = Area.Channels[static_cast<std::size_t>(c)];
    TChannelNoiseData copy(clBlack);
    copy.Assign(&ns);
    f.SSum = copy.SSum;
    f.SCount = copy.SCount;
    f.NSum = copy.NSum;
    f.NCount = copy.NCount;
    f.Clipped = copy.Clipped;
    for (int i = 0; i < 256; ++i) f.Histogram[static_cast<std::size_t>(i)] = copy.Histogram(i);
    float v = 0;
    if (copy.GetSMean(v)) f.SMean = v;
    if (copy.GetNMean(v)) f.NMean = v;
    if (copy.GetSNRatio(v) && std::isfinite(v)) f.SNRatio = v;
  }
}

// Measures one region of the picture into Area; false for a region of a regions block of which
// nothing remains in the picture (the window would not have made it either).
bool MeasureRegion(const TBitmap24 &Picture, const TRegionArg &R, TAreaResult &Area, const std::atomic<bool> *Stop) {
  Area.IsRegion = true;
  Area.Requested = R.Text;
  const auto fit = FitRegion(R, Picture.Width(), Picture.Height());
  if (!fit && R.Corners) return false;
  if (!fit) {
    Area.Error = R.Width == 0 || R.Height == 0 ? "Empty region (width or height 0)" : "Region lies outside the picture";
    return true;
  }
  Area.Left = fit->Left;
  Area.Top = fit->Top;
  Area.Width = fit->Width;
  Area.Height = fit->Height;
  // The cut-out, exactly as the window copies a region out of the RGB page.
  auto cut = std::make_unique<TBitmap24>();
  cut->SetSize(fit->Width, fit->Height);
  if (cut->Empty()) throw EOutOfMemory("Out of memory");
  const std::size_t bytes = static_cast<std::size_t>(fit->Width) * 3;
  for (int y = 0; y < fit->Height; ++y)
    std::memcpy(cut->ScanLine(y), Picture.ScanLine(fit->Top + y) + fit->Left * 3, bytes);
  TMemPicJobData region(std::move(cut), NoProgressWnd);
  MeasureOnlyJob(region);
  // A small region takes less time to measure than to start its part threads.
  if (std::int64_t{fit->Width} * fit->Height < (std::int64_t{1} << 18)) {
    region.PartCount = 1;
    region.PartsHere = true;
  }
  region.StopFlag = Stop;
  region.Run();
  if (region.Stopped()) throw EAbort();
  TakeFigures(region, Area);
  return true;
}

// The one-line progress on stderr ("3/20 photo.jpg"), shown only to a person watching a terminal:
// redirected, stderr holds nothing but the messages.
class TProgress {
public:
  explicit TProgress(std::size_t Total) : FTotal(Total), FShown(Total > 1 && isatty(STDERR_FILENO) == 1) {}
  ~TProgress() { Clear(); }
  void Show(std::size_t Index, const std::string &File) {
    if (!FShown) return;
    std::cerr << '\r' << Index + 1 << '/' << FTotal << ' '
              << EscapeFileName(PathFromUtf8(File).filename().string()) << "\x1b[K" << std::flush;
    FOnLine = true;
  }
  // Before a message, so that it starts on a line of its own.
  void Clear() {
    if (FOnLine) std::cerr << "\r\x1b[K" << std::flush;
    FOnLine = false;
  }

private:
  std::size_t FTotal;
  bool FShown;
  bool FOnLine = false;
};

} // namespace

std::vector<TRegionArg> ReadRegionsFile(const std::string &FileName) {
  try {
    // Opened first so that a missing file, a folder, a FIFO or a device is called what it is.
    TFileStream(FileName, fmOpenRead);
    const TProgMemIniFile ini(FileName);
    std::vector<TRegionArg> regions = RegionsOf(ini, FileName);
    if (regions.empty()) throw EReadError(Format("\"%s\" holds no regions", FileName));
    return regions;
  } catch (const std::exception &e) {
    throw EReadError(std::string("--regions: ") + e.what());
  }
}

TFileResult MeasureFile(const std::string &FileName, const std::vector<TRegionArg> &CommandLineRegions,
                        const std::atomic<bool> *Stop) {
  TFileResult result;
  result.File = FileName;
  std::unique_ptr<TPicJobData> job;
  std::unique_ptr<TMemoryStream> stream; // the embedded picture; outlives the job's run
  std::vector<TRegionArg> regions;
  switch (PictureKindOf(FileName)) {
  case TPictureKind::pkJpegKind: job = std::make_unique<TJPEGPicJobData>(FileName, NoProgressWnd); break;
  case TPictureKind::pkBmpKind: job = std::make_unique<TBMPPicJobData>(FileName, NoProgressWnd); break;
  case TPictureKind::pkProjectKind: { // read once: its regions and its picture
    TProjectFile project = ReadProjectFile(FileName);
    job = ProjectJob(project, result.Picture, stream);
    regions = RegionsOf(*project.Ini, FileName);
    break;
  }
  default: throw EReadError("Not a JPEG or BMP picture, nor a project");
  }
  regions.insert(regions.end(), CommandLineRegions.begin(), CommandLineRegions.end());
  MeasureOnlyJob(*job);
  job->StopFlag = Stop;
  job->Run();
  if (job->Stopped()) throw EAbort(); // its figures cover part of the picture
  result.Camera = stream ? ReadCameraSettings(stream->Bytes()) : ReadCameraSettings(job->FileName);

  TBitmap24 &picture = *job->PicRGB;
  result.Width = picture.Width();
  result.Height = picture.Height();
  TAreaResult whole;
  whole.Width = result.Width;
  whole.Height = result.Height;
  TakeFigures(*job, whole);
  result.Areas.push_back(std::move(whole));

  // The regions are measured side by side (each on one thread: a small region's parts run where
  // it is measured), in their order in the result; the first failure fails the file.
  std::vector<TAreaResult> areas(regions.size());
  std::vector<char> kept(regions.size(), 0);
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::exception_ptr failure;
  auto work = [&] {
    for (std::size_t i; (i = next++) < regions.size();) {
      try {
        kept[i] = MeasureRegion(picture, regions[i], areas[i], Stop) ? 1 : 0;
      } catch (...) {
        std::lock_guard<std::mutex> g(lock);
        if (!failure) failure = std::current_exception();
        next = regions.size();
      }
    }
  };
  {
    std::vector<std::thread> helpers;
    const int threads = regions.size() >= 16 ? std::min(PicPartCount(), 4) : 1;
    for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
    work();
    for (std::thread &t : helpers) t.join();
  }
  if (failure) std::rethrow_exception(failure);
  for (std::size_t i = 0; i < areas.size(); ++i)
    if (kept[i] != 0) result.Areas.push_back(std::move(areas[i]));
  return result;
}

int RunMeasure(int argc, char **argv, int First) {
  for (int i = First; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << MeasureUsage();
      return 0;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::cout << "Kalvex " << KALVEX_VERSION << "\n";
      return 0;
    }
  // Picture reading goes through Qt's image readers, which want an application object.
  static int appArgc = 1;
  static char appName[] = "kalvex";
  static char *appArgv[] = {appName, nullptr};
  // A plot draws text, which wants a QGuiApplication: on the offscreen platform unless one is chosen,
  // since a measurement needs no display.
  bool plot = false;
  for (int i = First; i < argc; ++i)
    if (std::strncmp(argv[i], "--plot", 6) == 0) plot = true;
  std::unique_ptr<QCoreApplication> app;
  if (QCoreApplication::instance() == nullptr) {
    if (plot) {
      if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
      app = std::make_unique<QGuiApplication>(appArgc, appArgv);
    } else {
      app = std::make_unique<QCoreApplication>(appArgc, appArgv);
    }
  }

  TMeasureOptions options;
  try {
    options = ParseMeasureArgs(argc, argv, First);
  } catch (const EUsageError &e) {
    std::cerr << "kalvex: " << e.Message << "\n" << MeasureUsage();
    return 2;
  } catch (const std::exception &e) { // a regions file that cannot be read: no usage mistake
    std::cerr << "kalvex: " << e.what() << "\n";
    return 1;
  }
  // Several files are measured as a series (two at once). The results keep the order of the
  // command line; messages appear as each file ends.
  const std::size_t count = options.Files.size();
  TProgress progress(count);
  std::vector<char> failed(count, 0);
  std::size_t shown = 0;
  TSeriesCallbacks callbacks;
  callbacks.OnStart = [&](std::size_t Index) { progress.Show(shown++, options.Files[Index]); };
  callbacks.OnDone = [&](std::size_t Index, const TFileResult &R) {
    const std::string &file = options.Files[Index];
    if (!R.Error.empty()) {
      progress.Clear();
      std::cerr << "kalvex: " << EscapeFileName(file) << ": " << R.Error << "\n";
      failed[Index] = 1;
      return;
    }
    // A warning only: the figures do not depend on the camera settings.
    if (!R.Camera.Warning.empty()) {
      progress.Clear();
      std::cerr << "kalvex: " << EscapeFileName(file) << ": warning: " << R.Camera.Warning << "\n";
    }
    for (const TAreaResult &a : R.Areas)
      if (!a.Error.empty()) {
        progress.Clear();
        std::cerr << "kalvex: " << EscapeFileName(file) << ": region " << EscapeFileName(a.Requested) << ": "
                  << a.Error << "\n";
        failed[Index] = 1;
      }
  };
  std::vector<TFileResult> results = MeasureSeries(options.Files, options.Regions, callbacks);
  int status = std::find(failed.begin(), failed.end(), 1) != failed.end() ? 1 : 0;
  progress.Clear();
  // A series is ordered by its axis in every format, as it is plotted.
  const TSeriesAxis axis = SeriesAxis(results, options.By);
  if (!options.Plot.empty() || options.By != TSeriesAxis::saNone) OrderSeries(results, axis);
  switch (options.Format) {
  case TMeasureFormat::mfText: WriteText(std::cout, results, options.Histogram); break;
  case TMeasureFormat::mfJson: WriteJson(std::cout, results); break;
  case TMeasureFormat::mfCsv: WriteCsv(std::cout, results, options.Histogram); break;
  }
  std::cout.flush();
  if (!std::cout) {
    std::cerr << "kalvex: cannot write the results\n";
    return 1;
  }
  if (!options.Plot.empty()) {
    try {
      SavePlot(SeriesPlot(results, axis, options.Channels), options.Plot);
    } catch (const std::exception &e) {
      std::cerr << "kalvex: " << EscapeFileName(options.Plot) << ": " << e.what() << "\n";
      status = 1;
    }
  }
  return status;
}
