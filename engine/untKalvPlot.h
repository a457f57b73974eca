// The series plot: S/N ratio in dB of every area against ISO, exposure time or file, one curve
// per area and channel, with axis titles, units and a legend; a clipped point is drawn hollow.
//
// One QPainter routine draws it, so the window and the headless build (which has no widgets)
// show the same plot; SavePlot writes it as SVG (QSvgGenerator) or PNG by the file's extension.
// Drawing text needs a QGuiApplication.
#pragma once

#include <QRectF>
#include <QSize>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QPainter;

enum TPlotAxisKind : std::uint8_t { pakIso, pakExposure, pakFile };

struct TPlotPoint {
  double X = 0;  // ISO, seconds, or the file's index
  double Y = 0;  // dB
  bool Hollow = false; // the area is clipped there
};

struct TPlotCurve {
  std::string Name; // "picture L*", "region 1 L*"
  std::vector<TPlotPoint> Points; // in X order
  int Color = 0; // the palette's colour: one per area
  int Style = 0; // solid, dashed, dotted, dash-dotted: one per channel
};

struct TPlot {
  TPlotAxisKind Axis = pakFile;
  std::vector<std::string> FileNames; // the file axis's labels, by index
  std::vector<TPlotCurve> Curves;
};

// The axis's title with its unit: "ISO", "exposure time (s)", "file".
std::string PlotAxisTitle(TPlotAxisKind Axis);

// Draws Plot into Area (white background, black axes).
void DrawPlot(QPainter &Painter, const QRectF &Area, const TPlot &Plot);

// Writes Plot to FileName, replacing it whole: SVG for the extension .svg (any case), PNG
// otherwise. Raises Exception when it cannot be written.
void SavePlot(const TPlot &Plot, const std::string &FileName, QSize Size = QSize(900, 560));

// The colour of curve Index (a palette that repeats).
std::uint32_t PlotCurveColor(int Index);
