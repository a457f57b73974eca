#include "app/untKalvProjectFile.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <new>

#include "app/untKalvMainConstType.h"
#include "app/untKalvRegionsFile.h"
#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "platform/untSysUtils.h"

namespace {
constexpr std::string_view kProgram = "Program";
constexpr std::string_view kFile = "File";
constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Bytes handed to zlib at a time: small enough that the progress step comes often.
constexpr std::size_t kZlibChunk = std::size_t{256} << 10;
// Deflate cannot shrink data by more than about 1032 : 1; a "Size" beyond that for the lines
// present is a lie, refused before anything is inflated.
constexpr std::uint64_t kMaxInflateRatio = 1032;

void Step(const TProgressStep &S) {
  if (S) S();
}

// The decimal text of "Size" as a 64-bit count; false for anything else.
bool ParseSize(std::string_view Text, std::uint64_t &Value) {
  if (Text.empty() || Text.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : Text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  Value = v;
  return true;
}
} // namespace

void WriteIntOrDelete(TWideFileMemIniFile &Ini, std::string_view Section, std::string_view Ident, std::int32_t Value) {
  if (Value != 0) Ini.WriteInteger(Section, Ident, Value);
  else Ini.DeleteKey(Section, Ident);
}

void WriteStrOrDelete(TWideFileMemIniFile &Ini, std::string_view Section, std::string_view Ident,
                      std::string_view Value) {
  if (!Value.empty()) Ini.WriteString(Section, Ident, Value);
  else Ini.DeleteKey(Section, Ident);
}

void WriteWideOrDelete(TWideFileMemIniFile &Ini, std::string_view Section, std::string_view Ident,
                       std::string_view Value) {
  if (!Value.empty()) Ini.WriteWideString(Section, Ident, Value);
  else Ini.DeleteKey(Section, Ident);
}

std::string EncodeBase64(std::span<const std::uint8_t> Data) {
  std::string out;
  out.reserve((Data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= Data.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{Data[i]} << 16) | (std::uint32_t{Data[i + 1]} << 8) | Data[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (Data.size() - i == 1) {
    const std::uint32_t v = std::uint32_t{Data[i]} << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (Data.size() - i == 2) {
    const std::uint32_t v = (std::uint32_t{Data[i]} << 16) | (std::uint32_t{Data[i + 1]} << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::vector<std::uint8_t> DecodeBase64(std::string_view Text) {
  static const std::array<int, 256> value = [] {
    std::array<int, 256> t{};
    t.fill(-1);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int>(i);
    return t;
  }();
  std::vector<std::uint8_t> out;
  out.reserve(Text.size() / 4 * 3 + 2);
  std::uint32_t group = 0;
  int have = 0;
  for (char c : Text) {
    if (c == '=') break;
    const int v = value[static_cast<unsigned char>(c)];
    if (v < 0) continue;
    group = (group << 6) | static_cast<std::uint32_t>(v);
    if (++have == 4) {
      out.push_back(static_cast<std::uint8_t>(group >> 16));
      out.push_back(static_cast<std::uint8_t>(group >> 8));
      out.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      have = 0;
    }
  }
  // Three characters carry two whole bytes, two characters one; a single one carries none.
  if (have == 3) {
    out.push_back(static_cast<std::uint8_t>(group >> 10));
    out.push_back(static_cast<std::uint8_t>(group >> 2));
  } else if (have == 2) {
    out.push_back(static_cast<std::uint8_t>(group >> 4));
  }
  return out;
}

std::vector<std::uint8_t> CompressZlib(std::span<const std::uint8_t> Data, const TProgressStep &StepFn) {
  z_stream z{};
  if (deflateInit(&z, 9) != Z_OK) throw EOutOfMemory("Not enough memory to compress the picture");
  struct TEnd {
    z_stream *Z;
    ~TEnd() { deflateEnd(Z); }
  } end{&z};
  std::vector<std::uint8_t> out;
  try {
    out.reserve(static_cast<std::size_t>(deflateBound(&z, static_cast<uLong>(std::min<std::size_t>(Data.size(), ULONG_MAX)))));
  } catch (const std::bad_alloc &) {
    throw EOutOfMemory("Not enough memory to compress the picture");
  }
  std::array<std::uint8_t, 64 * 1024> buffer;
  std::size_t pos = 0;
  int rc = Z_OK;
  do {
    const std::size_t n = std::min(kZlibChunk, Data.size() - pos);
    z.next_in = const_cast<Bytef *>(Data.data() + pos);
    z.avail_in = static_cast<uInt>(n);
    pos += n;
    const int flush = pos == Data.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = buffer.data();
      z.avail_out = static_cast<uInt>(buffer.size());
      rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) throw Exception("The picture could not be compressed");
      out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
    } while (z.avail_out == 0);
    Step(StepFn);
  } while (rc != Z_STREAM_END);
  return out;
}

namespace {

// Inflates one zlib stream in steps, its input taken piece by piece from More (an empty piece:
// there is no more). The stream counts as read only when it ended, and zlib ends it only after
// its Adler-32 matched.
class TInflater {
public:
  using TMore = std::function<std::span<const std::uint8_t>()>;
  explicit TInflater(TMore More) : FMore(std::move(More)) {
    if (inflateInit(&FZ) != Z_OK) throw EOutOfMemory("Not enough memory to decompress the embedded picture");
  }
  ~TInflater() { inflateEnd(&FZ); }
  TInflater(const TInflater &) = delete;
  TInflater &operator=(const TInflater &) = delete;

  // Up to Length bytes into Out; fewer only when the stream ended or its input ran out.
  std::size_t Inflate(std::uint8_t *Out, std::size_t Length) {
    std::size_t done = 0;
    while (done < Length && !FEnded && !FInputEnded) {
      if (FZ.avail_in == 0) {
        const std::span<const std::uint8_t> piece = FMore();
        if (piece.empty()) {
          FInputEnded = true;
          break;
        }
        FZ.next_in = const_cast<Bytef *>(piece.data());
        FZ.avail_in = static_cast<uInt>(piece.size());
      }
      const std::size_t want = std::min<std::size_t>(Length - done, std::size_t{1} << 30);
      FZ.next_out = Out + done;
      FZ.avail_out = static_cast<uInt>(want);
      const int rc = inflate(&FZ, Z_NO_FLUSH);
      done += want - FZ.avail_out;
      if (rc == Z_STREAM_END) FEnded = true;
      else if (rc == Z_MEM_ERROR) throw EOutOfMemory("Not enough memory to decompress the embedded picture");
      else if (rc != Z_OK && rc != Z_BUF_ERROR)
        throw EReadError(Format("The embedded picture is damaged (%s)", FZ.msg != nullptr ? FZ.msg : "invalid data"));
    }
    return done;
  }
  bool Ended() const { return FEnded; }
  bool InputEnded() const { return FInputEnded; }

  // Inflates the rest of the stream without keeping it, so its checksum is checked; more than
  // Limit bytes are refused (a "Size" far below what the stream holds).
  void Finish(std::uint64_t Size, std::uint64_t Limit, const TProgressStep &StepFn) {
    std::array<std::uint8_t, 64 * 1024> scratch;
    std::uint64_t surplus = 0;
    while (!FEnded) {
      const std::size_t got = Inflate(scratch.data(), scratch.size());
      surplus += got;
      if (surplus > Limit)
        throw EReadError(Format("The embedded picture is damaged: it holds far more than the %u bytes of its size", Size));
      if (!FEnded && FInputEnded)
        throw EReadError("The embedded picture is damaged (its data ends before its checksum)");
      Step(StepFn);
    }
  }

private:
  z_stream FZ{};
  TMore FMore;
  bool FEnded = false, FInputEnded = false;
};

// What inflates beyond "Size" is checked and dropped, up to this much.
constexpr std::uint64_t kMaxSurplus = std::uint64_t{64} << 20;

// Data in pieces of kZlibChunk bytes.
TInflater::TMore Pieces(std::span<const std::uint8_t> Data) {
  return [Data, pos = std::size_t{0}]() mutable {
    const std::size_t n = std::min(kZlibChunk, Data.size() - pos);
    const auto piece = Data.subspan(pos, n);
    pos += n;
    return piece;
  };
}

} // namespace

std::vector<std::uint8_t> DecompressZlib(std::span<const std::uint8_t> Data, std::uint64_t Size,
                                         const TProgressStep &StepFn) {
  std::vector<std::uint8_t> out;
  try {
    TInflater inflater(Pieces(Data));
    // Grows with what really comes out; "Size" only caps it.
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(Size, std::uint64_t{Data.size()} * 4 + 4096)));
    std::array<std::uint8_t, 64 * 1024> buffer;
    while (out.size() < Size && !inflater.Ended() && !inflater.InputEnded()) {
      const std::size_t got =
          inflater.Inflate(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), Size - out.size())));
      out.insert(out.end(), buffer.data(), buffer.data() + got);
      Step(StepFn);
    }
    if (out.size() < Size)
      throw EReadError(Format("The embedded picture is damaged: %d of %d bytes are there", out.size(), Size));
    inflater.Finish(Size, kMaxSurplus, StepFn);
  } catch (const std::bad_alloc &) {
    throw EOutOfMemory("Not enough memory to decompress the embedded picture");
  }
  return out;
}

void WriteProjectPicture(TWideFileMemIniFile &Ini, const std::string &PictureFile, const TProgressStep &StepFn) {
  std::vector<std::uint8_t> bytes;
  {
    TFileStream file(PictureFile, fmOpenRead | fmShareDenyWrite);
    const std::int64_t size = file.Size();
    if (size > MaxIniFileSize) throw EReadError(Format("The picture \"%s\" is too large to embed", PictureFile));
    try {
      bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc &) {
      throw EOutOfMemory(Format("Not enough memory to read the picture \"%s\"", PictureFile));
    }
    file.ReadBuffer(bytes.data(), size);
  }
  WriteProjectPictureBytes(Ini, bytes, PictureFile, StepFn);
}

void WriteProjectPictureBytes(TWideFileMemIniFile &Ini, std::span<const std::uint8_t> Bytes, const std::string &Name,
                              const TProgressStep &StepFn) {
  if (Bytes.size() > static_cast<std::uint64_t>(MaxIniFileSize))
    throw EReadError(Format("The picture \"%s\" is too large to embed", Name));
  std::vector<std::string> lines;
  if (!Bytes.empty()) {
    const std::string text = EncodeBase64(CompressZlib(Bytes, StepFn));
    // A project larger than the file-kind probe reads would never open again.
    if (text.size() > MaxKindProbeSize - (std::uintmax_t{1} << 20))
      throw EInvalidOperation(Format("The picture \"%s\" is too large to embed in a project", Name));
    for (std::size_t pos = 0; pos < text.size(); pos += ProjectLineLength) lines.push_back(text.substr(pos, ProjectLineLength));
  }
  if (lines.size() > static_cast<std::size_t>(INT32_MAX)) throw EInvalidOperation("The picture is too large to embed");
  Ini.WriteString(kFile, "Size", IntToStr(static_cast<long long>(Bytes.size())));
  const std::uint32_t n = static_cast<std::uint32_t>(lines.size());
  const std::int32_t old = Ini.ReadInteger(kFile, "Count", 0);
  for (std::uint32_t index : PresentIndices(Ini.ReadSection(kFile), SLineKeyFormat))
    if (index >= n && old > 0 && index < static_cast<std::uint32_t>(old)) Ini.DeleteKey(kFile, IndexedName(SLineKeyFormat, index));
  WriteIntOrDelete(Ini, kFile, "Count", static_cast<std::int32_t>(n));
  for (std::uint32_t i = 0; i < n; ++i) {
    WriteStrOrDelete(Ini, kFile, IndexedName(SLineKeyFormat, i), lines[i]);
    Step(StepFn);
  }
}

TProjectInfo ReadProjectInfo(const TWideFileMemIniFile &Ini) {
  TProjectInfo info;
  info.Kind = static_cast<std::uint8_t>(Ini.ReadInteger(kProgram, "FileType", 0));
  info.FileName = Ini.ReadWideString(kProgram, "FileName", "");
  return info;
}

namespace {

// The Base64 text of the picture lines, decoded line by line as the inflater asks for more (no
// line is copied, nor the whole text joined); decoding ends at the first "=", as DecodeBase64's.
class TBase64Lines {
public:
  TBase64Lines(const TWideFileMemIniFile &Ini, std::vector<std::uint32_t> Indices)
      : FIni(Ini), FIndices(std::move(Indices)) {}
  std::span<const std::uint8_t> Next() {
    static const std::array<int, 256> value = [] {
      std::array<int, 256> t{};
      t.fill(-1);
      for (std::size_t i = 0; i < kAlphabet.size(); ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int>(i);
      return t;
    }();
    FOut.clear();
    while (FOut.empty() && !FDone) {
      if (FNext >= FIndices.size()) {
        FDone = true;
      } else {
        const std::string_view text = FIni.ReadStringView(kFile, IndexedName(SLineKeyFormat, FIndices[FNext++]));
        FOut.reserve(text.size() / 4 * 3 + 3);
        for (char c : text) {
          if (c == '=') {
            FDone = true;
            break;
          }
          const int v = value[static_cast<unsigned char>(c)];
          if (v < 0) continue;
          FGroup = (FGroup << 6) | static_cast<std::uint32_t>(v);
          if (++FHave == 4) {
            FOut.push_back(static_cast<std::uint8_t>(FGroup >> 16));
            FOut.push_back(static_cast<std::uint8_t>(FGroup >> 8));
            FOut.push_back(static_cast<std::uint8_t>(FGroup));
            FGroup = 0;
            FHave = 0;
          }
        }
      }
      if (FDone) { // an incomplete last group gives the bytes it holds whole
        if (FHave == 3) {
          FOut.push_back(static_cast<std::uint8_t>(FGroup >> 10));
          FOut.push_back(static_cast<std::uint8_t>(FGroup >> 2));
        } else if (FHave == 2) {
          FOut.push_back(static_cast<std::uint8_t>(FGroup >> 4));
        }
        FHave = 0;
      }
    }
    FBytes += FOut.size();
    return FOut;
  }
  std::uint64_t Bytes() const { return FBytes; }

private:
  const TWideFileMemIniFile &FIni;
  std::vector<std::uint32_t> FIndices;
  std::size_t FNext = 0;
  std::vector<std::uint8_t> FOut;
  std::uint32_t FGroup = 0;
  int FHave = 0;
  bool FDone = false;
  std::uint64_t FBytes = 0;
};

// The first bytes a picture's header is looked for in, and the most it may take.
constexpr std::size_t kHeaderFirst = std::size_t{256} << 10, kHeaderMost = std::size_t{16} << 20;

// Judges the picture's first bytes: true when its header was found and its sides pass the memory
// check (Width, Height set), false when more bytes are needed; raises for anything else. Whole: the
// bytes are all there are.
bool CheckPictureStart(TFileKind Kind, std::span<const std::uint8_t> Start, bool Whole, int &Width, int &Height) {
  auto u16 = [&](std::size_t At) { return static_cast<std::uint32_t>(Start[At] | (Start[At + 1] << 8)); };
  auto u32 = [&](std::size_t At) { return u16(At) | (u16(At + 2) << 16); };
  if (Kind == fkBMP) {
    if (Start.size() >= 2 && (Start[0] != 'B' || Start[1] != 'M')) throw EReadError("Not a BMP picture");
    if (Start.size() < 26) {
      if (Whole) throw EReadError("The BMP picture's header is cut short");
      return false;
    }
    const std::uint32_t header = u32(14);
    if (header == 12) {
      Width = static_cast<int>(u16(18));
      Height = static_cast<std::int16_t>(u16(20));
    } else {
      Width = static_cast<std::int32_t>(u32(18));
      Height = static_cast<std::int32_t>(u32(22));
    }
    if (Height < 0 && Height != INT32_MIN) Height = -Height;
    CheckPictureMemory(Width, Height);
    return true;
  }
  if (Kind == fkJPEG) {
    const std::size_t sig = std::min<std::size_t>(Start.size(), 3);
    static constexpr std::uint8_t kSoi[3] = {0xFF, 0xD8, 0xFF};
    if (!std::equal(Start.begin(), Start.begin() + static_cast<std::ptrdiff_t>(sig), kSoi)) throw EJPEGError("Not a JPEG file");
    try {
      TJpegDecoder decoder(Start);
      Width = decoder.Header().Width;
      Height = decoder.Header().Height;
    } catch (const EJPEGError &e) {
      if (Whole || e.Message != STruncatedJpeg) throw;
      return false;
    }
    CheckPictureMemory(Width, Height);
    return true;
  }
  return true; // no kind to judge by: the callers refuse it
}

} // namespace

std::unique_ptr<TMemoryStream> ReadProjectPicture(const TWideFileMemIniFile &Ini, const TProgressStep &StepFn) {
  const std::int32_t count = Ini.ReadInteger(kFile, "Count", 0);
  std::vector<std::uint32_t> indices;
  std::uint64_t chars = 0;
  if (count > 0)
    for (std::uint32_t index : PresentIndices(Ini.ReadSection(kFile), SLineKeyFormat)) {
      if (index >= static_cast<std::uint32_t>(count)) break;
      const std::size_t n = Ini.ReadStringView(kFile, IndexedName(SLineKeyFormat, index)).size();
      if (n == 0) continue;
      indices.push_back(index);
      chars += n;
    }
  if (chars == 0) return nullptr;

  const std::string sizeText = Ini.ReadString(kFile, "Size", "");
  std::uint64_t size = 0;
  if (sizeText.empty()) throw EReadError("The project's embedded picture has no size");
  if (!ParseSize(sizeText, size))
    throw EReadError(Format("The project's embedded picture has an invalid size \"%s\"", sizeText));
  if (size == 0) throw EReadError("The project's embedded picture has the size 0");
  // Four characters carry three bytes at most.
  const std::uint64_t packed = chars / 4 * 3 + 2;
  if (size / kMaxInflateRatio > packed)
    throw EReadError(Format("The project's embedded picture claims %u bytes, far more than its %u bytes of data "
                            "can hold",
                            size, packed));
  const std::string name = ReadProjectInfo(Ini).FileName;
  const TFileKind kind = PictureKindByExtension(name);
  auto stream = std::make_unique<TMemoryStream>();
  try {
    TBase64Lines lines(Ini, std::move(indices));
    TInflater inflater([&lines] { return lines.Next(); });
    // The picture's first bytes, until its header can be judged: a bomb, a picture too large to
    // hold or something else than the name says is refused before the rest is inflated.
    std::size_t have = 0;
    int width = 0, height = 0;
    for (std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderFirst));;) {
      stream->SetSize(static_cast<std::int64_t>(want));
      have += inflater.Inflate(stream->Memory() + have, want - have);
      if (lines.Bytes() == 0) throw EReadError("The embedded picture is damaged (its lines hold no Base64 data)");
      const bool whole = have < want || have == size;
      try {
        if (CheckPictureStart(kind, std::span<const std::uint8_t>(stream->Memory(), have), whole, width, height)) break;
      } catch (const Exception &e) {
        throw EReadError(Format("The embedded picture \"%s\" cannot be loaded: %s", name, e.Message));
      }
      if (want >= kHeaderMost)
        throw EReadError(Format("The embedded picture \"%s\" cannot be loaded: no picture header in its first %d MB",
                                name, static_cast<std::int64_t>(kHeaderMost >> 20)));
      want = static_cast<std::size_t>(std::min<std::uint64_t>(size, want * 4));
      Step(StepFn);
    }
    // A picture file holds its pixels (at most 4 bytes each in a BMP, fewer in a JPEG) and some
    // more; a size far beyond that is no picture of these sides.
    if (width > 0 && height > 0 && size > std::uint64_t{8} * width * height + (std::uint64_t{64} << 20))
      throw EReadError(Format("The project's embedded picture claims %u bytes, far more than a picture of %d x %d "
                              "pixels takes",
                              size, width, height));
    // The rest straight into the stream the picture reader reads.
    stream->SetSize(static_cast<std::int64_t>(size));
    while (have < size && !inflater.Ended() && !inflater.InputEnded()) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - have, std::uint64_t{1} << 20));
      have += inflater.Inflate(stream->Memory() + have, n);
      Step(StepFn);
    }
    if (have < size)
      throw EReadError(Format("The embedded picture is damaged: %d of %d bytes are there", have, size));
    inflater.Finish(size, kMaxSurplus, StepFn);
  } catch (const std::bad_alloc &) {
    throw EOutOfMemory("Not enough memory to read the embedded picture");
  }
  stream->SetPosition(0);
  return stream;
}

TProjectFile ReadProjectFile(const std::string &FileName, const TProgressStep &StepFn) {
  TProjectFile project;
  project.Ini = std::make_unique<TProgMemIniFile>(FileName);
  project.Info = ReadProjectInfo(*project.Ini);
  if (project.Info.Kind == ftProjectWithPicture) {
    project.Picture = ReadProjectPicture(*project.Ini, StepFn);
    // The lines are decoded: their text need not stay in memory.
    project.Ini->EraseSection(kFile);
  }
  return project;
}
