#include "engine/untJpeg.h"

#include "platform/untSystem.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

// jpeglib.h needs size_t and FILE declared first, and goes before jerror.h (whose arithmetic
// coding codes depend on jconfig.h).
#include <jpeglib.h>
#include <jerror.h>

namespace {

// The error manager: libjpeg's record, the jump target and the text of the error that ended the
// work. Everything here is plain data, so a longjmp across it is harmless.
struct TJpegErrorMgr {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
  bool Truncated;
  bool OutOfMemory;
  bool TooLarge;
};

[[noreturn]] void JpegErrorExit(j_common_ptr Info) {
  auto *err = reinterpret_cast<TJpegErrorMgr *>(Info->err);
  (*Info->err->format_message)(Info, err->Message);
  // Without a backing store libjpeg reports a cap it cannot keep under as a missing store.
  const int code = Info->err->msg_code;
  err->OutOfMemory = code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE;
  err->TooLarge = code == JERR_IMAGE_TOO_BIG;
  std::longjmp(err->Jump, 1);
}

// Warnings that mean the pixels are not what the file was meant to hold. libjpeg would fill the
// rest of a truncated picture with grey, or decode garbage after a broken segment.
bool IsDamageWarning(int Code) {
  switch (Code) {
  case JWRN_JPEG_EOF:
  case JWRN_HIT_MARKER:
  case JWRN_MUST_RESYNC:
  case JWRN_NOT_SEQUENTIAL:
  case JWRN_BOGUS_PROGRESSION:
  case JWRN_ARITH_BAD_CODE:
  case JWRN_HUFF_BAD_CODE:
    return true;
  default:
    return false;
  }
}

} // namespace

struct TJpegDecoder::TState {
  jpeg_decompress_struct Info;
  TJpegErrorMgr Err;
  bool Created = false;
  bool MultiScan = false;
  std::vector<std::string> Warnings;
  ~TState() {
    if (Created) jpeg_destroy_decompress(&Info);
  }
};

namespace {

void JpegEmitMessage(j_common_ptr Info, int Level) {
  if (Level >= 0) return; // trace messages
  auto *err = reinterpret_cast<TJpegErrorMgr *>(Info->err);
  err->Pub.num_warnings++;
  if (IsDamageWarning(err->Pub.msg_code)) {
    err->Truncated = err->Pub.msg_code == JWRN_JPEG_EOF;
    (*Info->err->format_message)(Info, err->Message);
    std::longjmp(err->Jump, 1);
  }
  // A harmless warning: keep its text in the state's list (the client data points at it).
  auto *warnings = static_cast<std::vector<std::string> *>(Info->client_data);
  if (warnings != nullptr && warnings->size() < 16) {
    char text[JMSG_LENGTH_MAX];
    (*Info->err->format_message)(Info, text);
    try {
      warnings->emplace_back(text);
    } catch (...) {
      // Losing a warning text is of no consequence; an exception must not enter libjpeg.
    }
  }
}

void InitErrorMgr(TJpegErrorMgr &Err) {
  jpeg_std_error(&Err.Pub);
  Err.Pub.error_exit = JpegErrorExit;
  Err.Pub.emit_message = JpegEmitMessage;
  Err.Message[0] = '\0';
  Err.Truncated = false;
  Err.OutOfMemory = false;
  Err.TooLarge = false;
}

// The guarded steps. Each calls setjmp and only C functions of libjpeg; their locals are plain
// values, so the longjmp of the error manager skips no destructor. They return false on failure,
// with the text in State->Err.Message.

long LimitToLong(std::uint64_t Limit) {
  if (Limit > static_cast<std::uint64_t>(std::numeric_limits<long>::max()))
    return std::numeric_limits<long>::max();
  return static_cast<long>(Limit);
}

bool GuardedReadHeader(TJpegDecoder::TState *State, const unsigned char *Data, unsigned long Size,
                       long MemoryLimit) {
  if (setjmp(State->Err.Jump)) return false;
  jpeg_create_decompress(&State->Info);
  State->Created = true;
  if (MemoryLimit > 0) State->Info.mem->max_memory_to_use = MemoryLimit;
  jpeg_mem_src(&State->Info, Data, Size);
  jpeg_read_header(&State->Info, TRUE);
  return true;
}

// Converts one row of CMYK samples (as libjpeg hands them out, four bytes per pixel) into blue,
// green, red. Inverted is true for Adobe files, whose samples already are 255 - ink.
void CmykRowToBgr(const unsigned char *Src, unsigned char *Dst, unsigned Width, bool Inverted) {
  for (unsigned x = 0; x < Width; ++x, Src += 4, Dst += 3) {
    unsigned c = Src[0], m = Src[1], y = Src[2], k = Src[3];
    if (!Inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    Dst[2] = static_cast<unsigned char>((c * k + 127) / 255);
    Dst[1] = static_cast<unsigned char>((m * k + 127) / 255);
    Dst[0] = static_cast<unsigned char>((y * k + 127) / 255);
  }
}

bool GuardedStartDecode(TJpegDecoder::TState *State, unsigned RowCount) {
  if (setjmp(State->Err.Jump)) return false;
  j_decompress_ptr info = &State->Info;
  jpeg_start_decompress(info);
  if (info->output_height != RowCount) {
    std::snprintf(State->Err.Message, sizeof State->Err.Message,
                  "Decoded height %u differs from the header", info->output_height);
    return false;
  }
  return true;
}

// Decodes the next Count rows into Rows (several at a call where libjpeg gives them).
bool GuardedDecodeRows(TJpegDecoder::TState *State, std::uint8_t *const *Rows, unsigned Count,
                       unsigned char *CmykRow, bool Inverted) {
  if (setjmp(State->Err.Jump)) return false;
  j_decompress_ptr info = &State->Info;
  for (unsigned done = 0; done < Count;) {
    const unsigned line = info->output_scanline;
    JSAMPARRAY rows = const_cast<JSAMPARRAY>(Rows + done);
    JSAMPROW cmyk = CmykRow;
    const JDIMENSION got = CmykRow != nullptr ? jpeg_read_scanlines(info, &cmyk, 1)
                                              : jpeg_read_scanlines(info, rows, Count - done);
    if (got == 0) {
      std::snprintf(State->Err.Message, sizeof State->Err.Message, "No data for row %u", line);
      return false;
    }
    if (CmykRow != nullptr) CmykRowToBgr(CmykRow, Rows[done], info->output_width, Inverted);
    done += got;
  }
  return true;
}

bool GuardedFinishDecode(TJpegDecoder::TState *State) {
  if (setjmp(State->Err.Jump)) return false;
  jpeg_finish_decompress(&State->Info);
  return true;
}

struct TEncodeState {
  jpeg_compress_struct Info;
  TJpegErrorMgr Err;
  unsigned char *Out;
  unsigned long OutSize;
};

bool GuardedEncode(TEncodeState *State, unsigned Width, unsigned Height, int Components,
                   const std::uint8_t *const *Rows, int Quality) {
  if (setjmp(State->Err.Jump)) return false;
  j_compress_ptr info = &State->Info;
  jpeg_create_compress(info);
  jpeg_mem_dest(info, &State->Out, &State->OutSize);
  info->image_width = Width;
  info->image_height = Height;
  info->input_components = Components;
  info->in_color_space = Components == 1 ? JCS_GRAYSCALE : JCS_EXT_BGR;
  jpeg_set_defaults(info);
  jpeg_set_quality(info, Quality, TRUE);
  info->optimize_coding = TRUE;
  info->dct_method = JDCT_ISLOW;
  jpeg_start_compress(info, TRUE);
  while (info->next_scanline < info->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(Rows[info->next_scanline]);
    jpeg_write_scanlines(info, &row, 1);
  }
  jpeg_finish_compress(info);
  return true;
}

std::string ColorSpaceName(J_COLOR_SPACE Space) {
  switch (Space) {
  case JCS_GRAYSCALE: return "grayscale";
  case JCS_RGB: return "RGB";
  case JCS_YCbCr: return "YCbCr";
  case JCS_CMYK: return "CMYK";
  case JCS_YCCK: return "YCCK";
  default: return "unknown";
  }
}

} // namespace

TJpegDecoder::TJpegDecoder(std::span<const std::uint8_t> Data, std::uint64_t MemoryLimit)
    : FState(std::make_unique<TState>()) {
  if (Data.empty()) throw EJPEGError("The JPEG picture is empty (0 bytes)");
  if (Data.size() > std::numeric_limits<unsigned long>::max())
    throw EJPEGError("The JPEG picture is too large");
  std::memset(&FState->Info, 0, sizeof FState->Info);
  InitErrorMgr(FState->Err);
  FState->Info.err = &FState->Err.Pub;
  FState->Info.client_data = &FState->Warnings;
  if (!GuardedReadHeader(FState.get(), Data.data(), static_cast<unsigned long>(Data.size()),
                         LimitToLong(MemoryLimit))) {
    if (FState->Err.OutOfMemory) throw EOutOfMemory("Not enough memory to decode the JPEG picture");
    // libjpeg refuses sides above 65500 itself; such a header gets the words of every other
    // picture too large to hold.
    if (FState->Err.TooLarge)
      throw EOutOfMemory(Format("Picture too large: %d x %d pixels", static_cast<long long>(FState->Info.image_width),
                                static_cast<long long>(FState->Info.image_height)));
    if (FState->Err.Truncated) throw EJPEGError(STruncatedJpeg);
    throw EJPEGError(std::string("Invalid JPEG picture: ") + FState->Err.Message);
  }

  jpeg_decompress_struct &info = FState->Info;
  FHeader.Width = static_cast<int>(info.image_width);
  FHeader.Height = static_cast<int>(info.image_height);
  FHeader.Components = info.num_components;
  FHeader.Progressive = info.progressive_mode != 0;
  FHeader.Arithmetic = info.arith_code != 0;
  FHeader.Adobe = info.saw_Adobe_marker != 0;
  FState->MultiScan = jpeg_has_multiple_scans(&info) != 0;

  switch (info.jpeg_color_space) {
  case JCS_GRAYSCALE:
  case JCS_YCbCr:
  case JCS_RGB:
    info.out_color_space = JCS_EXT_BGR;
    break;
  case JCS_CMYK:
  case JCS_YCCK:
    info.out_color_space = JCS_CMYK;
    FHeader.Cmyk = true;
    break;
  default:
    throw EJPEGError(Format("Unsupported JPEG colour space (%d components, %s)",
                            info.num_components, ColorSpaceName(info.jpeg_color_space)));
  }
  // libjpeg's defaults, stated so that nobody trades them for speed: the fast or float DCT and
  // plain upsampling change most pixels of a photograph, and with them every figure.
  info.dct_method = JDCT_ISLOW;
  info.do_fancy_upsampling = TRUE;
  info.do_block_smoothing = TRUE;
  info.scale_num = 1;
  info.scale_denom = 1;
  info.quantize_colors = FALSE;
}

TJpegDecoder::~TJpegDecoder() = default;

std::uint64_t TJpegDecoder::DecoderMemory() const {
  const std::uint64_t pixels =
      static_cast<std::uint64_t>(FHeader.Width) * static_cast<std::uint64_t>(FHeader.Height);
  // Multi-scan files keep every coefficient (2 bytes per sample, at most one sample per pixel and
  // component); single-scan files need only a few rows of buffers.
  std::uint64_t need = static_cast<std::uint64_t>(FHeader.Width) * 4 * 64;
  if (FState->MultiScan)
    need += pixels * 2 * static_cast<std::uint64_t>(FHeader.Components);
  return need;
}

void TJpegDecoder::SetMemoryLimit(std::uint64_t MemoryLimit) {
  if (FState->Created && FState->Info.mem != nullptr)
    FState->Info.mem->max_memory_to_use = LimitToLong(MemoryLimit);
}

const std::vector<std::string> &TJpegDecoder::Warnings() const { return FState->Warnings; }

void TJpegDecoder::Fail() {
  if (FState->Err.OutOfMemory)
    throw EOutOfMemory(Format("Not enough memory to decode the JPEG picture of %d x %d pixels", FHeader.Width,
                              FHeader.Height));
  if (FState->Err.Truncated) throw EJPEGError(STruncatedJpeg);
  throw EJPEGError(std::string("Damaged JPEG picture: ") + FState->Err.Message);
}

void TJpegDecoder::Start() {
  if (FDecoded) throw EJPEGError("The JPEG picture was already decoded");
  FDecoded = true;
  if (FHeader.Cmyk) FCmykRow.resize(static_cast<std::size_t>(FHeader.Width) * 4);
  if (!GuardedStartDecode(FState.get(), static_cast<unsigned>(FHeader.Height))) Fail();
}

void TJpegDecoder::ReadRows(std::span<std::uint8_t *const> Rows) {
  if (Rows.size() > static_cast<std::size_t>(FHeader.Height) - FRowsRead)
    throw EJPEGError(Format("%d rows asked for past the end of a JPEG picture of %d rows",
                            static_cast<long long>(Rows.size()), FHeader.Height));
  if (!GuardedDecodeRows(FState.get(), Rows.data(), static_cast<unsigned>(Rows.size()),
                         FHeader.Cmyk ? FCmykRow.data() : nullptr, FHeader.Adobe))
    Fail();
  FRowsRead += static_cast<unsigned>(Rows.size());
}

void TJpegDecoder::Finish() {
  if (!GuardedFinishDecode(FState.get())) Fail();
}

void TJpegDecoder::Decode(std::span<std::uint8_t *const> Rows, const TRowsDecoded &RowsDecoded) {
  if (FDecoded) throw EJPEGError("The JPEG picture was already decoded");
  if (Rows.size() != static_cast<std::size_t>(FHeader.Height))
    throw EJPEGError(Format("%d rows given for a JPEG picture of %d rows",
                            static_cast<long long>(Rows.size()), FHeader.Height));
  Start();
  // The rows go out in chunks so that the caller can hand finished rows on while libjpeg goes on;
  // the callback runs here, outside every guarded step, so an exception from it never crosses
  // libjpeg.
  const std::size_t height = Rows.size();
  const std::size_t chunk = RowsDecoded ? DecodeChunkRows : height;
  for (std::size_t done = 0; done < height;) {
    const std::size_t until = std::min(height, done + chunk);
    ReadRows(Rows.subspan(done, until - done));
    done = until;
    if (RowsDecoded) RowsDecoded(static_cast<int>(done));
  }
  Finish();
}

std::vector<std::uint8_t> ReadWholeStream(TStream &Stream, std::uint64_t Limit) {
  const std::int64_t size = Stream.Size();
  if (size < 0) throw EReadError("Stream read error");
  if (Limit != 0 && static_cast<std::uint64_t>(size) > Limit)
    throw EOutOfMemory(Format("File too large to read: %d bytes", size));
  Stream.SetPosition(0);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
  if (size > 0) Stream.ReadBuffer(data.data(), size);
  return data;
}

std::vector<std::uint8_t> EncodeJpeg(int Width, int Height, int Components,
                                     std::span<const std::uint8_t *const> Rows, int Quality) {
  if (Width <= 0 || Height <= 0) throw EJPEGError("Cannot save an empty picture as JPEG");
  if (Width > JPEG_MAX_DIMENSION || Height > JPEG_MAX_DIMENSION)
    throw EJPEGError(Format("Picture too large for JPEG: %d x %d pixels", Width, Height));
  if (Components != 1 && Components != 3)
    throw EJPEGError(Format("JPEG pictures are written with 1 or 3 components, not %d", Components));
  if (Rows.size() != static_cast<std::size_t>(Height))
    throw EJPEGError(Format("%d rows given for a picture of %d rows",
                            static_cast<long long>(Rows.size()), Height));
  if (Quality < 1) Quality = 1;
  if (Quality > 100) Quality = 100;

  TEncodeState state;
  std::memset(&state.Info, 0, sizeof state.Info);
  InitErrorMgr(state.Err);
  state.Info.err = &state.Err.Pub;
  state.Out = nullptr;
  state.OutSize = 0;
  const bool ok = GuardedEncode(&state, static_cast<unsigned>(Width), static_cast<unsigned>(Height),
                                Components, Rows.data(), Quality);
  std::vector<std::uint8_t> result;
  if (ok && state.Out != nullptr) {
    try {
      result.assign(state.Out, state.Out + state.OutSize);
    } catch (...) {
      jpeg_destroy_compress(&state.Info);
      std::free(state.Out);
      throw;
    }
  }
  jpeg_destroy_compress(&state.Info);
  std::free(state.Out); // jpeg_mem_dest's buffer is the caller's to free
  if (!ok) throw EJPEGError(std::string("Cannot write the JPEG picture: ") + state.Err.Message);
  return result;
}

std::span<const std::uint8_t> JpegStreamBytes(TStream &Stream, std::vector<std::uint8_t> &Copy) {
  if (auto *memory = dynamic_cast<TMemoryStream *>(&Stream))
    return std::span<const std::uint8_t>(memory->Memory(), static_cast<std::size_t>(memory->Size()));
  Copy = ReadWholeStream(Stream, GetAvailableMemory());
  return Copy;
}

void CheckJpegMemory(TJpegDecoder &Decoder) {
  const int w = Decoder.Header().Width, h = Decoder.Header().Height;
  CheckPictureMemory(w, h);
  const std::uint64_t picture = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) *
                                PictureBytesPerPixel;
  const std::uint64_t available = GetAvailableMemory();
  if (Decoder.DecoderMemory() > (available > picture ? available - picture : 0))
    throw EOutOfMemory(Format("Picture too large: %d x %d pixels", w, h));
  Decoder.SetMemoryLimit(available > picture ? available - picture : 1);
}

void DecodeJpegStream(TStream &Stream, TBitmap24 &Bitmap, const TRowsDecoded &RowsDecoded) {
  std::vector<std::uint8_t> copy;
  TJpegDecoder decoder(JpegStreamBytes(Stream, copy));
  CheckJpegMemory(decoder);
  const int w = decoder.Header().Width, h = decoder.Header().Height;
  Bitmap.SetSizeForOverwrite(w, h); // every row is decoded into
  std::vector<std::uint8_t *> rows(static_cast<std::size_t>(h));
  for (int y = 0; y < h; ++y) rows[static_cast<std::size_t>(y)] = Bitmap.ScanLine(y);
  if (RowsDecoded) RowsDecoded(0);
  decoder.Decode(rows, RowsDecoded);
}

void LoadJpegFromStream(TStream &Stream, TBitmap24 &Bitmap) {
  try {
    DecodeJpegStream(Stream, Bitmap, {});
  } catch (...) {
    Bitmap.SetSize(0, 0);
    throw;
  }
}
