#include "engine/untKalvPlot.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/untClasses.h"
#include "platform/untSysUtils.h"

namespace {

constexpr std::uint32_t Palette[] = {0x1f77b4, 0xd62728, 0x2ca02c, 0xff7f0e, 0x9467bd,
                                     0x8c564b, 0xe377c2, 0x17becf, 0x7f7f7f, 0xbcbd22};

bool LogAxis(TPlotAxisKind Axis) { return Axis == pakIso || Axis == pakExposure; }

std::string Number(double V) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", V);
  return buf;
}

std::string XLabel(const TPlot &Plot, double V) {
  switch (Plot.Axis) {
  case pakIso: return Number(V);
  case pakExposure: return V < 0.5 ? "1/" + Number(std::round(1.0 / V)) : Number(V);
  case pakFile: {
    const auto i = static_cast<std::size_t>(std::lround(V));
    if (i >= Plot.FileNames.size()) return {};
    // The file's own name, without its folders.
    const std::string &f = Plot.FileNames[i];
    const std::size_t slash = f.find_last_of('/');
    return slash == std::string::npos ? f : f.substr(slash + 1);
  }
  }
  return {};
}

// Ticks of a linear axis at 1, 2 or 5 times a power of ten, about five to eight of them.
std::vector<double> LinearTicks(double Lo, double Hi) {
  const double range = Hi - Lo;
  const double raw = range / 8;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (mag * m >= raw) {
      step = mag * m;
      break;
    }
  std::vector<double> t;
  for (double v = std::ceil(Lo / step) * step; v <= Hi + step * 1e-9; v += step) t.push_back(std::abs(v) < step * 1e-9 ? 0 : v);
  return t;
}

Qt::PenStyle StyleOf(int Index) {
  constexpr Qt::PenStyle styles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine, Qt::DashDotLine};
  return styles[((Index % 4) + 4) % 4];
}

// A range with room at both ends: Share of its width, or Half on each side when it is one value.
void Widen(double &Lo, double &Hi, double Half, double Share) {
  const double pad = Hi - Lo < 1e-9 ? Half : (Hi - Lo) * Share;
  Lo -= pad;
  Hi += pad;
}

QColor ColorOf(int Index) {
  const std::uint32_t c = PlotCurveColor(Index);
  return QColor(static_cast<int>(c >> 16 & 0xFF), static_cast<int>(c >> 8 & 0xFF), static_cast<int>(c & 0xFF));
}

} // namespace

std::uint32_t PlotCurveColor(int Index) {
  constexpr int n = static_cast<int>(sizeof Palette / sizeof Palette[0]);
  return Palette[((Index % n) + n) % n];
}

std::string PlotAxisTitle(TPlotAxisKind Axis) {
  switch (Axis) {
  case pakIso: return "ISO";
  case pakExposure: return "exposure time (s)";
  case pakFile: return "file";
  }
  return {};
}

void DrawPlot(QPainter &P, const QRectF &Area, const TPlot &Plot) {
  P.save();
  P.setRenderHint(QPainter::Antialiasing, true);
  P.fillRect(Area, Qt::white);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(12);
  P.setFont(font);
  const QFontMetricsF fm(font);

  // The ranges, from the points that are there.
  double xLo = std::numeric_limits<double>::max(), xHi = -xLo, yLo = xLo, yHi = -xLo;
  const bool log = LogAxis(Plot.Axis);
  const auto xv = [&](double X) { return log ? std::log2(X) : X; };
  for (const TPlotCurve &c : Plot.Curves)
    for (const TPlotPoint &p : c.Points) {
      if (log && p.X <= 0) continue;
      xLo = std::min(xLo, xv(p.X));
      xHi = std::max(xHi, xv(p.X));
      yLo = std::min(yLo, p.Y);
      yHi = std::max(yHi, p.Y);
    }
  const bool any = xLo <= xHi;
  if (!any) {
    xLo = 0;
    xHi = 1;
    yLo = 0;
    yHi = 1;
  }
  if (Plot.Axis == pakFile && !Plot.FileNames.empty()) {
    xLo = 0;
    xHi = static_cast<double>(Plot.FileNames.size() - 1);
  }
  Widen(xLo, xHi, 0.5, 0.05);
  Widen(yLo, yHi, 1, 0.08);

  // The legend to the right, as wide as its longest name.
  double legendW = 0;
  for (const TPlotCurve &c : Plot.Curves) legendW = std::max(legendW, fm.horizontalAdvance(QString::fromStdString(c.Name)));
  legendW = Plot.Curves.empty() ? 0 : legendW + 40;
  const double line = fm.height();
  const QRectF plot(Area.left() + fm.horizontalAdvance(QStringLiteral("-000.0")) + line + 16, Area.top() + line,
                    Area.width() - legendW - fm.horizontalAdvance(QStringLiteral("-000.0")) - line - 36,
                    Area.height() - 3 * line - 24);
  if (plot.width() < 20 || plot.height() < 20) {
    P.restore();
    return;
  }
  const auto px = [&](double X) { return plot.left() + (xv(X) - xLo) / (xHi - xLo) * plot.width(); };
  const auto py = [&](double Y) { return plot.bottom() - (Y - yLo) / (yHi - yLo) * plot.height(); };

  // Grid, ticks and their labels.
  const QPen grid(QColor(220, 220, 220), 1), axis(Qt::black, 1);
  std::vector<double> xt;
  if (Plot.Axis == pakFile) {
    for (std::size_t i = 0; i < Plot.FileNames.size(); ++i) xt.push_back(static_cast<double>(i));
  } else if (any) {
    // A series is shot at stops (ISO 100, 200, 400; 1/250, 1/125 s): its own values are the
    // ticks, unless there are too many to label.
    for (const TPlotCurve &c : Plot.Curves)
      for (const TPlotPoint &p : c.Points)
        if (p.X > 0 && std::find(xt.begin(), xt.end(), p.X) == xt.end()) xt.push_back(p.X);
    if (xt.size() > 12) {
      xt.clear();
      for (double e = std::ceil(xLo); e <= std::floor(xHi); e += 1) xt.push_back(std::exp2(e));
    }
  }
  // File names are shortened to the room between two ticks; a label that would still run into the
  // one before it is left out (its grid line stays).
  const double room = Plot.Axis == pakFile && xt.size() > 1 ? px(xt[1]) - px(xt[0]) - 6 : plot.width();
  double lastRight = -1e9;
  for (double t : xt) {
    const double x = px(t);
    P.setPen(grid);
    P.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    P.setPen(axis);
    QString label = QString::fromStdString(XLabel(Plot, t));
    if (Plot.Axis == pakFile) {
      const double edge = 2 * std::min(x - Area.left(), Area.right() - x); // centred, inside the area
      label = fm.elidedText(label, Qt::ElideMiddle, std::max(std::min(room, edge), 6.0 * fm.averageCharWidth()));
    }
    const double w = fm.horizontalAdvance(label);
    const double left = std::clamp(x - w / 2, Area.left(), std::max(Area.left(), Area.right() - w));
    if (left < lastRight + 3) continue;
    P.drawText(QPointF(left, plot.bottom() + line + 2), label);
    lastRight = left + w;
  }
  for (double t : LinearTicks(yLo, yHi)) {
    const double y = py(t);
    P.setPen(grid);
    P.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    P.setPen(axis);
    const QString label = QString::fromStdString(Number(t));
    P.drawText(QPointF(plot.left() - fm.horizontalAdvance(label) - 6, y + fm.ascent() / 2 - 1), label);
  }
  P.setPen(axis);
  P.setBrush(Qt::NoBrush);
  P.drawRect(plot);

  // The axis titles.
  const QString xTitle = QString::fromStdString(PlotAxisTitle(Plot.Axis));
  P.drawText(QPointF(plot.center().x() - fm.horizontalAdvance(xTitle) / 2, plot.bottom() + 2 * line + 8), xTitle);
  const QString yTitle = QStringLiteral("S/N ratio (dB)");
  P.save();
  P.translate(Area.left() + line, plot.center().y() + fm.horizontalAdvance(yTitle) / 2);
  P.rotate(-90);
  P.drawText(QPointF(0, 0), yTitle);
  P.restore();

  // The curves: lines between the points in X order, a dot per point, hollow where clipped.
  for (std::size_t i = 0; i < Plot.Curves.size(); ++i) {
    const TPlotCurve &c = Plot.Curves[i];
    const QColor color = ColorOf(c.Color);
    QPainterPath path;
    bool first = true;
    for (const TPlotPoint &p : c.Points) {
      if (log && p.X <= 0) continue;
      const QPointF at(px(p.X), py(p.Y));
      if (first) path.moveTo(at);
      else path.lineTo(at);
      first = false;
    }
    P.setPen(QPen(color, 1.5, StyleOf(c.Style)));
    P.setBrush(Qt::NoBrush);
    P.drawPath(path);
    for (const TPlotPoint &p : c.Points) {
      if (log && p.X <= 0) continue;
      P.setPen(QPen(color, 1.5));
      P.setBrush(p.Hollow ? QBrush(Qt::white) : QBrush(color));
      P.drawEllipse(QPointF(px(p.X), py(p.Y)), 3.5, 3.5);
    }
    // Its legend entry.
    const double ly = plot.top() + line * (static_cast<double>(i) + 0.5) + 4;
    const double lx = plot.right() + 14;
    P.setPen(QPen(color, 1.5, StyleOf(c.Style)));
    P.drawLine(QPointF(lx, ly), QPointF(lx + 18, ly));
    P.setPen(QPen(color, 1.5));
    P.setBrush(QBrush(color));
    P.drawEllipse(QPointF(lx + 9, ly), 3, 3);
    P.setPen(axis);
    P.drawText(QPointF(lx + 24, ly + fm.ascent() / 2 - 1), QString::fromStdString(c.Name));
  }
  if (std::any_of(Plot.Curves.begin(), Plot.Curves.end(),
                  [](const TPlotCurve &c) { return std::any_of(c.Points.begin(), c.Points.end(), [](const TPlotPoint &p) { return p.Hollow; }); })) {
    const double ly = plot.top() + line * (static_cast<double>(Plot.Curves.size()) + 1) + 4;
    const double lx = plot.right() + 14;
    P.setPen(QPen(Qt::black, 1.5));
    P.setBrush(Qt::white);
    P.drawEllipse(QPointF(lx + 9, ly), 3.5, 3.5);
    P.drawText(QPointF(lx + 24, ly + fm.ascent() / 2 - 1), QStringLiteral("clipped (> 1%)"));
  }
  P.restore();
}

void SavePlot(const TPlot &Plot, const std::string &FileName, QSize Size) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  std::string lower = FileName;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool svg = lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".svg") == 0;
  if (svg) {
    QSvgGenerator gen;
    gen.setOutputDevice(&buffer);
    gen.setSize(Size);
    gen.setViewBox(QRect(QPoint(0, 0), Size));
    gen.setTitle(QStringLiteral("S/N ratio"));
    QPainter p(&gen);
    DrawPlot(p, QRectF(QPointF(0, 0), QSizeF(Size)), Plot);
  } else {
    QImage image(Size, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
      QPainter p(&image);
      DrawPlot(p, QRectF(QPointF(0, 0), QSizeF(Size)), Plot);
    }
    if (!image.save(&buffer, "PNG")) throw Exception(Format("Cannot make the plot \"%s\"", FileName));
  }
  WriteFileAtomically(FileName, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
