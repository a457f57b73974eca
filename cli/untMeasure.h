// The headless front end: `kalvex --measure FILE... [--region L,T,W,H]... [--regions FILE]...
// [--format text|json|csv] [--histogram]`. Every file is measured in one streaming pass over its
// rows (engine/untKalvPicStream), with the figures of the window's picture job; every region is
// fitted into the picture as the window fits a new region and measured in the same pass. A FILE
// may be a project: its embedded picture, or the picture it names, is measured with the
// project's regions (then the command line's).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/untKalvExif.h"
#include "platform/untSysUtils.h"

enum class TMeasureFormat { mfText, mfJson, mfCsv };

struct TRegionArg {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  std::string Text; // as typed, for messages
  // Set for a region of a regions block (a regions or project file): its corners X1, Y1, X2, Y2.
  // Such a region is fitted as the window's AddRegion does and left out, without error, when
  // nothing of it remains.
  std::optional<std::array<int, 4>> Corners = std::nullopt;
};

// The regions of the regions block of FileName (a regions file or any project file), in order;
// entries without width or height are left out. Raises EReadError ("--regions: ...") when the file
// cannot be read or holds no region; RunMeasure then exits 1 without the usage text.
std::vector<TRegionArg> ReadRegionsFile(const std::string &FileName);

// The axis a series is ordered and plotted by; none: the files stay in command-line order.
enum class TSeriesAxis { saNone, saIso, saExposure, saFile };

struct TMeasureOptions {
  std::vector<std::string> Files;
  std::vector<TRegionArg> Regions;
  TMeasureFormat Format = TMeasureFormat::mfText;
  bool Histogram = false;
  std::string Plot;                    // --plot FILE: the S/N plot of the series (SVG or PNG)
  TSeriesAxis By = TSeriesAxis::saNone; // --by; with --plot alone: ISO when every picture has one
  std::vector<int> Channels;           // --channels, as channel indices; empty: L* alone
};

// A mistake on the command line; RunMeasure prints it with the usage text and exits 2.
class EUsageError : public Exception { using Exception::Exception; };

// Parses the arguments that follow --measure (argv[First] ...).
TMeasureOptions ParseMeasureArgs(int argc, char **argv, int First);

// The region (Left, Top, Width, Height) fitted into a picture of PW x PH pixels as the window's
// AddRegion fits two corners: a zero width or height is no region (nullopt); the corners are
// ordered; a rectangle reaching past the right or bottom edge is moved back by the overhang and
// then cut at 0. A result without area (a region wholly left of or above the picture) is nullopt.
struct TFittedRegion {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};
std::optional<TFittedRegion> FitRegion(const TRegionArg &Region, int PW, int PH);

// The figures of one channel, as the job's accumulator holds them.
struct TChannelFigures {
  std::int64_t SSum = 0, SCount = 0, NSum = 0, NCount = 0;
  std::int64_t Clipped = 0; // pixels at 0 or 255 (for a pair: in either channel)
  std::array<std::int64_t, 256> Histogram{};
  // The window's single-precision figures (empty when unavailable).
  std::optional<float> SMean, NMean, SNRatio;
};

constexpr int MeasureChannelCount = 7;
// "R" ... "BR": the engine's channel captions (NoiseChannelCaptions).
extern const char *const (&MeasureChannelNames)[MeasureChannelCount];

struct TAreaResult {
  bool IsRegion = false;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  std::string Error; // not empty: the area could not be measured (Channels unset)
  std::string Requested; // the region as given on the command line
  std::array<TChannelFigures, MeasureChannelCount> Channels;
};

struct TFileResult {
  std::string File;    // as given
  std::string Picture; // for a project: the picture's name as the project holds it
  std::string Error;   // not empty: the file could not be measured (no size, no areas)
  int Width = 0, Height = 0;
  TCameraSettings Camera; // what the picture's EXIF data say (its Warning goes to stderr)
  std::vector<TAreaResult> Areas; // the picture first, then each region in command-line order
};

// Full-precision figures from the sums (nullopt when unavailable; a ratio needs S mean > 0 and
// N mean > 0).
std::optional<double> SMeanOf(const TChannelFigures &C);
std::optional<double> NMeanOf(const TChannelFigures &C);
std::optional<double> SNRatioOf(const TChannelFigures &C);
// The share (0..1) of the area's pixels that are clipped in the channel (nullopt without pixels).
std::optional<double> ClippedShareOf(const TChannelFigures &C);
// Above this share an area's S/N ratio means little: it is marked as clipped.
constexpr double ClippedMarkShare = 0.01;
bool IsClipped(const TAreaResult &Area);

// The three outputs, one entry per file argument in order. Text and CSV include the histogram only
// with Histogram; JSON always does. Text leaves failed files out (their messages go to stderr);
// JSON gives them an object with "file" and "error" only, CSV one row with the error, so both stay
// one well-formed document whatever fails.
void WriteText(std::ostream &Out, const std::vector<TFileResult> &Results, bool Histogram);
// Always one array, also for a single file or none measured.
void WriteJson(std::ostream &Out, const std::vector<TFileResult> &Results);
void WriteCsv(std::ostream &Out, const std::vector<TFileResult> &Results, bool Histogram);
// The header line of the CSV output (without the line break).
std::string CsvHeader(bool Histogram);
// A field of the CSV output: quoted (quotes doubled) when it holds a comma, quote or line break.
std::string CsvField(const std::string &Text);
// A number in its shortest form that reads back exactly (17.8, not 17.800000000000001); empty for
// none.
std::string ShortestNumber(std::optional<double> V);
// A file name for line-oriented text: backslash, newline, tab, carriage return and the other
// control characters become \\, \n, \t, \r and \xHH, so one name stays on one line.
std::string EscapeFileName(const std::string &Name);

// Measures one file: its picture job, then a memory job for every region. A project file gives
// its picture (embedded, or the file it names) with its own regions ahead of Regions. Raises the
// load error (also a project whose picture is missing, damaged or of an unknown kind). Stop, when
// given, is watched by the picture's and the regions' jobs: once it is true they end early and
// MeasureFile raises EAbort. It may run on any thread, several at once.
TFileResult MeasureFile(const std::string &FileName, const std::vector<TRegionArg> &Regions,
                        const std::atomic<bool> *Stop = nullptr);

// The axis a series is ordered by: By itself, or for saNone ISO when every measured picture has
// one, else the files' order.
TSeriesAxis SeriesAxis(const std::vector<TFileResult> &Results, TSeriesAxis By);
// Results reordered by Axis (stable: equal or missing keys keep their order, missing last).
void OrderSeries(std::vector<TFileResult> &Results, TSeriesAxis Axis);
// The plot of the series: for every area (by its place in each file: the picture, region 1, ...)
// and channel one curve of S/N ratio against the axis; a clipped area's point is hollow. A
// picture without the axis's value, or an area without a ratio, gives no point.
struct TPlot;
TPlot SeriesPlot(const std::vector<TFileResult> &Results, TSeriesAxis Axis, const std::vector<int> &Channels);

// The usage text of --measure.
std::string MeasureUsage();

// kalvex --measure ...: argv[First] is the first argument after --measure. Writes to stdout and
// stderr; returns 0 when everything was measured, 1 when a file or region failed, 2 for a usage
// error.
int RunMeasure(int argc, char **argv, int First);
