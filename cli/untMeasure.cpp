// kalvex --measure: measures the files in streaming passes and prints their figures.
#include "cli/untMeasure.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cmath>
#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <unistd.h>

#include "KalvexVersion.h"

#include "app/WideIniFile.h"
#include "app/untKalvMainConstType.h"
#include "app/untKalvProjectFile.h"
#include "app/untKalvRegionsFile.h"
#include "cli/untSeries.h"
#include "engine/untKalvPicStream.h"
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

// The rows of a picture file, by its kind; File is the stream they are read from.
std::unique_ptr<TPicBandSource> PictureSource(const std::string &FileName, TFileKind Kind,
                                              std::unique_ptr<TFileStream> &File) {
  File = std::make_unique<TFileStream>(FileName, fmOpenRead);
  return Kind == fkJPEG ? JpegBandSource(*File) : BmpBandSource(*File);
}

// The rows of a project's picture: the embedded one (its kind by the stored name's extension, as
// the window decides), kept in Embedded, or the file it names, kept open in File.
std::unique_ptr<TPicBandSource> ProjectSource(TProjectFile &Project, std::string &Picture,
                                              std::unique_ptr<TMemoryStream> &Embedded,
                                              std::unique_ptr<TFileStream> &File) {
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
    if (kind != fkJPEG && kind != fkBMP)
      throw EReadError(Format("The project's picture \"%s\" is no JPEG or BMP file", info.FileName));
    return PictureSource(info.FileName, kind, File);
  }
  if (kind != fkJPEG && kind != fkBMP)
    throw EReadError(Format("The project's embedded picture \"%s\" is no JPEG or BMP file", info.FileName));
  Embedded = std::move(Project.Picture);
  if (!Embedded) throw EReadError("The project holds no embedded picture");
  return kind == fkJPEG ? JpegBandSource(*Embedded) : BmpBandSource(*Embedded);
}

void TakeFigures(TAreaNoise &Noise, TAreaResult &Area) {
  for (int c = 0; c < MeasureChannelCount; ++c) {
    TChannelNoiseData &d = Noise.Channels[static_cast<std::size_t>(c)];
    TChannelFigures &f = Area.Channels[static_cast<std::size_t>(c)];
    f.SSum = d.SSum;
    f.SCount = d.SCount;
    f.NSum = d.NSum;
    f.NCount = d.NCount;
    f.Clipped = d.Clipped;
    for (int i = 0; i < 256; ++i) f.Histogram[static_cast<std::size_t>(i)] = d.Histogram(i);
    float v = 0;
    if (d.GetSMean(v)) f.SMean = v;
    if (d.GetNMean(v)) f.NMean = v;
    if (d.GetSNRatio(v) && std::isfinite(v)) f.SNRatio = v;
  }
}

// The area of a region in the picture, as the window fits a new region; nullopt for a region left
// out or failed (Area says which: Kept false, or Error set).
std::optional<TPicArea> RegionArea(const TRegionArg &R, int PW, int PH, TAreaResult &Area, bool &Kept) {
  Area.IsRegion = true;
  Area.Requested = R.Text;
  Kept = true;
  const auto fit = FitRegion(R, PW, PH);
  if (!fit && R.Corners) Kept = false;
  else if (!fit)
    Area.Error = R.Width == 0 || R.Height == 0 ? "Empty region (width or height 0)" : "Region lies outside the picture";
  if (!fit) return std::nullopt;
  Area.Left = fit->Left;
  Area.Top = fit->Top;
  Area.Width = fit->Width;
  Area.Height = fit->Height;
  return TPicArea{fit->Left, fit->Top, fit->Width, fit->Height};
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
  std::unique_ptr<TFileStream> file;         // the picture file the rows are read from
  std::unique_ptr<TMemoryStream> embedded;   // or the project's embedded picture
  std::unique_ptr<TPicBandSource> source;
  std::string pictureFile = FileName;
  std::vector<TRegionArg> regions;
  switch (PictureKindOf(FileName)) {
  case TPictureKind::pkJpegKind: source = PictureSource(FileName, fkJPEG, file); break;
  case TPictureKind::pkBmpKind: source = PictureSource(FileName, fkBMP, file); break;
  case TPictureKind::pkProjectKind: { // read once: its regions and its picture
    TProjectFile project = ReadProjectFile(FileName);
    source = ProjectSource(project, result.Picture, embedded, file);
    pictureFile = project.Info.FileName;
    regions = RegionsOf(*project.Ini, FileName);
    break;
  }
  default: throw EReadError("Not a JPEG or BMP picture, nor a project");
  }
  regions.insert(regions.end(), CommandLineRegions.begin(), CommandLineRegions.end());
  result.Width = source->Width();
  result.Height = source->Height();

  // The picture and every region that remains in it are measured in one pass over the rows.
  std::vector<TAreaResult> areas(regions.size() + 1);
  std::vector<char> kept(areas.size(), 1);
  std::vector<TPicArea> boxes{{0, 0, result.Width, result.Height}};
  std::vector<std::size_t> owner{0}; // the area of each box
  areas[0].Width = result.Width;
  areas[0].Height = result.Height;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    bool k = true;
    if (const auto box = RegionArea(regions[i], result.Width, result.Height, areas[i + 1], k)) {
      boxes.push_back(*box);
      owner.push_back(i + 1);
    }
    kept[i + 1] = k ? 1 : 0;
  }
  std::vector<std::unique_ptr<TAreaNoise>> noise = MeasureBands(*source, boxes, Stop);
  source.reset();
  file.reset();
  result.Camera = embedded ? ReadCameraSettings(embedded->Bytes()) : ReadCameraSettings(pictureFile);
  for (std::size_t b = 0; b < boxes.size(); ++b) {
    TakeFigures(*noise[b], areas[owner[b]]);
    noise[b].reset();
  }
  // Each area holds its histograms (about 15 KB): the kept ones close up in place, with no copy of
  // them all.
  std::size_t n = 0;
  for (std::size_t i = 0; i < areas.size(); ++i)
    if (kept[i] != 0) {
      if (n != i) areas[n] = std::move(areas[i]);
      ++n;
    }
  areas.erase(areas.begin() + static_cast<std::ptrdiff_t>(n), areas.end());
  result.Areas = std::move(areas);
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
