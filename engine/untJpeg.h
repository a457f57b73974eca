// The libjpeg adapter: decodes a JPEG held in memory into 24-bit rows (bytes blue, green, red) and
// encodes 24-bit or 8-bit gray rows as JPEG.
//
// libjpeg reports errors through a callback that must not return; the adapter jumps back out of the
// library with longjmp into small functions that own no C++ objects, and raises EJPEGError only
// once control is back in ordinary C++ code. Damage that libjpeg would only warn about and paper
// over (a truncated file, a broken entropy-coded segment) is an error here: a grey-filled or
// garbled picture would give wrong noise figures without anyone noticing.
//
// Decoding uses libjpeg's default accuracy (the slow integer DCT, fancy upsampling, block
// smoothing for progressive files) at full size. The EXIF orientation is not applied: pixels are
// measured as they are stored. Grayscale pictures are expanded to three equal bytes; Adobe CMYK
// and YCCK pictures are converted to RGB by R = C'·K'/255 (likewise G with M', B with Y'), where
// C', M', Y', K' are the ink values inverted to "amount of light" (Adobe writes them inverted
// already; a file without the Adobe marker is inverted here).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/untGraphics.h"
#include "platform/untClasses.h"
#include "platform/untSysUtils.h"

class EJPEGError : public Exception { using Exception::Exception; };

// The one text for a JPEG whose data ends before its picture does, in the header or in the scans.
inline constexpr const char *STruncatedJpeg = "The JPEG picture is truncated (its data ends early)";

// What the header of a JPEG says.
struct TJpegHeader {
  int Width = 0;
  int Height = 0;
  int Components = 0;        // 1 gray, 3 YCbCr/RGB, 4 CMYK/YCCK
  bool Progressive = false;
  bool Arithmetic = false;
  bool Adobe = false;        // an Adobe APP14 marker was seen
  bool Cmyk = false;         // converted from CMYK or YCCK
};

// Told how many rows of a picture are decoded so far.
using TRowsDecoded = std::function<void(int Rows)>;

// One decoding pass over a JPEG in memory. The constructor reads the header (EJPEGError on a file
// that is empty, not a JPEG, of an unsupported kind or of size 0); the caller then checks and
// allocates its picture and hands Decode the address of every row. The data must stay alive and
// unchanged until Decode has returned. Not thread-safe; one object per decode.
class TJpegDecoder {
public:
  // MemoryLimit, when not 0, caps what libjpeg may allocate for its own buffers (a progressive
  // picture keeps all its coefficients: about 2 bytes per pixel and component).
  explicit TJpegDecoder(std::span<const std::uint8_t> Data, std::uint64_t MemoryLimit = 0);
  ~TJpegDecoder();
  TJpegDecoder(const TJpegDecoder &) = delete;
  TJpegDecoder &operator=(const TJpegDecoder &) = delete;

  const TJpegHeader &Header() const { return FHeader; }
  // Caps libjpeg's own buffers from here on (0: no cap).
  void SetMemoryLimit(std::uint64_t MemoryLimit);
  // Bytes libjpeg itself will need beyond the caller's rows (an estimate, for the memory check).
  std::uint64_t DecoderMemory() const;

  // Decodes the whole picture into Rows (Height entries, each Width * 3 bytes, blue-green-red).
  // With RowsDecoded, it is called on this thread with the number of rows finished so far after
  // every DecodeChunkRows rows (and at the end); those rows are final. Raises EJPEGError for
  // corrupt or truncated data; the rows then hold partial content. May be called once.
  void Decode(std::span<std::uint8_t *const> Rows, const TRowsDecoded &RowsDecoded = {});
  static constexpr unsigned DecodeChunkRows = 16;

  // The same decode a band at a time, for a caller that keeps no whole picture: Start once, then
  // ReadRows with the next rows (top-down, Width * 3 bytes each, blue-green-red) until Height rows
  // are read, then Finish. Each raises EJPEGError for corrupt or truncated data. Decode is these
  // three steps.
  void Start();
  void ReadRows(std::span<std::uint8_t *const> Rows);
  void Finish();

  // Texts of the harmless warnings libjpeg gave (for example extraneous bytes between markers).
  const std::vector<std::string> &Warnings() const;

  struct TState; // libjpeg's structures; defined in the .cpp

private:
  [[noreturn]] void Fail();
  std::unique_ptr<TState> FState;
  TJpegHeader FHeader;
  bool FDecoded = false;
  unsigned FRowsRead = 0;
  std::vector<unsigned char> FCmykRow;
};

// Reads what remains of Stream from its start into memory (the stream is positioned at 0 first).
// Refuses a stream larger than Limit bytes when Limit is not 0.
std::vector<std::uint8_t> ReadWholeStream(TStream &Stream, std::uint64_t Limit = 0);

// The bytes of a JPEG stream: a memory stream's own (a project's embedded picture, without a copy),
// else the whole stream read into Copy (refused when larger than the memory available).
std::span<const std::uint8_t> JpegStreamBytes(TStream &Stream, std::vector<std::uint8_t> &Copy);
// Holds the header's size to CheckPictureMemory and libjpeg's own buffers to the memory left after
// the picture's pages ("Picture too large: W x H pixels" when they cannot fit).
void CheckJpegMemory(TJpegDecoder &Decoder);

// Encodes Height rows of Width pixels as a baseline JPEG of the given Quality (1..100).
// Components 3: each row holds Width * 3 bytes blue, green, red (written as YCbCr 4:2:0).
// Components 1: each row holds Width gray bytes (written as a grayscale JPEG).
// Optimized Huffman tables; no EXIF. Raises EJPEGError for an empty picture or a libjpeg failure.
std::vector<std::uint8_t> EncodeJpeg(int Width, int Height, int Components,
                                     std::span<const std::uint8_t *const> Rows, int Quality);

// Decodes a whole JPEG stream (from its start) into Bitmap at full size, 24 bits. The picture's
// size is checked with CheckPictureMemory before anything is allocated, and libjpeg's buffers are
// capped by the memory left after it. On any failure Bitmap is left empty (0 x 0).
void LoadJpegFromStream(TStream &Stream, TBitmap24 &Bitmap);
// The same decode for a caller that works on rows while the rest is decoded: RowsDecoded (if
// given) is called first with 0 once Bitmap has its size, then as rows are finished. Bitmap's
// pixels are not cleared first, and on a failure Bitmap keeps its size and partial rows: a caller
// whose threads may still read them clears it once they are done.
void DecodeJpegStream(TStream &Stream, TBitmap24 &Bitmap, const TRowsDecoded &RowsDecoded);
