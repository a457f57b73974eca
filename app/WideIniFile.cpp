#include "app/WideIniFile.h"

#include <array>
#include <cstdint>
#include <cerrno>
#include <filesystem>
#include <new>
#include <utility>

#include "platform/untSysUtils.h"

namespace {

// Unicode code points of the bytes 0x80..0x9F; the rest of the code page is Latin-1.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string &Out, char32_t Cp) {
  if (Cp < 0x80) {
    Out += static_cast<char>(Cp);
  } else if (Cp < 0x800) {
    Out += static_cast<char>(0xC0 | (Cp >> 6));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else if (Cp < 0x10000) {
    Out += static_cast<char>(0xE0 | (Cp >> 12));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (Cp >> 18));
    Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  }
}

// Decodes the code point at I and advances I past it; false (I advanced by one byte) for an
// invalid, overlong, surrogate or cut-off sequence.
bool NextUtf8(std::string_view S, std::size_t &I, char32_t &Cp) {
  const auto b0 = static_cast<unsigned char>(S[I]);
  if (b0 < 0x80) {
    Cp = b0;
    ++I;
    return true;
  }
  int len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, Cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, Cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, Cp = b0 & 0x07;
  } else {
    ++I;
    return false;
  }
  if (I + static_cast<std::size_t>(len) > S.size()) {
    ++I;
    return false;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(S[I + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++I;
      return false;
    }
    Cp = (Cp << 6) | (b & 0x3F);
  }
  if (Cp < min || Cp > 0x10FFFF || (Cp >= 0xD800 && Cp <= 0xDFFF)) {
    ++I;
    return false;
  }
  I += static_cast<std::size_t>(len);
  return true;
}

unsigned char FoldCp1252(unsigned char C) {
  if (C >= 'a' && C <= 'z') return static_cast<unsigned char>(C - 0x20);
  if (C >= 0xE0 && C <= 0xFE && C != 0xF7) return static_cast<unsigned char>(C - 0x20);
  switch (C) {
  case 0x9A: return 0x8A; // š
  case 0x9C: return 0x8C; // œ
  case 0x9E: return 0x8E; // ž
  case 0xFF: return 0x9F; // ÿ
  default: return C;
  }
}

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

std::string_view TrimView(std::string_view S) {
  std::size_t b = 0, e = S.size();
  while (b < e && IsBlank(S[b])) ++b;
  while (e > b && IsBlank(S[e - 1])) --e;
  return S.substr(b, e - b);
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Hexadecimal digits as a 32-bit pattern (as the platform reads "$FFFFFFFF" as -1).
bool ParseHex(std::string_view S, std::uint32_t &Out) {
  if (S.empty()) return false;
  std::uint64_t v = 0;
  for (char c : S) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  Out = static_cast<std::uint32_t>(v);
  return true;
}

// A decimal integer with optional sign, or "$" (after the sign) and hexadecimal digits.
bool ParseInt32(std::string_view S, std::int32_t &Out) {
  bool negative = false;
  if (!S.empty() && (S[0] == '+' || S[0] == '-')) {
    negative = S[0] == '-';
    S.remove_prefix(1);
  }
  if (S.empty()) return false;
  if (S[0] == '$') {
    std::uint32_t v;
    if (!ParseHex(S.substr(1), v)) return false;
    Out = static_cast<std::int32_t>(negative ? 0u - v : v);
    return true;
  }
  std::int64_t v = 0;
  for (char c : S) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > std::int64_t{1} << 31) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  Out = static_cast<std::int32_t>(v);
  return true;
}

bool HasLineBreak(std::string_view S) { return S.find_first_of("\r\n") != std::string_view::npos; }

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

} // namespace

std::string Cp1252ToUtf8(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (char c : Text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80)
      out += c;
    else if (b < 0xA0)
      AppendUtf8(out, kCp1252High[b - 0x80]);
    else
      AppendUtf8(out, b);
  }
  return out;
}

std::string Utf8ToCp1252(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  std::size_t i = 0;
  while (i < Text.size()) {
    char32_t cp;
    if (!NextUtf8(Text, i, cp)) {
      out += '?';
      continue;
    }
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      out += static_cast<char>(cp);
      continue;
    }
    char mapped = '?';
    for (std::size_t k = 0; k < kCp1252High.size(); ++k)
      if (kCp1252High[k] == cp) mapped = static_cast<char>(0x80 + k);
    out += mapped;
  }
  return out;
}

bool IsValidUtf8(std::string_view Text) {
  std::size_t i = 0;
  char32_t cp;
  while (i < Text.size())
    if (!NextUtf8(Text, i, cp)) return false;
  return true;
}

std::string RepairUtf8(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  std::size_t i = 0;
  while (i < Text.size()) {
    const std::size_t start = i;
    char32_t cp;
    if (NextUtf8(Text, i, cp))
      out.append(Text.substr(start, i - start));
    else
      AppendUtf8(out, 0xFFFD);
  }
  return out;
}

std::string EncodeMarkedUtf8(std::string_view Utf8) {
  for (char c : Utf8)
    if (static_cast<unsigned char>(c) >= 0x80) return std::string(kUtf8Mark) + std::string(Utf8);
  return std::string(Utf8);
}

std::string DecodeMarkedUtf8(std::string_view Stored) {
  if (Stored.substr(0, kUtf8Mark.size()) == kUtf8Mark) return RepairUtf8(Stored.substr(kUtf8Mark.size()));
  return Cp1252ToUtf8(Stored);
}

bool SameIniText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (std::size_t i = 0; i < A.size(); ++i)
    if (FoldCp1252(static_cast<unsigned char>(A[i])) != FoldCp1252(static_cast<unsigned char>(B[i])))
      return false;
  return true;
}

// ---- TWideFileMemIniFile ----

TWideFileMemIniFile::TWideFileMemIniFile(const std::string &FileName) : FFileName(FileName) {
  LoadValues();
}

TWideFileMemIniFile::~TWideFileMemIniFile() = default;

void TWideFileMemIniFile::LoadValues() {
  if (FFileName.empty()) return;
  std::error_code ec;
  if (!std::filesystem::exists(PathFromUtf8(FFileName), ec)) return;
  std::string text;
  try {
    TFileStream file(FFileName, fmOpenRead | fmShareDenyWrite);
    const std::int64_t size = file.Size();
    if (size > MaxIniFileSize)
      throw EReadError(Format("The file \"%s\" is too large to be read (%d bytes)", FFileName, size));
    text.resize(static_cast<std::size_t>(size));
    std::int64_t done = 0;
    while (done < size) {
      const std::int64_t n = file.Read(text.data() + done, size - done);
      if (n <= 0) break; // the file got shorter meanwhile: take what is there
      done += n;
    }
    text.resize(static_cast<std::size_t>(done));
  } catch (const std::bad_alloc &) {
    throw EOutOfMemory(Format("Not enough memory to read the file \"%s\"", FFileName));
  }

  LoadFromText(text);
}

void TWideFileMemIniFile::LoadFromText(std::string_view Text) {
  FSections.clear();
  std::string_view all(Text);
  // Editors that save "UTF-8" often start the file with a byte-order mark; such a file's values
  // are UTF-8, not the code page.
  const bool utf8 = all.substr(0, kUtf8Mark.size()) == kUtf8Mark;
  if (utf8) all.remove_prefix(kUtf8Mark.size());
  else if (all.substr(0, 2) == "\xFF\xFE" || all.substr(0, 2) == "\xFE\xFF")
    throw EReadError(FFileName.empty() ? std::string("The text is UTF-16, which cannot be read: save it as UTF-8")
                                       : Format("The file \"%s\" is UTF-16 text, which cannot be read: save it as UTF-8",
                                                FFileName));
  TSection *current = nullptr;
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view line = TrimView(all.substr(pos, end - pos));
    pos = end;
    if (pos < all.size()) pos += (all[pos] == '\r' && pos + 1 < all.size() && all[pos + 1] == '\n') ? 2 : 1;

    if (line.empty() || line[0] == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      FSections.push_back({std::string(TrimView(line.substr(1, line.size() - 2))), {}});
      current = &FSections.back();
      continue;
    }
    if (current != nullptr) AddLine(*current, line, utf8);
  }
}

void TWideFileMemIniFile::AddLine(TSection &Section, std::string_view Line, bool Utf8) {
  const std::size_t eq = Line.find('=');
  if (eq == std::string_view::npos) {
    Section.Lines.push_back({std::string(Line), std::string::npos});
    return;
  }
  const std::string_view key = TrimView(Line.substr(0, eq));
  const std::string_view value = TrimView(Line.substr(eq + 1));
  std::string text;
  text.reserve(key.size() + 1 + value.size());
  text.append(key).append("=");
  if (Utf8 && value.substr(0, kUtf8Mark.size()) != kUtf8Mark && IsValidUtf8(value) &&
      EncodeMarkedUtf8(value).size() != value.size())
    text.append(kUtf8Mark);
  text.append(value);
  Section.Lines.push_back({std::move(text), key.size()});
}

const TWideFileMemIniFile::TSection *TWideFileMemIniFile::FindSection(std::string_view Section) const {
  for (const TSection &s : FSections)
    if (SameIniText(s.Name, Section)) return &s;
  return nullptr;
}

TWideFileMemIniFile::TSection *TWideFileMemIniFile::FindSection(std::string_view Section) {
  return const_cast<TSection *>(std::as_const(*this).FindSection(Section));
}

std::ptrdiff_t TWideFileMemIniFile::FindLine(const TSection &Section, std::string_view Ident) {
  for (std::size_t i = 0; i < Section.Lines.size(); ++i) {
    const TLine &l = Section.Lines[i];
    if (l.Eq != std::string::npos && l.Eq == Ident.size() &&
        SameIniText(std::string_view(l.Text).substr(0, l.Eq), Ident))
      return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

std::string TWideFileMemIniFile::ReadString(std::string_view Section, std::string_view Ident,
                                            std::string_view Default) const {
  if (const TSection *s = FindSection(Section)) {
    const std::ptrdiff_t i = FindLine(*s, Ident);
    if (i >= 0) {
      const TLine &l = s->Lines[static_cast<std::size_t>(i)];
      return l.Text.substr(l.Eq + 1);
    }
  }
  return std::string(Default);
}

void TWideFileMemIniFile::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  if (HasLineBreak(Section) || HasLineBreak(Ident) || HasLineBreak(Value) ||
      Ident.find('=') != std::string_view::npos)
    throw EInvalidOperation(Format("\"%s\" in section \"%s\" cannot be stored: keys may not contain "
                                   "\"=\", and no text may contain a line break",
                                   std::string(Ident), std::string(Section)));
  TSection *s = FindSection(Section);
  if (s == nullptr) {
    FSections.push_back({std::string(Section), {}});
    s = &FSections.back();
  }
  const std::ptrdiff_t i = FindLine(*s, Ident);
  if (i >= 0) {
    TLine &l = s->Lines[static_cast<std::size_t>(i)];
    l.Text.resize(l.Eq + 1); // keeps the key as first written
    l.Text.append(Value);
    return;
  }
  std::string text;
  text.reserve(Ident.size() + 1 + Value.size());
  text.append(Ident).append("=").append(Value);
  s->Lines.push_back({std::move(text), Ident.size()});
}

std::string TWideFileMemIniFile::ReadWideString(std::string_view Section, std::string_view Ident,
                                                std::string_view Default) const {
  return DecodeMarkedUtf8(ReadString(Section, Ident, EncodeMarkedUtf8(Default)));
}

void TWideFileMemIniFile::WriteWideString(std::string_view Section, std::string_view Ident,
                                          std::string_view Value) {
  WriteString(Section, Ident, EncodeMarkedUtf8(Value));
}

std::int32_t TWideFileMemIniFile::ReadInteger(std::string_view Section, std::string_view Ident,
                                              std::int32_t Default) const {
  const std::string text = ReadString(Section, Ident, "");
  const std::string_view s(text);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    std::uint32_t v;
    return ParseHex(s.substr(2), v) ? static_cast<std::int32_t>(v) : Default;
  }
  std::int32_t v;
  return ParseInt32(s, v) ? v : Default;
}

void TWideFileMemIniFile::WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value) {
  WriteString(Section, Ident, IntToStr(Value));
}

bool TWideFileMemIniFile::SectionExists(std::string_view Section) const { return FindSection(Section) != nullptr; }

bool TWideFileMemIniFile::ValueExists(std::string_view Section, std::string_view Ident) const {
  const TSection *s = FindSection(Section);
  return s != nullptr && FindLine(*s, Ident) >= 0;
}

std::vector<std::string> TWideFileMemIniFile::ReadSections() const {
  std::vector<std::string> names;
  names.reserve(FSections.size());
  for (const TSection &s : FSections) names.push_back(s.Name);
  return names;
}

std::vector<std::string> TWideFileMemIniFile::ReadSection(std::string_view Section) const {
  std::vector<std::string> keys;
  if (const TSection *s = FindSection(Section))
    for (const TLine &l : s->Lines)
      if (l.Eq != std::string::npos) keys.push_back(l.Text.substr(0, l.Eq));
  return keys;
}

void TWideFileMemIniFile::DeleteKey(std::string_view Section, std::string_view Ident) {
  TSection *s = FindSection(Section);
  if (s == nullptr) return;
  const std::ptrdiff_t i = FindLine(*s, Ident);
  if (i >= 0) s->Lines.erase(s->Lines.begin() + i);
}

void TWideFileMemIniFile::EraseSection(std::string_view Section) {
  for (auto it = FSections.begin(); it != FSections.end(); ++it)
    if (SameIniText(it->Name, Section)) {
      FSections.erase(it);
      return;
    }
}

void TWideFileMemIniFile::Clear() { FSections.clear(); }

void TWideFileMemIniFile::WriteHeader(TStream &) {}

std::string TWideFileMemIniFile::FileContent() {
  TMemoryStream header;
  WriteHeader(header);
  std::size_t size = static_cast<std::size_t>(header.Size());
  for (const TSection &s : FSections) {
    size += s.Name.size() + 6;
    for (const TLine &l : s.Lines) size += l.Text.size() + 2;
  }
  std::string out;
  out.reserve(size);
  out.append(reinterpret_cast<const char *>(header.Memory()), static_cast<std::size_t>(header.Size()));
  for (const TSection &s : FSections) {
    out.append("[").append(s.Name).append("]\r\n");
    for (const TLine &l : s.Lines) out.append(l.Text).append("\r\n");
    out.append("\r\n");
  }
  return out;
}

void TWideFileMemIniFile::UpdateFile() {
  if (FFileName.empty())
    throw EFCreateError(Format("Cannot create file \"\". %s", SysErrorMessage(ENOENT)));
  const std::string content = FileContent();
  WriteFileAtomically(FFileName, content.data(), content.size());
}

void TProgMemIniFile::WriteHeader(TStream &Stream) {
  static constexpr std::string_view kHeader = "; DO NOT EDIT THIS FILE!\r\n\r\n";
  Stream.WriteBuffer(kHeader.data(), static_cast<std::int64_t>(kHeader.size()));
}
