#include "platform/untBitmaps.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Colours and fonts

TColor ColorToRGB(TColor Color) {
  if ((static_cast<std::uint32_t>(Color) & 0x80000000u) == 0 || Color == CLR_INVALID) return Color;
  const QPalette pal = QGuiApplication::palette();
  QColor c;
  switch (Color & 0xFF) {
  case 5: c = pal.color(QPalette::Base); break;
  case 8: c = pal.color(QPalette::WindowText); break;
  case 13: c = pal.color(QPalette::Highlight); break;
  case 14: c = pal.color(QPalette::HighlightedText); break;
  case 15: c = pal.color(QPalette::Button); break;
  case 16: c = pal.color(QPalette::Dark); break;
  case 17: c = pal.color(QPalette::Disabled, QPalette::Text); break;
  case 18: c = pal.color(QPalette::ButtonText); break;
  case 20: c = pal.color(QPalette::Light); break;
  default: c = pal.color(QPalette::Window); break;
  }
  return RGBColor(c.red(), c.green(), c.blue());
}

QColor ToQColor(TColor Color) {
  const TColor c = ColorToRGB(Color);
  return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

TColor FromQColor(const QColor &Color) { return RGBColor(Color.red(), Color.green(), Color.blue()); }

namespace {
std::mutex GFontLock;
std::optional<QFont> GFixedFontOverride;
} // namespace

QFont FixedWidthFont() {
  {
    std::lock_guard<std::mutex> g(GFontLock);
    if (GFixedFontOverride) return *GFixedFontOverride;
  }
  return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

void SetFixedWidthFontForTests(const std::optional<QFont> &Font) {
  std::lock_guard<std::mutex> g(GFontLock);
  GFixedFontOverride = Font;
}

QFont ResolveFont(const TFont &Font) {
  QFont f;
  if (Font.Name == "Courier New") {
    f = FixedWidthFont();
  } else if (Font.Name.empty() || Font.Name == "MS Sans Serif") {
    f = QGuiApplication::font();
  } else {
    f = QFont(QString::fromStdString(Font.Name));
  }
  f.setPixelSize(std::max(1, Font.Height < 0 ? -Font.Height : Font.Height));
  f.setBold(Font.Bold);
  return f;
}

// ---------------------------------------------------------------------------------------------
// BMP headers

namespace {

std::uint32_t U32(const std::uint8_t *p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t U16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

[[noreturn]] void BadBmp(const std::string &Why) { throw EReadError("Invalid BMP file: " + Why); }

} // namespace

TBmpInfo ReadBmpInfo(TStream &Stream, const std::function<void(int, int)> &SizeCheck) {
  const std::int64_t start = Stream.Position();
  const std::int64_t size = Stream.Size() - start;
  std::uint8_t h[14 + 124] = {};
  if (size <= 0) throw EReadError("The BMP picture is empty (0 bytes)");
  const std::int64_t got = Stream.Read(h, sizeof h);
  Stream.SetPosition(start);
  if (got < 14 + 12 || h[0] != 'B' || h[1] != 'M') BadBmp("not a BMP picture");
  const std::uint32_t offBits = U32(h + 10);
  const std::uint32_t hdrSize = U32(h + 14);
  // The header sizes the format knows: core (12), OS/2 2.x (16..64), info (40) and its v2..v5.
  if (hdrSize < 12 || hdrSize > 124 || (hdrSize > 12 && hdrSize < 16)) BadBmp("unknown header size");
  if (got < 14 + static_cast<std::int64_t>(hdrSize)) BadBmp("header cut short");
  TBmpInfo info;
  std::int64_t w, hgt;
  int planes;
  if (hdrSize == 12) {
    w = U16(h + 18);
    hgt = static_cast<std::int16_t>(U16(h + 20));
    planes = U16(h + 22);
    info.BitCount = U16(h + 24);
  } else {
    w = static_cast<std::int32_t>(U32(h + 18));
    hgt = static_cast<std::int32_t>(U32(h + 22));
    planes = U16(h + 26);
    info.BitCount = U16(h + 28);
    info.Compression = hdrSize >= 20 ? static_cast<int>(U32(h + 30)) : 0;
  }
  if (planes != 1) BadBmp("plane count is not 1");
  switch (info.BitCount) {
  case 1: case 4: case 8: case 16: case 24: case 32: break;
  default: BadBmp("unsupported bit depth");
  }
  if (hgt < 0) {
    info.TopDown = true;
    hgt = -hgt;
  }
  if (w <= 0 || hgt <= 0 || w > std::numeric_limits<int>::max() || hgt > std::numeric_limits<int>::max())
    BadBmp("width or height is not positive");
  info.Width = static_cast<int>(w);
  info.Height = static_cast<int>(hgt);
  if (SizeCheck) SizeCheck(info.Width, info.Height);
  if (offBits < 14 + hdrSize || static_cast<std::int64_t>(offBits) >= size)
    BadBmp("pixel data offset outside the file");
  info.HeaderSize = static_cast<int>(hdrSize);
  info.PixelOffset = offBits;
  const bool uncompressed = info.Compression == 0 || info.Compression == 3 || info.Compression == 6;
  if (uncompressed) {
    const std::int64_t rowBytes = ((w * info.BitCount + 31) / 32) * 4;
    info.RowBytes = rowBytes;
    // rowBytes * hgt can reach 2^64, so the rows are compared with what the file holds by division.
    if (rowBytes > (size - static_cast<std::int64_t>(offBits)) / hgt) BadBmp("pixel data cut short");
  } else if (!((info.Compression == 1 && info.BitCount == 8) || (info.Compression == 2 && info.BitCount == 4))) {
    BadBmp("unsupported compression");
  }
  return info;
}

// ---------------------------------------------------------------------------------------------
// TBitmap

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

QImage::Format TBitmap::QtFormat() const {
  return FPixelFormat == pf24bit ? QImage::Format_BGR888 : QImage::Format_Indexed8;
}

// ---------------------------------------------------------------------------------------------
// Pixel buffers of large pictures
//
// A picture's pages are tens of megabytes each. Freed, they would go back to the system, and the
// next picture would fault in (and the kernel clear) all of its memory again: a third of a load's
// time. So freed large buffers are kept, and a picture of the same size takes them over. A
// request of another size lets every kept buffer go first: the old pictures' sizes are of no use
// to it, and it may need that memory.

namespace {
constexpr std::size_t PooledMinBytes = std::size_t{8} << 20;
constexpr std::size_t HugePage = std::size_t{2} << 20;

struct TPixelBuffer {
  void *Data;
  std::size_t Bytes; // as requested; the allocation is rounded up to whole huge pages
};

class TPixelBufferPool {
public:
  TPixelBuffer *Take(std::size_t Bytes) {
    std::vector<TPixelBuffer *> drop;
    {
      std::lock_guard<std::mutex> g(FLock);
      for (std::size_t i = 0; i < FKept.size(); ++i)
        if (FKept[i]->Bytes == Bytes) {
          TPixelBuffer *b = FKept[i];
          FKept.erase(FKept.begin() + static_cast<std::ptrdiff_t>(i));
          FKeptBytes -= b->Bytes;
          return b;
        }
      drop.swap(FKept);
      FKeptBytes = 0;
    }
    Drop(drop);
    // Huge pages: a few dozen faults on first touch instead of tens of thousands.
    void *data = AllocateHugePages(Bytes);
    if (data == nullptr) return nullptr;
    return new (std::nothrow) TPixelBuffer{data, Bytes};
  }

  void Give(TPixelBuffer *Buffer) {
    {
      std::lock_guard<std::mutex> g(FLock);
      if (FKept.size() < MaxKept && FKeptBytes + Buffer->Bytes <= MaxKeptBytes()) {
        FKept.push_back(Buffer);
        FKeptBytes += Buffer->Bytes;
        return;
      }
    }
    Drop({Buffer});
  }

  std::size_t KeptBytes() {
    std::lock_guard<std::mutex> g(FLock);
    return FKeptBytes;
  }

  void Release() {
    std::vector<TPixelBuffer *> drop;
    {
      std::lock_guard<std::mutex> g(FLock);
      drop.swap(FKept);
      FKeptBytes = 0;
    }
    Drop(drop);
  }

private:
  static constexpr std::size_t MaxKept = 16; // more than one picture's pages
  // At most a quarter of the machine's memory stays kept.
  static std::size_t MaxKeptBytes() {
    static const std::size_t max = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) *
                                   static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 4;
    return max;
  }
  static void Drop(const std::vector<TPixelBuffer *> &Buffers) {
    for (TPixelBuffer *b : Buffers) {
      std::free(b->Data);
      delete b;
    }
  }

  std::mutex FLock;
  std::vector<TPixelBuffer *> FKept;
  std::size_t FKeptBytes = 0;
};

// Never destroyed: a picture freed during the program's exit still gives its buffer back.
TPixelBufferPool &Pool() {
  static auto *pool = new TPixelBufferPool;
  return *pool;
}

void GiveBack(void *Info) { Pool().Give(static_cast<TPixelBuffer *>(Info)); }

// An image of the size and format; large ones on a kept or a fresh pixel buffer. Null when there
// is no memory for it.
QImage NewImage(int Width, int Height, QImage::Format Format) {
  const int depth = Format == QImage::Format_Indexed8 ? 8 : 24;
  const qsizetype bytesPerLine = ((static_cast<qsizetype>(Width) * depth + 31) / 32) * 4;
  const auto bytes = static_cast<std::size_t>(bytesPerLine) * static_cast<std::size_t>(Height);
  if (bytes < PooledMinBytes) return QImage(Width, Height, Format);
  TPixelBuffer *buffer = Pool().Take(bytes);
  if (buffer == nullptr) return QImage();
  QImage img(static_cast<uchar *>(buffer->Data), Width, Height, bytesPerLine, Format, GiveBack, buffer);
  if (img.isNull()) GiveBack(buffer);
  return img;
}
} // namespace

void *AllocateHugePages(std::size_t Bytes) {
  const std::size_t rounded = (Bytes + HugePage - 1) / HugePage * HugePage;
  void *data = std::aligned_alloc(HugePage, rounded);
  if (data != nullptr) madvise(data, rounded, MADV_HUGEPAGE);
  return data;
}

std::size_t KeptPixelBufferBytes() { return Pool().KeptBytes(); }
void ReleaseKeptPixelBuffers() { Pool().Release(); }

void TBitmap::Reallocate(int AWidth, int AHeight, bool Clear) {
  AWidth = std::max(0, AWidth);
  AHeight = std::max(0, AHeight);
  if (AWidth == 0 || AHeight == 0) {
    FImage = QImage();
  } else {
    QImage img = NewImage(AWidth, AHeight, QtFormat());
    if (img.isNull())
      throw EOutOfMemory(Format("Not enough memory for a bitmap of %d x %d pixels", AWidth, AHeight));
    if (FPixelFormat == pf8bit) {
      if (FColors.size() != 256) FColors = QList<QRgb>(256, qRgb(0, 0, 0));
      img.setColorTable(FColors);
    }
    if (Clear) img.fill(0);
    if (Clear && !FImage.isNull()) {
      const int rows = std::min(AHeight, FImage.height());
      const int bytes = std::min(AWidth, FImage.width()) * BytesPerPixel();
      for (int y = 0; y < rows; ++y) std::memcpy(img.scanLine(y), FImage.constScanLine(y), static_cast<size_t>(bytes));
    }
    FImage = std::move(img);
  }
  FWidth = AWidth;
  FHeight = AHeight;
}

void TBitmap::SetWidth(int Value) {
  if (Value != FWidth) Reallocate(Value, FHeight);
}
void TBitmap::SetHeight(int Value) {
  if (Value != FHeight) Reallocate(FWidth, Value);
}
void TBitmap::SetSize(int AWidth, int AHeight) {
  if (AWidth != FWidth || AHeight != FHeight) Reallocate(AWidth, AHeight);
}

void TBitmap::SetSizeForOverwrite(int AWidth, int AHeight) {
  if (AWidth == FWidth && AHeight == FHeight) return;
  FImage = QImage(); // the old pixels are not kept, so both never exist at once
  FWidth = FHeight = 0;
  Reallocate(AWidth, AHeight, false);
}

void TBitmap::SetPixelFormat(TPixelFormat Value) {
  if (Value == FPixelFormat) return;
  QImage old = FImage;
  FPixelFormat = Value;
  if (FPixelFormat == pf8bit && FColors.size() != 256) {
    FColors = QList<QRgb>(256, qRgb(0, 0, 0));
    for (int i = 0; i < 256; ++i) FColors[i] = qRgb(i, i, i);
  }
  if (old.isNull()) return;
  QImage conv = FPixelFormat == pf24bit ? old.convertToFormat(QImage::Format_BGR888)
                                        : old.convertToFormat(QImage::Format_Indexed8, FColors);
  if (conv.isNull()) throw EOutOfMemory("Not enough memory to convert a bitmap");
  FImage = std::move(conv);
}

void TBitmap::SetColorTable(const std::vector<TColor> &Table) {
  QList<QRgb> colors(256, qRgb(0, 0, 0));
  for (size_t i = 0; i < Table.size() && i < 256; ++i)
    colors[static_cast<qsizetype>(i)] = qRgb(GetRValue(Table[i]), GetGValue(Table[i]), GetBValue(Table[i]));
  FColors = colors;
  if (FPixelFormat == pf8bit && !FImage.isNull()) FImage.setColorTable(FColors);
}

std::vector<TColor> TBitmap::ColorTable() const {
  std::vector<TColor> t;
  for (QRgb c : FColors) t.push_back(RGBColor(qRed(c), qGreen(c), qBlue(c)));
  return t;
}

std::uint8_t *TBitmap::ScanLine(int Y) {
  if (Y < 0 || Y >= FHeight || FImage.isNull()) throw EInvalidOperation("Scan line index out of range");
  return FImage.scanLine(Y);
}

const std::uint8_t *TBitmap::ScanLine(int Y) const {
  if (Y < 0 || Y >= FHeight || FImage.isNull()) throw EInvalidOperation("Scan line index out of range");
  return FImage.constScanLine(Y);
}

TCanvas *TBitmap::Canvas() {
  if (!FCanvas) FCanvas = std::make_unique<TCanvas>(this);
  return FCanvas.get();
}

void TBitmap::SetImage(const QImage &Image) {
  if (Image.isNull()) {
    FImage = QImage();
    FWidth = FHeight = 0;
    return;
  }
  QImage conv;
  if (Image.format() == QImage::Format_Indexed8) {
    conv = Image;
    conv.detach();
    QList<QRgb> colors = conv.colorTable();
    colors.resize(256, qRgb(0, 0, 0));
    conv.setColorTable(colors);
    FColors = colors;
    FPixelFormat = pf8bit;
  } else {
    conv = Image.convertToFormat(QImage::Format_BGR888);
    FPixelFormat = pf24bit;
  }
  if (conv.isNull()) throw EOutOfMemory("Not enough memory for the picture");
  FImage = std::move(conv);
  FWidth = FImage.width();
  FHeight = FImage.height();
}

namespace {
std::mutex GReaderLimitLock;
} // namespace

namespace {

QImage ReadBmpImage(QByteArray &Data) {
  QBuffer buf(&Data);
  buf.open(QIODevice::ReadOnly);
  QImageReader reader(&buf, "bmp");
  QImage img;
  if (!reader.read(&img) || img.isNull())
    throw EReadError("Invalid BMP file: " + reader.errorString().toStdString());
  return img;
}

void Patch32(QByteArray &Data, int At, std::uint32_t Value) {
  for (int i = 0; i < 4; ++i) Data[At + i] = static_cast<char>((Value >> (8 * i)) & 0xFF);
}

// Uncompressed rows do not depend on each other, so a band of them is a BMP of its own: the file's
// headers (with the band's height and sizes) and colour table, then the band's stored rows. Qt's
// reader refuses pictures above about 16384 x 16384 pixels however high its allocation limit is;
// a band stays far below that, and no 32-bit copy of the whole picture is ever made.
QImage ReadBmpInBands(TStream &Stream, const TBmpInfo &Info) {
  const std::int64_t start = Stream.Position();
  // The headers, bit masks and at most 256 colours: all the reader looks at before the pixels.
  const std::int64_t prefix = std::min<std::int64_t>(Info.PixelOffset, 14 + Info.HeaderSize + 12 + 256 * 4);
  QByteArray head(static_cast<qsizetype>(prefix), '\0');
  Stream.ReadBuffer(head.data(), prefix);
  const bool core = Info.HeaderSize == 12;
  const int bandRows = static_cast<int>(std::clamp<std::int64_t>((std::int64_t{16} << 20) / Info.RowBytes, 1, Info.Height));
  QImage result;
  bool indexed = false;
  std::size_t outBytes = 0;
  QByteArray band;
  for (int first = 0; first < Info.Height; first += bandRows) { // first: the band's first stored row
    const int rows = std::min(bandRows, Info.Height - first);
    const std::int64_t pixels = Info.RowBytes * rows;
    band.resize(static_cast<qsizetype>(prefix + pixels));
    std::memcpy(band.data(), head.constData(), static_cast<std::size_t>(prefix));
    Patch32(band, 2, static_cast<std::uint32_t>(prefix + pixels));
    Patch32(band, 10, static_cast<std::uint32_t>(prefix));
    if (core) {
      const std::uint16_t h = static_cast<std::uint16_t>(Info.TopDown ? -rows : rows);
      band[20] = static_cast<char>(h & 0xFF);
      band[21] = static_cast<char>(h >> 8);
    } else {
      Patch32(band, 22, static_cast<std::uint32_t>(Info.TopDown ? -rows : rows));
      if (Info.HeaderSize >= 24) Patch32(band, 34, static_cast<std::uint32_t>(pixels));
    }
    Stream.SetPosition(start + Info.PixelOffset + Info.RowBytes * first);
    Stream.ReadBuffer(band.data() + prefix, pixels);
    QImage img = ReadBmpImage(band);
    if (img.width() != Info.Width || img.height() != rows) throw EReadError("Invalid BMP file: size mismatch");
    if (first == 0) { // the reader's choice for the first band holds for all: 8-bit indexed or 24 bits
      indexed = img.format() == QImage::Format_Indexed8;
      result = QImage(Info.Width, Info.Height, indexed ? QImage::Format_Indexed8 : QImage::Format_BGR888);
      if (result.isNull())
        throw EOutOfMemory(Format("Not enough memory for a bitmap of %d x %d pixels", Info.Width, Info.Height));
      if (indexed) result.setColorTable(img.colorTable());
      outBytes = static_cast<std::size_t>(Info.Width) * (indexed ? 1 : 3);
    }
    // 16 to 32 bits come as 32-bit pixels, taken apart row by row here: Qt would convert the
    // band whole into a second copy, on its own thread pool, whose synchronisation the thread
    // sanitizer cannot see.
    const bool rgb32 = !indexed && (img.format() == QImage::Format_RGB32 || img.format() == QImage::Format_ARGB32);
    if (!rgb32 && (indexed ? img.format() != QImage::Format_Indexed8 : img.format() != QImage::Format_BGR888))
      img = img.convertToFormat(indexed ? QImage::Format_Indexed8 : QImage::Format_BGR888);
    if (img.isNull()) throw EOutOfMemory("Not enough memory for the picture");
    // Stored row first + r is the picture's row first + r top-down, else counted from the bottom.
    for (int r = 0; r < rows; ++r) {
      const int y = Info.TopDown ? first + r : Info.Height - first - rows + r;
      std::uint8_t *out = result.scanLine(y);
      if (!rgb32) {
        std::memcpy(out, img.constScanLine(r), outBytes);
        continue;
      }
      const auto *in = reinterpret_cast<const QRgb *>(img.constScanLine(r));
      for (int x = 0; x < Info.Width; ++x, out += 3) {
        out[0] = static_cast<std::uint8_t>(qBlue(in[x]));
        out[1] = static_cast<std::uint8_t>(qGreen(in[x]));
        out[2] = static_cast<std::uint8_t>(qRed(in[x]));
      }
    }
  }
  return result;
}

} // namespace

void TBitmap::LoadFromStream(TStream &Stream, const std::function<void(int, int)> &SizeCheck) {
  const TBmpInfo info = ReadBmpInfo(Stream, SizeCheck);
  if (info.RowBytes > 0) {
    SetImage(ReadBmpInBands(Stream, info));
    return;
  }
  // Compressed pixels are read whole. Qt's reader refuses pictures above its allocation limit
  // (256 MB by default). The size was checked above, so lift the limit to what this picture needs
  // (Qt decodes into 32-bit pixels). The limit is process-wide; it is only ever raised, and only
  // here.
  const std::uint64_t need = (static_cast<std::uint64_t>(info.Width) * info.Height * 4 >> 20) + 2;
  {
    std::lock_guard<std::mutex> g(GReaderLimitLock);
    const int current = QImageReader::allocationLimit();
    if (current != 0 && need > static_cast<std::uint64_t>(current))
      QImageReader::setAllocationLimit(static_cast<int>(std::min<std::uint64_t>(need, std::numeric_limits<int>::max())));
  }
  const std::int64_t left = Stream.Size() - Stream.Position();
  QByteArray data;
  data.resize(static_cast<qsizetype>(left));
  Stream.ReadBuffer(data.data(), left);
  QImage img = ReadBmpImage(data);
  if (img.width() != info.Width || img.height() != info.Height) throw EReadError("Invalid BMP file: size mismatch");
  SetImage(img);
}

void TBitmap::LoadFromFile(const std::string &FileName, const std::function<void(int, int)> &SizeCheck) {
  TFileStream fs(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(fs, SizeCheck);
}

namespace {
void Put16(std::vector<std::uint8_t> &v, std::uint32_t x) {
  v.push_back(x & 0xFF);
  v.push_back((x >> 8) & 0xFF);
}
void Put32(std::vector<std::uint8_t> &v, std::uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}
} // namespace

void TBitmap::SaveToStream(TStream &Stream) const {
  const int bpp = FPixelFormat == pf24bit ? 24 : 8;
  const std::uint64_t rowBytes = ((static_cast<std::uint64_t>(FWidth) * bpp + 31) / 32) * 4;
  const std::uint32_t paletteBytes = bpp == 8 ? 256 * 4 : 0;
  const std::uint64_t pixelBytes = rowBytes * static_cast<std::uint64_t>(FHeight);
  const std::uint64_t fileSize = 14 + 40 + paletteBytes + pixelBytes;
  if (fileSize > 0xFFFFFFFFull) throw EWriteError("Picture too large for a BMP file");
  std::vector<std::uint8_t> h;
  h.push_back('B');
  h.push_back('M');
  Put32(h, static_cast<std::uint32_t>(fileSize));
  Put32(h, 0);
  Put32(h, 14 + 40 + paletteBytes);
  Put32(h, 40);
  Put32(h, static_cast<std::uint32_t>(FWidth));
  Put32(h, static_cast<std::uint32_t>(FHeight));
  Put16(h, 1);
  Put16(h, static_cast<std::uint32_t>(bpp));
  Put32(h, 0);
  Put32(h, static_cast<std::uint32_t>(pixelBytes));
  Put32(h, 3780); // 96 dpi
  Put32(h, 3780);
  Put32(h, bpp == 8 ? 256 : 0);
  Put32(h, 0);
  if (bpp == 8) {
    for (int i = 0; i < 256; ++i) {
      const QRgb c = i < FColors.size() ? FColors[i] : qRgb(0, 0, 0);
      h.push_back(static_cast<std::uint8_t>(qBlue(c)));
      h.push_back(static_cast<std::uint8_t>(qGreen(c)));
      h.push_back(static_cast<std::uint8_t>(qRed(c)));
      h.push_back(0);
    }
  }
  Stream.WriteBuffer(h.data(), static_cast<std::int64_t>(h.size()));
  std::vector<std::uint8_t> row(static_cast<size_t>(rowBytes), 0);
  const size_t used = static_cast<size_t>(FWidth) * static_cast<size_t>(BytesPerPixel());
  for (int y = FHeight - 1; y >= 0 && used > 0; --y) {
    std::memcpy(row.data(), FImage.constScanLine(y), used);
    Stream.WriteBuffer(row.data(), static_cast<std::int64_t>(row.size()));
  }
}

void TBitmap::SaveToFile(const std::string &FileName) const {
  TMemoryStream ms;
  SaveToStream(ms);
  WriteFileAtomically(FileName, ms.Memory(), static_cast<std::size_t>(ms.Size()));
}

void TBitmap::Assign(const TPersistent *Source) {
  const auto *src = dynamic_cast<const TBitmap *>(Source);
  if (Source == nullptr || src == nullptr) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  FPixelFormat = src->FPixelFormat;
  FColors = src->FColors;
  FWidth = src->FWidth;
  FHeight = src->FHeight;
  FImage = src->FImage.copy();
  if (!src->FImage.isNull() && FImage.isNull()) {
    FWidth = FHeight = 0;
    throw EOutOfMemory("Not enough memory to copy a bitmap");
  }
}

// ---------------------------------------------------------------------------------------------
// TCanvas

TCanvas::TCanvas(TBitmap *Bitmap) : FBitmap(Bitmap) {}
TCanvas::TCanvas(QPainter *Painter) : FPainter(Painter) {}
TCanvas::~TCanvas() = default;

void TCanvas::Lock() {
  if (FBitmap) FBitmap->Lock();
  else FOwnLock.lock();
}
void TCanvas::Unlock() {
  if (FBitmap) FBitmap->Unlock();
  else FOwnLock.unlock();
}
bool TCanvas::TryLock() { return FBitmap ? FBitmap->TryLock() : FOwnLock.try_lock(); }

// Runs Body with a painter: the wrapped one (state saved and restored) or one begun on the
// bitmap's image for this call only.
template <class F> void TCanvas::Paint(F &&Body) {
  const auto withStateKept = [&](QPainter &P) {
    P.save();
    try {
      Body(P);
    } catch (...) {
      P.restore();
      throw;
    }
    P.restore();
  };
  if (FPainter) return withStateKept(*FPainter);
  if (!FBitmap || FBitmap->Empty()) return;
  if (FBitmap->PixelFormat() != pf24bit) throw EInvalidOperation("Cannot draw on an 8-bit bitmap");
  // Each operation of a session starts from the state a painter of its own would have.
  if (FSession) return withStateKept(*FSession);
  // Writing through the image's own buffer: ScanLine addresses stay the same.
  QImage &img = const_cast<QImage &>(FBitmap->Image());
  QPainter p(&img);
  if (FScale != 1.0) p.scale(FScale, FScale);
  Body(p);
}

TCanvas::TPaintSession::TPaintSession(TCanvas &Canvas) : FCanvas(Canvas) {
  TBitmap *bitmap = Canvas.FBitmap;
  if (Canvas.FPainter || Canvas.FSession || !bitmap || bitmap->Empty() || bitmap->PixelFormat() != pf24bit) return;
  FPainter = std::make_unique<QPainter>(&const_cast<QImage &>(bitmap->Image()));
  if (Canvas.FScale != 1.0) FPainter->scale(Canvas.FScale, Canvas.FScale);
  Canvas.FSession = FPainter.get();
}

TCanvas::TPaintSession::~TPaintSession() {
  if (!FPainter) return;
  FCanvas.FSession = nullptr;
  FPainter->end();
}

namespace {
QPainter::CompositionMode ModeOf(TPenMode Mode) {
  switch (Mode) {
  case pmXor: return QPainter::RasterOp_SourceXorDestination;
  case pmNot: return QPainter::RasterOp_NotDestination;
  default: return QPainter::CompositionMode_SourceOver;
  }
}

// On/off run lengths of the dashed pen styles (cosmetic pens of width 1).
std::vector<int> PatternOf(TPenStyle Style) {
  switch (Style) {
  case psDash: return {18, 6};
  case psDot: return {3, 3};
  case psDashDot: return {9, 6, 3, 6};
  case psDashDotDot: return {9, 3, 3, 3, 3, 3};
  default: return {};
  }
}
} // namespace

void TCanvas::PlotRun(QPainter &P, const std::vector<QPoint> &Points, TColor Color, TPenMode Mode) {
  if (Points.empty()) return;
  P.setCompositionMode(ModeOf(Mode));
  P.setRenderHint(QPainter::Antialiasing, false);
  const QColor c = Mode == pmNot ? QColor(Qt::white) : ToQColor(Color);
  // A run of neighbouring pixels along a row or a column goes as one rectangle: the same pixels,
  // each still covered once, with far fewer painter calls (a chart's grid lines are such runs).
  // Only at whole-number scales, where a run's rectangle covers exactly its pixels' squares.
  const bool runs = FScale == std::floor(FScale);
  for (std::size_t i = 0; i < Points.size();) {
    const QPoint first = Points[i];
    std::size_t j = i + 1;
    if (runs && j < Points.size()) {
      const QPoint step = Points[j] - first;
      if (std::abs(step.x()) + std::abs(step.y()) == 1)
        while (j < Points.size() && Points[j] - Points[j - 1] == step) ++j;
    }
    const QPoint last = Points[j - 1];
    P.fillRect(QRect(QPoint(std::min(first.x(), last.x()), std::min(first.y(), last.y())),
                     QPoint(std::max(first.x(), last.x()), std::max(first.y(), last.y()))),
               c);
    i = j;
  }
}

void TCanvas::MoveTo(int X, int Y) {
  FPenX = X;
  FPenY = Y;
}

void TCanvas::LineTo(int X, int Y) {
  const int x0 = FPenX, y0 = FPenY;
  FPenX = X;
  FPenY = Y;
  if (Pen.Style == psClear) return;
  // Bresenham from the start to the end, the end pixel excluded.
  std::vector<QPoint> pts;
  const int dx = std::abs(X - x0), dy = -std::abs(Y - y0);
  const int sx = x0 < X ? 1 : -1, sy = y0 < Y ? 1 : -1;
  int err = dx + dy, x = x0, y = y0;
  const std::vector<int> pattern = PatternOf(Pen.Style);
  size_t seg = 0;
  int segLeft = pattern.empty() ? 0 : pattern[0];
  while (x != X || y != Y) {
    if (pattern.empty() || seg % 2 == 0) pts.emplace_back(x, y);
    if (!pattern.empty() && --segLeft == 0) {
      seg = (seg + 1) % pattern.size();
      segLeft = pattern[seg];
    }
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
  Paint([&](QPainter &p) { PlotRun(p, pts, Pen.Color, Pen.Mode); });
}

void TCanvas::Rectangle(int X1, int Y1, int X2, int Y2) {
  if (X2 < X1) std::swap(X1, X2);
  if (Y2 < Y1) std::swap(Y1, Y2);
  if (X2 - X1 < 1 || Y2 - Y1 < 1) return;
  Paint([&](QPainter &p) {
    const bool outline = Pen.Style != psClear;
    if (Brush.Style == bsSolid) {
      QRect inner = outline ? QRect(X1 + 1, Y1 + 1, X2 - X1 - 2, Y2 - Y1 - 2) : QRect(X1, Y1, X2 - X1, Y2 - Y1);
      if (inner.width() > 0 && inner.height() > 0) {
        p.setCompositionMode(ModeOf(Pen.Mode));
        p.fillRect(inner, Pen.Mode == pmNot ? QColor(Qt::white) : ToQColor(Brush.Color));
      }
    }
    if (!outline) return;
    // Each outline pixel once, so exclusive-or outlines undo themselves when drawn twice; walked
    // round clockwise from the top-left corner so a dotted pen's pattern runs on unbroken.
    std::vector<QPoint> ring;
    if (X2 - X1 == 1) {
      for (int y = Y1; y < Y2; ++y) ring.emplace_back(X1, y);
    } else if (Y2 - Y1 == 1) {
      for (int x = X1; x < X2; ++x) ring.emplace_back(x, Y1);
    } else {
      for (int x = X1; x < X2; ++x) ring.emplace_back(x, Y1);
      for (int y = Y1 + 1; y < Y2; ++y) ring.emplace_back(X2 - 1, y);
      for (int x = X2 - 2; x >= X1; --x) ring.emplace_back(x, Y2 - 1);
      for (int y = Y2 - 2; y > Y1; --y) ring.emplace_back(X1, y);
    }
    const std::vector<int> pattern = PatternOf(Pen.Style);
    std::vector<QPoint> pts;
    size_t seg = 0;
    int segLeft = pattern.empty() ? 0 : pattern[0];
    for (const QPoint &pt : ring) {
      if (pattern.empty() || seg % 2 == 0) pts.push_back(pt);
      if (!pattern.empty() && --segLeft == 0) {
        seg = (seg + 1) % pattern.size();
        segLeft = pattern[seg];
      }
    }
    PlotRun(p, pts, Pen.Color, Pen.Mode);
  });
}

void TCanvas::FillRect(const TRect &R) {
  if (R.Width() <= 0 || R.Height() <= 0 || Brush.Style == bsClear) return;
  Paint([&](QPainter &p) {
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(QRect(R.Left, R.Top, R.Width(), R.Height()), ToQColor(Brush.Color));
  });
}

void TCanvas::TextOut(int X, int Y, const std::string &Text) {
  const QString s = QString::fromStdString(Text);
  Paint([&](QPainter &p) {
    const QFont f = ResolveFont(Font);
    const QFontMetrics fm(f);
    if (Brush.Style == bsSolid)
      p.fillRect(QRect(X, Y, fm.horizontalAdvance(s), fm.height()), ToQColor(Brush.Color));
    p.setFont(f);
    p.setPen(ToQColor(Font.Color));
    p.drawText(QPoint(X, Y + fm.ascent()), s);
  });
  FPenX = X + TextWidth(Text);
}

int TCanvas::TextWidth(const std::string &Text) {
  return QFontMetrics(ResolveFont(Font)).horizontalAdvance(QString::fromStdString(Text));
}

int TCanvas::TextHeight(const std::string &) { return QFontMetrics(ResolveFont(Font)).height(); }

TColor TCanvas::Pixel(int X, int Y) {
  X = static_cast<int>(X * FScale);
  Y = static_cast<int>(Y * FScale);
  if (!FBitmap || X < 0 || Y < 0 || X >= FBitmap->Width() || Y >= FBitmap->Height()) return CLR_INVALID;
  const std::uint8_t *row = FBitmap->ScanLine(Y);
  if (FBitmap->PixelFormat() == pf24bit) return RGBColor(row[3 * X + 2], row[3 * X + 1], row[3 * X]);
  const QRgb c = FBitmap->Image().color(row[X]);
  return RGBColor(qRed(c), qGreen(c), qBlue(c));
}

void TCanvas::SetPixel(int X, int Y, TColor C) {
  if (FScale != 1.0 && FBitmap != nullptr && FBitmap->PixelFormat() == pf24bit) {
    // One pixel of the drawing is a Scale x Scale block of the bitmap.
    Paint([&](QPainter &p) { p.fillRect(QRect(X, Y, 1, 1), ToQColor(ColorToRGB(C))); });
    return;
  }
  if (!FBitmap) {
    Paint([&](QPainter &p) { p.fillRect(QRect(X, Y, 1, 1), ToQColor(C)); });
    return;
  }
  if (X < 0 || Y < 0 || X >= FBitmap->Width() || Y >= FBitmap->Height()) return;
  C = ColorToRGB(C);
  std::uint8_t *row = FBitmap->ScanLine(Y);
  if (FBitmap->PixelFormat() == pf24bit) {
    row[3 * X] = static_cast<std::uint8_t>(GetBValue(C));
    row[3 * X + 1] = static_cast<std::uint8_t>(GetGValue(C));
    row[3 * X + 2] = static_cast<std::uint8_t>(GetRValue(C));
    return;
  }
  // The nearest colour of the table.
  const std::vector<TColor> table = FBitmap->ColorTable();
  int best = 0, bestDist = std::numeric_limits<int>::max();
  for (int i = 0; i < static_cast<int>(table.size()); ++i) {
    const int dr = GetRValue(table[i]) - GetRValue(C), dg = GetGValue(table[i]) - GetGValue(C),
              db = GetBValue(table[i]) - GetBValue(C);
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestDist) {
      bestDist = d;
      best = i;
    }
  }
  row[X] = static_cast<std::uint8_t>(best);
}

void TCanvas::DrawImage(const TRect &Dest, const QImage &Source, const TRect &SourceRect) {
  if (Source.isNull() || Dest.Width() == 0 || Dest.Height() == 0 || SourceRect.Width() <= 0 || SourceRect.Height() <= 0)
    return;
  Paint([&](QPainter &p) {
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.setCompositionMode(CopyMode == cmSrcInvert ? QPainter::RasterOp_SourceXorDestination
                                                 : QPainter::CompositionMode_Source);
    p.drawImage(QRect(Dest.Left, Dest.Top, Dest.Width(), Dest.Height()), Source,
                QRect(SourceRect.Left, SourceRect.Top, SourceRect.Width(), SourceRect.Height()));
  });
}

void TCanvas::CopyRect(const TRect &Dest, TCanvas &Source, const TRect &SourceRect) {
  if (!Source.FBitmap) throw EInvalidOperation("Cannot copy from a canvas without a bitmap");
  if (Source.FBitmap == FBitmap) {
    const QImage copy = FBitmap->Image().copy();
    DrawImage(Dest, copy, SourceRect);
  } else {
    DrawImage(Dest, Source.FBitmap->Image(), SourceRect);
  }
}

void TCanvas::Draw(int X, int Y, TBitmap &Source) {
  DrawImage(Rect(X, Y, X + Source.Width(), Y + Source.Height()), Source.Image(),
            Rect(0, 0, Source.Width(), Source.Height()));
}

void TCanvas::StretchDraw(const TRect &Dest, TBitmap &Source) {
  DrawImage(Dest, Source.Image(), Rect(0, 0, Source.Width(), Source.Height()));
}
