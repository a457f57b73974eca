// The platform bitmap (a QImage: 24 bits as bytes blue, green, red, or 8 bits with a 256-entry
// colour table), BMP reading and writing, and the drawing surface TCanvas.
//
// Threads: a bitmap may be filled on any thread, one thread at a time; Lock/Unlock (the bitmap's
// own recursive lock, also reached through its canvas) serialises users that share one. Row
// addresses from ScanLine stay valid until the size or pixel format changes.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/untClasses.h"
#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

class QPainter;

// Colours are 0x00BBGGRR. Values with the top bit set name system colours (0x80000000 | index).
using TColor = std::int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clGreen = 0x008000;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clWindow = static_cast<TColor>(0x80000005u);
constexpr TColor clWindowText = static_cast<TColor>(0x80000008u);
constexpr TColor clHighlight = static_cast<TColor>(0x8000000Du);
constexpr TColor clHighlightText = static_cast<TColor>(0x8000000Eu);
constexpr TColor clBtnFace = static_cast<TColor>(0x8000000Fu);
constexpr TColor clBtnShadow = static_cast<TColor>(0x80000010u);
constexpr TColor clGrayText = static_cast<TColor>(0x80000011u);
constexpr TColor clBtnText = static_cast<TColor>(0x80000012u);
constexpr TColor clBtnHighlight = static_cast<TColor>(0x80000014u);
constexpr TColor CLR_INVALID = static_cast<TColor>(0xFFFFFFFFu);

// Resolves system colours to their RGB value (from the application palette); others unchanged.
TColor ColorToRGB(TColor Color);
inline TColor RGBColor(int R, int G, int B) { return (R & 0xFF) | ((G & 0xFF) << 8) | ((B & 0xFF) << 16); }
inline int GetRValue(TColor C) { return C & 0xFF; }
inline int GetGValue(TColor C) { return (C >> 8) & 0xFF; }
inline int GetBValue(TColor C) { return (C >> 16) & 0xFF; }
QColor ToQColor(TColor Color);
TColor FromQColor(const QColor &Color);

// The fixed-width font that stands for "Courier New". Every text drawn in that family takes its
// face from here; tests pin it with SetFixedWidthFontForTests (nullopt restores the system's).
QFont FixedWidthFont();
void SetFixedWidthFontForTests(const std::optional<QFont> &Font);

enum TPixelFormat { pf8bit, pf24bit };
enum TPenStyle { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear };
enum TPenMode { pmCopy, pmXor, pmNot };
enum TBrushStyle { bsSolid, bsClear };
enum TCopyMode { cmSrcCopy, cmSrcInvert };
constexpr TCopyMode SRCCOPY = cmSrcCopy;
constexpr TCopyMode SRCINVERT = cmSrcInvert;

struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect &) const = default;
};
inline TRect Rect(int L, int T, int R, int B) { return TRect{L, T, R, B}; }

struct TPen {
  TColor Color = clBlack;
  TPenStyle Style = psSolid;
  TPenMode Mode = pmCopy;
};
struct TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = bsSolid;
};
struct TFont {
  std::string Name = "MS Sans Serif";
  int Height = 13; // pixels
  bool Bold = false;
  TColor Color = clWindowText;
};
// The Qt font for a TFont: "Courier New" becomes FixedWidthFont(), "MS Sans Serif" (and an empty
// name) the application's interface font; other names are asked for as they are.
QFont ResolveFont(const TFont &Font);

class TBitmap;

// A drawing surface on a bitmap or, during painting, on a QPainter the caller owns. On a bitmap
// every operation begins and ends its own QPainter, so row addresses stay untouched between
// calls. Coordinates follow the platform: rectangles exclude their right and bottom edge, LineTo
// does not draw its end pixel. Drawing on an 8-bit bitmap is limited to Pixels.
class TCanvas : public TObject {
public:
  explicit TCanvas(TBitmap *Bitmap);
  explicit TCanvas(QPainter *Painter);
  ~TCanvas() override;
  TCanvas(const TCanvas &) = delete;
  TCanvas &operator=(const TCanvas &) = delete;

  TPen Pen;
  TBrush Brush;
  TFont Font;
  TCopyMode CopyMode = cmSrcCopy;

  void MoveTo(int X, int Y);
  void LineTo(int X, int Y);
  int PenX() const { return FPenX; }
  int PenY() const { return FPenY; }
  // Outline with the pen, inside with the brush (hollow brush: outline only).
  void Rectangle(int X1, int Y1, int X2, int Y2);
  void Rectangle(const TRect &R) { Rectangle(R.Left, R.Top, R.Right, R.Bottom); }
  void FillRect(const TRect &R); // brush colour, copy mode, no outline
  // Text with its top-left corner at (X, Y); a solid brush paints the text's cell first.
  void TextOut(int X, int Y, const std::string &Text);
  int TextWidth(const std::string &Text);
  int TextHeight(const std::string &Text);

  TColor Pixel(int X, int Y);            // CLR_INVALID outside
  void SetPixel(int X, int Y, TColor C); // ignored outside

  // Copies (stretching when the sizes differ, nearest pixel) Source's SourceRect into Dest with
  // CopyMode (SRCCOPY or SRCINVERT).
  void CopyRect(const TRect &Dest, TCanvas &Source, const TRect &SourceRect);
  void Draw(int X, int Y, TBitmap &Source);
  void StretchDraw(const TRect &Dest, TBitmap &Source);

  void Lock();
  void Unlock();
  bool TryLock();

  TBitmap *Bitmap() const { return FBitmap; }

  // Drawing on a bitmap in units of Scale x Scale pixels (1: pixel for pixel): a picture for a
  // high-density screen is drawn at its device size with the same layout, and its text is
  // rendered at that resolution instead of being enlarged afterwards. Every operation, Pixel and
  // SetPixel and text measuring included, works in the units of the drawing; only the source
  // rectangle of a copy is in the source bitmap's own pixels.
  // A fractional scale (a screen at 125 % or 150 %) is drawn at exactly the device's pixels too.
  double Scale() const { return FScale; }
  void SetScale(double Value) { FScale = Value < 1.0 ? 1.0 : Value; }

  // For its life, the canvas of a 24-bit bitmap draws through one painter: many small operations
  // in a row (a chart's lines, each a painter of its own otherwise) cost far less, with the same
  // pixels. Hold the canvas's lock around it, set the scale before, and neither resize the bitmap
  // nor read its image until it ends. Nested sessions and other canvases: nothing changes.
  class TPaintSession {
  public:
    explicit TPaintSession(TCanvas &Canvas);
    ~TPaintSession();
    TPaintSession(const TPaintSession &) = delete;
    TPaintSession &operator=(const TPaintSession &) = delete;

  private:
    TCanvas &FCanvas;
    std::unique_ptr<QPainter> FPainter;
  };

private:
  template <class F> void Paint(F &&Body);
  void PlotRun(QPainter &P, const std::vector<QPoint> &Points, TColor Color, TPenMode Mode);
  void DrawImage(const TRect &Dest, const QImage &Source, const TRect &SourceRect);

  TBitmap *FBitmap = nullptr;  // not owned
  QPainter *FPainter = nullptr; // not owned
  QPainter *FSession = nullptr; // the painter of a TPaintSession, while one lives
  double FScale = 1.0;
  std::recursive_mutex FOwnLock; // for painter canvases
  int FPenX = 0, FPenY = 0;
};

// Sizes, offsets and depth that a BMP header announces, checked against the stream's length.
struct TBmpInfo {
  int Width = 0;
  int Height = 0; // always positive; TopDown tells the row order
  bool TopDown = false;
  int BitCount = 0;
  int Compression = 0;
  int HeaderSize = 0;          // of the info header (12 for the core header)
  std::uint32_t PixelOffset = 0; // from the start of the file
  std::int64_t RowBytes = 0;   // of the stored rows; 0 when the pixels are compressed
};
// Reads and checks the BMP headers at the stream's position (the position is restored). Raises
// EReadError for a stream that is no BMP, whose headers are malformed, or whose uncompressed pixel
// data is not all there. SizeCheck (when set) judges the announced size first, so a picture too
// large to hold is called that even when only its header is there.
TBmpInfo ReadBmpInfo(TStream &Stream, const std::function<void(int, int)> &SizeCheck = {});

// Bytes rounded up to whole 2 MiB pages, aligned to them and advised to use transparent huge
// pages (a hint; without them only slower); not cleared. nullptr when out of memory; freed with
// std::free.
void *AllocateHugePages(std::size_t Bytes);

// The freed pixel buffers of large pictures are kept for the next picture of the same size. The
// bytes kept now; and their release (when the memory is wanted elsewhere).
std::size_t KeptPixelBufferBytes();
void ReleaseKeptPixelBuffers();

class TBitmap : public TPersistent {
public:
  TBitmap();
  ~TBitmap() override;
  TBitmap(const TBitmap &) = delete;
  TBitmap &operator=(const TBitmap &) = delete;

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  bool Empty() const { return FWidth <= 0 || FHeight <= 0; }
  // Changing a side keeps the pixels that remain inside (new ones are 0); raises EOutOfMemory when
  // the picture cannot be allocated.
  void SetWidth(int Value);
  void SetHeight(int Value);
  void SetSize(int AWidth, int AHeight);
  // For a picture whose every pixel is written next: the size, with the old pixels gone and the
  // new ones left as the allocation gave them (not cleared).
  void SetSizeForOverwrite(int AWidth, int AHeight);
  TPixelFormat PixelFormat() const { return FPixelFormat; }
  void SetPixelFormat(TPixelFormat Value); // converts the pixels

  // The 256-entry colour table of an 8-bit bitmap (TColor values).
  void SetColorTable(const std::vector<TColor> &Table);
  std::vector<TColor> ColorTable() const;

  // Row Y (0 = top). Raises EInvalidOperation ("Scan line index out of range") outside 0..Height-1.
  std::uint8_t *ScanLine(int Y);
  const std::uint8_t *ScanLine(int Y) const;
  int BytesPerPixel() const { return FPixelFormat == pf24bit ? 3 : 1; }

  TCanvas *Canvas();
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  bool TryLock() { return FLock.try_lock(); }

  // Any BMP the Qt reader takes (all bit depths); an 8-bit indexed file stays 8 bits, everything
  // else becomes 24 bits. SizeCheck (when set) is called with the announced size before the pixels
  // are read and may raise to refuse it. Uncompressed pixels go through the reader in bands of
  // rows, so its own limits on a picture's size apply to a band only. On failure the bitmap keeps
  // its content.
  void LoadFromStream(TStream &Stream, const std::function<void(int, int)> &SizeCheck = {});
  void LoadFromFile(const std::string &FileName, const std::function<void(int, int)> &SizeCheck = {});
  // Writes a BMP (bottom-up rows, 40-byte header; 8-bit with its 256 colours).
  void SaveToStream(TStream &Stream) const;
  // Written through a temporary file renamed over the target.
  void SaveToFile(const std::string &FileName) const;

  // Copies another bitmap (size, format, colours, pixels).
  void Assign(const TPersistent *Source) override;

  // The image itself, for drawing it on a widget; an empty bitmap has a null image.
  const QImage &Image() const { return FImage; }
  // Replaces the content by Image converted to this bitmap's format (8-bit: Indexed8 kept only
  // when Image already is Indexed8, otherwise the bitmap becomes 24 bits).
  void SetImage(const QImage &Image);

private:
  void Reallocate(int AWidth, int AHeight, bool Clear = true);
  QImage::Format QtFormat() const;

  std::recursive_mutex FLock;
  QImage FImage;
  int FWidth = 0;
  int FHeight = 0;
  TPixelFormat FPixelFormat = pf24bit;
  QList<QRgb> FColors; // 256 entries for 8 bits
  std::unique_ptr<TCanvas> FCanvas;
};
