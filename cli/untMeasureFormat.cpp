// Argument parsing, region fitting and the three output formats of kalvex --measure.
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include <nlohmann/json.hpp>

#include "cli/untMeasure.h"
#include "engine/untKalvPlot.h"
#include "engine/untKalvPicJobData.h"
#include "engine/untKalvRegion.h"

static_assert(MeasureChannelCount == NoiseChannelCount);
const char *const (&MeasureChannelNames)[MeasureChannelCount] = NoiseChannelCaptions;

namespace {

bool ParseInt(const std::string &Text, int &Value) {
  if (Text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  const long v = std::strtol(Text.c_str(), &end, 10);
  if (errno != 0 || end == Text.c_str() || *end != '\0' || v < INT_MIN / 2 || v > INT_MAX / 2)
    return false;
  Value = static_cast<int>(v);
  return true;
}

TRegionArg ParseRegion(const std::string &Text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = Text.find(',', start);
    parts.push_back(Trim(Text.substr(start, comma == std::string::npos ? std::string::npos
                                                                       : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  TRegionArg r;
  r.Text = Text;
  if (parts.size() != 4 || !ParseInt(parts[0], r.Left) || !ParseInt(parts[1], r.Top) ||
      !ParseInt(parts[2], r.Width) || !ParseInt(parts[3], r.Height))
    throw EUsageError("--region wants four integers L,T,W,H, not \"" + Text + "\"");
  return r;
}

std::string Fixed2(std::optional<float> V) {
  if (!V) return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(*V));
  return buf;
}

std::string AreaTitle(const TAreaResult &A) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s %d,%d %d x %d", A.IsRegion ? "region" : "picture", A.Left,
                A.Top, A.Width, A.Height);
  return buf;
}

nlohmann::json Optional(std::optional<double> V) {
  if (!V) return nullptr;
  return *V;
}

// The fields the picture has; an empty object for none.
nlohmann::json ExifJson(const TCameraSettings &C) {
  nlohmann::json e = nlohmann::json::object();
  if (C.Iso) e["iso"] = *C.Iso;
  if (C.ExposureTime) e["exposure_time"] = *C.ExposureTime;
  if (C.FNumber) e["f_number"] = *C.FNumber;
  if (C.FocalLength) e["focal_length"] = *C.FocalLength;
  if (!C.Make.empty()) e["make"] = C.Make;
  if (!C.Model.empty()) e["model"] = C.Model;
  if (!C.Lens.empty()) e["lens"] = C.Lens;
  if (!C.DateTime.empty()) e["date_time"] = C.DateTime;
  if (!C.Warning.empty()) e["warning"] = C.Warning;
  return e;
}

// The camera columns that end every CSV row.
std::string ExifCsv(const TCameraSettings &C) {
  return "," + ShortestNumber(C.Iso) + "," + ShortestNumber(C.ExposureTime) + "," + ShortestNumber(C.FNumber) + "," +
         ShortestNumber(C.FocalLength) + "," + CsvField(C.Make) + "," + CsvField(C.Model) + "," + CsvField(C.Lens) +
         "," + CsvField(C.DateTime);
}

} // namespace

std::string CsvField(const std::string &Text) {
  if (Text.find_first_of(",\"\r\n") == std::string::npos) return Text;
  std::string out = "\"";
  for (char c : Text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string ShortestNumber(std::optional<double> V) {
  if (!V) return "";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, *V);
  return std::string(buf, r.ptr);
}

std::string EscapeFileName(const std::string &Name) {
  std::string out;
  out.reserve(Name.size());
  for (char c : Name) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\t': out += "\\t"; break;
    case '\r': out += "\\r"; break;
    default:
      if (b < 0x20 || b == 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", b);
        out += hex;
      } else {
        out += c;
      }
    }
  }
  return out;
}

TMeasureOptions ParseMeasureArgs(int argc, char **argv, int First) {
  TMeasureOptions o;
  bool formatSeen = false;
  for (int i = First; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char *Name) -> std::string {
      const std::string prefix = std::string(Name) + "=";
      if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
      if (i + 1 >= argc) throw EUsageError(std::string(Name) + " needs a value");
      return argv[++i];
    };
    if (a == "--region" || a.rfind("--region=", 0) == 0) {
      o.Regions.push_back(ParseRegion(value("--region")));
    } else if (a == "--regions" || a.rfind("--regions=", 0) == 0) {
      for (TRegionArg &r : ReadRegionsFile(value("--regions"))) o.Regions.push_back(std::move(r));
    } else if (a == "--format" || a.rfind("--format=", 0) == 0) {
      const std::string f = value("--format");
      if (formatSeen) throw EUsageError("--format given twice");
      formatSeen = true;
      if (f == "text") o.Format = TMeasureFormat::mfText;
      else if (f == "json") o.Format = TMeasureFormat::mfJson;
      else if (f == "csv") o.Format = TMeasureFormat::mfCsv;
      else throw EUsageError("--format is text, json or csv, not \"" + f + "\"");
    } else if (a == "--histogram") {
      o.Histogram = true;
    } else if (a == "--plot" || a.rfind("--plot=", 0) == 0) {
      o.Plot = value("--plot");
      if (o.Plot.empty()) throw EUsageError("--plot needs a file name");
    } else if (a == "--by" || a.rfind("--by=", 0) == 0) {
      const std::string b = value("--by");
      if (b == "iso") o.By = TSeriesAxis::saIso;
      else if (b == "exposure") o.By = TSeriesAxis::saExposure;
      else if (b == "file") o.By = TSeriesAxis::saFile;
      else throw EUsageError("--by is iso, exposure or file, not \"" + b + "\"");
    } else if (a == "--channels" || a.rfind("--channels=", 0) == 0) {
      const std::string list = value("--channels");
      o.Channels.clear();
      std::size_t start = 0;
      while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string name = Trim(list.substr(start, comma - start));
        int found = -1;
        for (int c = 0; c < MeasureChannelCount; ++c)
          if (SameText(name, MeasureChannelNames[c]) || (SameText(name, "L") && c == ncL)) found = c;
        if (found < 0) throw EUsageError("--channels takes R, G, B, L*, RG, GB and BR, not \"" + name + "\"");
        if (std::find(o.Channels.begin(), o.Channels.end(), found) == o.Channels.end()) o.Channels.push_back(found);
        start = comma + 1;
      }
    } else if (a == "--") {
      for (++i; i < argc; ++i) o.Files.emplace_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      throw EUsageError("Unknown option " + a);
    } else {
      o.Files.push_back(a);
    }
  }
  if (o.Files.empty()) throw EUsageError("No picture file given");
  return o;
}

namespace {
std::optional<double> AxisKey(const TFileResult &F, TSeriesAxis Axis) {
  if (!F.Error.empty()) return std::nullopt;
  if (Axis == TSeriesAxis::saIso) return F.Camera.Iso;
  if (Axis == TSeriesAxis::saExposure) return F.Camera.ExposureTime;
  return std::nullopt;
}
} // namespace

TSeriesAxis SeriesAxis(const std::vector<TFileResult> &Results, TSeriesAxis By) {
  if (By != TSeriesAxis::saNone) return By;
  bool any = false;
  for (const TFileResult &f : Results) {
    if (!f.Error.empty()) continue;
    any = true;
    if (!f.Camera.Iso) return TSeriesAxis::saFile;
  }
  return any ? TSeriesAxis::saIso : TSeriesAxis::saFile;
}

void OrderSeries(std::vector<TFileResult> &Results, TSeriesAxis Axis) {
  if (Axis != TSeriesAxis::saIso && Axis != TSeriesAxis::saExposure) return;
  std::stable_sort(Results.begin(), Results.end(), [&](const TFileResult &A, const TFileResult &B) {
    const auto a = AxisKey(A, Axis), b = AxisKey(B, Axis);
    if (!a || !b) return a.has_value() && !b.has_value();
    return *a < *b;
  });
}

TPlot SeriesPlot(const std::vector<TFileResult> &Results, TSeriesAxis Axis, const std::vector<int> &Channels) {
  TPlot plot;
  plot.Axis = Axis == TSeriesAxis::saIso ? pakIso : Axis == TSeriesAxis::saExposure ? pakExposure : pakFile;
  const std::vector<int> channels = Channels.empty() ? std::vector<int>{ncL} : Channels;
  std::size_t areas = 0;
  for (const TFileResult &f : Results) {
    plot.FileNames.push_back(f.File);
    areas = std::max(areas, f.Areas.size());
  }
  for (std::size_t a = 0; a < areas; ++a)
    for (int c : channels) {
      TPlotCurve curve;
      curve.Name = (a == 0 ? std::string("picture") : "region " + std::to_string(a)) + " " + MeasureChannelNames[c];
      curve.Color = static_cast<int>(a);
      curve.Style = static_cast<int>(plot.Curves.size() % channels.size());
      for (std::size_t i = 0; i < Results.size(); ++i) {
        const TFileResult &f = Results[i];
        if (!f.Error.empty() || a >= f.Areas.size() || !f.Areas[a].Error.empty()) continue;
        const auto y = SNRatioOf(f.Areas[a].Channels[static_cast<std::size_t>(c)]);
        const auto x = plot.Axis == pakFile ? std::optional<double>(static_cast<double>(i)) : AxisKey(f, Axis);
        if (!x || !y) continue;
        curve.Points.push_back({*x, *y, IsClipped(f.Areas[a])});
      }
      std::stable_sort(curve.Points.begin(), curve.Points.end(),
                       [](const TPlotPoint &A, const TPlotPoint &B) { return A.X < B.X; });
      plot.Curves.push_back(std::move(curve));
    }
  return plot;
}

std::optional<TFittedRegion> FitRegion(const TRegionArg &Region, int PW, int PH) {
  if (Region.Corners) {
    const auto &c = *Region.Corners;
    const auto r = FitRegionCorners(c[0], c[1], c[2], c[3], PW, PH);
    if (!r) return std::nullopt;
    return TFittedRegion{r->Left, r->Top, r->Width(), r->Height()};
  }
  const long long x1 = Region.Left, y1 = Region.Top;
  const auto r = FitRegionCorners(x1, y1, x1 + Region.Width, y1 + Region.Height, PW, PH);
  if (!r) return std::nullopt;
  return TFittedRegion{r->Left, r->Top, r->Width(), r->Height()};
}

std::optional<double> SMeanOf(const TChannelFigures &C) {
  if (C.SCount == 0) return std::nullopt;
  return static_cast<double>(C.SSum) / static_cast<double>(C.SCount);
}

std::optional<double> NMeanOf(const TChannelFigures &C) {
  if (C.NCount == 0) return std::nullopt;
  return static_cast<double>(C.NSum) / static_cast<double>(C.NCount);
}

std::optional<double> ClippedShareOf(const TChannelFigures &C) {
  if (C.SCount == 0) return std::nullopt;
  return static_cast<double>(C.Clipped) / static_cast<double>(C.SCount);
}

bool IsClipped(const TAreaResult &Area) {
  if (!Area.Error.empty()) return false;
  return std::any_of(Area.Channels.begin(), Area.Channels.end(), [](const TChannelFigures &C) {
    const auto s = ClippedShareOf(C);
    return s && *s > ClippedMarkShare;
  });
}

std::optional<double> SNRatioOf(const TChannelFigures &C) {
  const auto s = SMeanOf(C), n = NMeanOf(C);
  if (!s || !n || *n <= 0 || *s <= 0) return std::nullopt;
  return 10.0 * std::log10(*s / *n);
}

void WriteText(std::ostream &Out, const std::vector<TFileResult> &Results, bool Histogram) {
  bool firstFile = true;
  for (const TFileResult &f : Results) {
    if (!f.Error.empty()) continue;
    if (!firstFile) Out << "\n";
    firstFile = false;
    Out << EscapeFileName(f.File);
    if (!f.Picture.empty()) Out << " (picture " << EscapeFileName(f.Picture) << ")";
    Out << ": " << f.Width << " x " << f.Height << " pixels\n";
    if (const std::string camera = f.Camera.Summary(); !camera.empty()) Out << "camera: " << camera << "\n";
    for (const TAreaResult &a : f.Areas) {
      Out << "\n";
      if (!a.Error.empty()) {
        Out << "region " << a.Requested << ": " << a.Error << "\n";
        continue;
      }
      Out << AreaTitle(a) << (IsClipped(a) ? "  (clipped)" : "") << "\n";
      char line[160];
      std::snprintf(line, sizeof line, "  %-7s %14s %10s %10s\n", "channel", "S/N ratio dB",
                    "S mean", "N mean");
      Out << line;
      for (int c = 0; c < MeasureChannelCount; ++c) {
        const TChannelFigures &ch = a.Channels[static_cast<std::size_t>(c)];
        std::snprintf(line, sizeof line, "  %-7s %14s %10s %10s", MeasureChannelNames[c],
                      Fixed2(ch.SNRatio).c_str(), Fixed2(ch.SMean).c_str(),
                      Fixed2(ch.NMean).c_str());
        Out << line;
        // Only where it matters, so the table of a well-exposed area stays as it always was.
        if (const auto share = ClippedShareOf(ch); share && *share > ClippedMarkShare) {
          std::snprintf(line, sizeof line, "   clipped %.1f%%", 100.0 * *share);
          Out << line;
        }
        Out << "\n";
      }
      if (Histogram) {
        for (int c = 0; c < MeasureChannelCount; ++c) {
          Out << "  histogram " << MeasureChannelNames[c] << ":";
          for (std::int64_t v : a.Channels[static_cast<std::size_t>(c)].Histogram) Out << ' ' << v;
          Out << "\n";
        }
      }
    }
  }
}

void WriteJson(std::ostream &Out, const std::vector<TFileResult> &Results) {
  nlohmann::json files = nlohmann::json::array();
  for (const TFileResult &f : Results) {
    if (!f.Error.empty()) {
      files.push_back({{"file", f.File}, {"error", f.Error}});
      continue;
    }
    nlohmann::json areas = nlohmann::json::array();
    for (const TAreaResult &a : f.Areas) {
      nlohmann::json area;
      area["name"] = a.IsRegion ? "region" : "picture";
      if (!a.Error.empty()) {
        area["requested"] = a.Requested;
        area["error"] = a.Error;
        areas.push_back(std::move(area));
        continue;
      }
      area["left"] = a.Left;
      area["top"] = a.Top;
      area["width"] = a.Width;
      area["height"] = a.Height;
      area["clipped"] = IsClipped(a);
      nlohmann::json channels = nlohmann::json::object();
      for (int c = 0; c < MeasureChannelCount; ++c) {
        const TChannelFigures &ch = a.Channels[static_cast<std::size_t>(c)];
        channels[MeasureChannelNames[c]] = {
            {"s_sum", ch.SSum},         {"s_count", ch.SCount},
            {"n_sum", ch.NSum},         {"n_count", ch.NCount},
            {"s_mean", Optional(SMeanOf(ch))}, {"n_mean", Optional(NMeanOf(ch))},
            {"snr_db", Optional(SNRatioOf(ch))}, {"clipped", Optional(ClippedShareOf(ch))},
            {"histogram", ch.Histogram}};
      }
      area["channels"] = std::move(channels);
      areas.push_back(std::move(area));
    }
    nlohmann::json file = {{"file", f.File}};
    if (!f.Picture.empty()) file["picture"] = f.Picture;
    file["width"] = f.Width;
    file["height"] = f.Height;
    file["exif"] = ExifJson(f.Camera);
    file["areas"] = std::move(areas);
    files.push_back(std::move(file));
  }
  // File names need not be valid UTF-8; such bytes are replaced rather than failing the output.
  Out << files.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

std::string CsvHeader(bool Histogram) {
  std::string h = "file,area,left,top,width,height,channel,s_sum,s_count,n_sum,n_count,s_mean,"
                  "n_mean,snr_db,error";
  if (Histogram)
    for (int i = 0; i < 256; ++i) h += ",h" + std::to_string(i);
  return h + ",iso,exposure_time,f_number,focal_length,make,model,lens,date_time,clipped";
}

void WriteCsv(std::ostream &Out, const std::vector<TFileResult> &Results, bool Histogram) {
  Out << CsvHeader(Histogram) << "\n";
  for (const TFileResult &f : Results) {
    if (!f.Error.empty()) {
      Out << CsvField(f.File) << ",,,,,,,,,,,,,," << CsvField(f.Error);
      if (Histogram)
        for (int i = 0; i < 256; ++i) Out << ',';
      Out << ExifCsv(TCameraSettings{}) << ",\n";
      continue;
    }
    for (const TAreaResult &a : f.Areas) {
      const std::string head = CsvField(f.File) + "," + (a.IsRegion ? "region" : "picture");
      if (!a.Error.empty()) {
        Out << head << ",,,,,,,,,,,,," << CsvField(a.Requested + ": " + a.Error);
        if (Histogram)
          for (int i = 0; i < 256; ++i) Out << ',';
        Out << ExifCsv(f.Camera) << ",\n";
        continue;
      }
      for (int c = 0; c < MeasureChannelCount; ++c) {
        const TChannelFigures &ch = a.Channels[static_cast<std::size_t>(c)];
        Out << head << ',' << a.Left << ',' << a.Top << ',' << a.Width << ',' << a.Height << ','
            << MeasureChannelNames[c] << ',' << ch.SSum << ',' << ch.SCount << ',' << ch.NSum
            << ',' << ch.NCount << ',' << ShortestNumber(SMeanOf(ch)) << ','
            << ShortestNumber(NMeanOf(ch)) << ',' << ShortestNumber(SNRatioOf(ch)) << ',';
        if (Histogram)
          for (std::int64_t v : ch.Histogram) Out << ',' << v;
        Out << ExifCsv(f.Camera) << ',' << ShortestNumber(ClippedShareOf(ch)) << "\n";
      }
    }
  }
}

std::string MeasureUsage() {
  return "Usage: kalvex --measure FILE... [--region L,T,W,H]... [--regions FILE]... "
         "[--format text|json|csv] [--histogram] [--plot FILE [--by iso|exposure|file] [--channels LIST]]\n"
         "  Measures JPEG and BMP pictures without a window: for the whole picture and for each\n"
         "  region (left, top, width, height in pixels, fitted into the picture) the S/N ratio\n"
         "  in dB, S mean and N mean of the channels R, G, B, L*, RG, GB and BR.\n"
         "  A FILE may be a .KalvexProject: its embedded picture, or the picture it names, is\n"
         "  measured with the project's regions (and those of the command line).\n"
         "  --regions    the regions of a .KalvexRegions file (or of any project file), fitted\n"
         "               as the window fits them; all regions are measured in command-line order\n"
         "  --format     text (default), json or csv\n"
         "               json: one array, an object per FILE in order (\"error\" for a failed one)\n"
         "               csv: a row per file, area and channel (a failed file or region: one row\n"
         "               with its \"error\"); numbers in their shortest exact form\n"
         "  --histogram  add the 256-entry difference histograms to text and csv (json has them)\n"
         "  --plot FILE  draw the S/N ratio of every area against --by as SVG (FILE.svg) or PNG\n"
         "  --by         iso, exposure or file: the plot's axis and the order of the output (with\n"
         "               --plot alone: iso when every picture has an ISO, else the files' order)\n"
         "  --channels   the channels plotted, as a list such as L*,R (default L*)\n"
         "  --           every further argument is a file\n"
         "  Messages go to stderr; with several files a progress line too, when it is a terminal.\n"
         "  Exit status: 0 all measured, 1 a file, regions file or region failed, 2 wrong arguments.\n"
         "  See kalvex(1) for the output formats.\n";
}
