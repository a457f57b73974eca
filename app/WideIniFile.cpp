#include "app/WideIniFile.h"

#include <array>
#include <cstdint>
#include <cerrno>
#include <climits>
#include <cstring>
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

const std::array<unsigned char, 256> kFold = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 256; ++c) t[static_cast<std::size_t>(c)] = FoldCp1252(static_cast<unsigned char>(c));
  return t;
}();

// FNV-1a over the folded bytes, finished by a mixer so that the low bits spread well.
std::uint64_t FoldHash(std::string_view S, std::uint64_t Seed = 0) {
  std::uint64_t h = 0xCBF29CE484222325ull ^ (Seed * 0x9E3779B97F4A7C15ull);
  for (char c : S) {
    h ^= kFold[static_cast<unsigned char>(c)];
    h *= 0x100000001B3ull;
  }
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  return h;
}

// "The file "x"" (or "the file"), or "The text" for a store without file.
std::string Named(const std::string &FileName, bool Capital = true) {
  if (FileName.empty()) return Capital ? "The text" : "the text";
  return Format(Capital ? "The file \"%s\"" : "the file \"%s\"", FileName);
}

constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu, kTombSlot = 0xFFFFFFFEu;

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

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
    if (A[i] != B[i] && kFold[static_cast<unsigned char>(A[i])] != kFold[static_cast<unsigned char>(B[i])])
      return false;
  return true;
}

// ---- the index ----

namespace {

// The slot that holds an element equal to the one sought (Equal), or where it would go (the
// first tombstone passed, else the empty slot that ends the search); Found tells which.
template <class TEqual>
std::size_t ProbeSlot(const std::vector<std::uint32_t> &Slots, std::uint64_t Hash, TEqual Equal, bool &Found) {
  Found = false;
  if (Slots.empty()) return 0;
  const std::size_t mask = Slots.size() - 1;
  std::size_t free = SIZE_MAX;
  for (std::size_t i = static_cast<std::size_t>(Hash) & mask;; i = (i + 1) & mask) {
    const std::uint32_t id = Slots[i];
    if (id == kEmptySlot) return free != SIZE_MAX ? free : i;
    if (id == kTombSlot) {
      if (free == SIZE_MAX) free = i;
    } else if (Equal(id)) {
      Found = true;
      return i;
    }
  }
}

// Room for Count elements at a load of at most 0.7.
std::size_t SlotsFor(std::size_t Count) {
  std::size_t n = 16;
  while (n * 7 < Count * 10 + 10) n *= 2;
  return n;
}

} // namespace

// ---- TWideFileMemIniFile ----

TWideFileMemIniFile::TWideFileMemIniFile(const std::string &FileName) : FFileName(FileName) {
  LoadValues();
}

TWideFileMemIniFile::~TWideFileMemIniFile() = default;

void TWideFileMemIniFile::LoadValues() {
  if (FFileName.empty()) return;
  std::error_code ec;
  if (!std::filesystem::exists(PathFromUtf8(FFileName), ec)) return;
  try {
    TFileStream file(FFileName, fmOpenRead | fmShareDenyWrite);
    const std::int64_t size = file.Size();
    if (size > MaxIniFileSize)
      throw EReadError(Format("The file \"%s\" is too large to be read (%d bytes; at most %d)", FFileName, size,
                              MaxIniFileSize));
    Clear();
    FText.resize(static_cast<std::size_t>(size));
    std::int64_t done = 0;
    while (done < size) {
      const std::int64_t n = file.Read(FText.data() + done, size - done);
      if (n <= 0) break; // the file got shorter meanwhile: take what is there
      done += n;
    }
    FText.resize(static_cast<std::size_t>(done));
    ParseText();
  } catch (const std::bad_alloc &) {
    Clear();
    throw EOutOfMemory(Format("Not enough memory to read the file \"%s\"", FFileName));
  } catch (...) {
    Clear();
    throw;
  }
}

void TWideFileMemIniFile::LoadFromText(std::string_view Text) {
  try {
    std::string text(Text);
    Clear();
    FText.swap(text);
    ParseText();
  } catch (const std::bad_alloc &) {
    Clear();
    throw EOutOfMemory("Not enough memory to read " + Named(FFileName, false));
  } catch (...) {
    Clear();
    throw;
  }
}

// Splits FText into sections and lines in place: each kept line is moved down to the end of the
// kept text before it, trimmed (and "key = value" closed up), so no second copy of the file is
// made. The records are made, then the indices.
void TWideFileMemIniFile::ParseText() {
  std::string &t = FText;
  std::size_t r = 0, w = 0;
  // Editors that save "UTF-8" often start the file with a byte-order mark; such a file's values
  // are UTF-8, not the code page.
  const bool utf8 = std::string_view(t).substr(0, kUtf8Mark.size()) == kUtf8Mark;
  if (utf8) r = kUtf8Mark.size();
  else if (std::string_view(t).substr(0, 2) == "\xFF\xFE" || std::string_view(t).substr(0, 2) == "\xFE\xFF")
    throw EReadError(Named(FFileName) + " is UTF-16 text, which cannot be read: save it as UTF-8");
  {
    // The lines that will make a record, counted first: a file with too many is refused before
    // any record is made, and the others get exactly the room they need.
    std::size_t lines = 0;
    bool start = true, counted = false;
    for (std::size_t i = r; i < t.size(); ++i) {
      const char c = t[i];
      if (c == '\r' || c == '\n') {
        start = true;
        counted = false;
      } else if (start && !IsBlank(c)) {
        start = false;
        if (c != ';' && !counted) ++lines;
        counted = true;
      }
    }
    if (lines > MaxIniEntries)
      throw EReadError(Named(FFileName) + Format(" has too many lines to be read (%d; at most %d)",
                                                 static_cast<std::int64_t>(lines), static_cast<std::int64_t>(MaxIniEntries)));
    FLines.reserve(lines);
  }
  std::string marked; // UTF-8 values of a marked file, which grow by the mark: placed after the rest
  std::vector<std::pair<std::uint32_t, std::size_t>> markedLines; // line, its offset in marked
  std::uint32_t current = kNone;
  const std::size_t n = t.size();
  auto move = [&](std::size_t From, std::size_t Length) {
    if (Length > 0 && From != w) std::memmove(t.data() + w, t.data() + From, Length);
    w += Length;
  };
  while (r < n) {
    std::size_t end = r;
    while (end < n && t[end] != '\r' && t[end] != '\n') ++end;
    std::size_t b = r, e = end;
    r = end;
    if (r < n) r += (t[r] == '\r' && r + 1 < n && t[r + 1] == '\n') ? 2 : 1;
    while (b < e && IsBlank(t[b])) ++b;
    while (e > b && IsBlank(t[e - 1])) --e;
    if (b == e || t[b] == ';') continue;
    if (FSections.size() + FLines.size() >= MaxIniEntries)
      throw EReadError(Named(FFileName) + Format(" has too many lines to be read (more than %d)",
                                                 static_cast<std::int64_t>(MaxIniEntries)));
    if (e - b >= 2 && t[b] == '[' && t[e - 1] == ']') {
      std::size_t nb = b + 1, ne = e - 1;
      while (nb < ne && IsBlank(t[nb])) ++nb;
      while (ne > nb && IsBlank(t[ne - 1])) --ne;
      const std::size_t at = w;
      move(nb, ne - nb);
      FSections.push_back({static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(ne - nb), kNone, kNone, kNone, 0});
      current = static_cast<std::uint32_t>(FSections.size() - 1);
      continue;
    }
    if (current == kNone) continue; // before the first section
    const std::size_t at = w;
    const char *eq = static_cast<const char *>(std::memchr(t.data() + b, '=', e - b));
    if (eq == nullptr) {
      move(b, e - b);
    } else {
      std::size_t ke = static_cast<std::size_t>(eq - t.data()), vb = ke + 1;
      while (ke > b && IsBlank(t[ke - 1])) --ke;
      while (vb < e && IsBlank(t[vb])) ++vb;
      const std::string_view value(t.data() + vb, e - vb);
      if (utf8 && value.substr(0, kUtf8Mark.size()) != kUtf8Mark && EncodeMarkedUtf8(value).size() != value.size() &&
          IsValidUtf8(value)) {
        markedLines.emplace_back(static_cast<std::uint32_t>(FLines.size()), marked.size());
        marked.append(t, b, ke - b).append("=").append(kUtf8Mark).append(value);
      } else {
        move(b, ke - b);
        t[w++] = '=';
        move(vb, e - vb);
      }
    }
    const auto line = static_cast<std::uint32_t>(FLines.size());
    FLines.push_back({static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(w - at), current, kNone, kNone});
    TSection &sec = FSections[current];
    if (sec.Last == kNone) sec.First = line;
    else FLines[sec.Last].Next = line;
    sec.Last = line;
  }
  t.resize(w);
  if (!markedLines.empty()) {
    for (std::size_t i = 0; i < markedLines.size(); ++i) {
      TLine &l = FLines[markedLines[i].first];
      const std::size_t to = i + 1 < markedLines.size() ? markedLines[i + 1].second : marked.size();
      l.Offset = static_cast<std::uint32_t>(w + markedLines[i].second);
      l.Length = static_cast<std::uint32_t>(to - markedLines[i].second);
    }
    t += marked;
  }
  if (t.size() > kNone - 1) throw EReadError(Named(FFileName) + " is too large to be read");
  BuildIndices();
}

// Both indices from the records. Equal names are taken last to first, so that each chain
// (NextSame) runs in file order and the index holds the first.
void TWideFileMemIniFile::BuildIndices() {
  FSectionIndex.Slots.assign(SlotsFor(FSections.size()), kEmptySlot);
  FSectionIndex.Used = 0;
  for (std::size_t k = FSections.size(); k-- > 0;) {
    TSection &sec = FSections[k];
    sec.NextSame = kNone;
    if (sec.Dead != 0) continue;
    const std::string_view name = SectionName(static_cast<std::uint32_t>(k));
    bool found;
    const std::size_t slot = ProbeSlot(FSectionIndex.Slots, FoldHash(name),
                                       [&](std::uint32_t Id) { return SameIniText(SectionName(Id), name); }, found);
    if (found) sec.NextSame = FSectionIndex.Slots[slot];
    else ++FSectionIndex.Used;
    FSectionIndex.Slots[slot] = static_cast<std::uint32_t>(k);
  }
  std::size_t keyed = 0;
  for (const TLine &l : FLines) keyed += l.Section != kNone;
  FLineIndex.Slots.assign(SlotsFor(keyed), kEmptySlot);
  FLineIndex.Used = 0;
  for (std::size_t k = FLines.size(); k-- > 0;) {
    TLine &line = FLines[k];
    line.NextSame = kNone;
    if (line.Section == kNone || FSections[line.Section].Dead != 0) continue;
    const std::string_view text = LineText(static_cast<std::uint32_t>(k));
    const std::size_t eqPos = text.find('=');
    if (eqPos == std::string_view::npos) continue;
    const std::string_view key = text.substr(0, eqPos);
    const std::uint32_t section = line.Section;
    bool found;
    const std::size_t slot = ProbeSlot(
        FLineIndex.Slots, FoldHash(key, section + 1),
        [&](std::uint32_t Id) { return LineHasKey(Id, section, key); },
        found);
    if (found) line.NextSame = FLineIndex.Slots[slot];
    else ++FLineIndex.Used;
    FLineIndex.Slots[slot] = static_cast<std::uint32_t>(k);
  }
}

bool TWideFileMemIniFile::LineHasKey(std::uint32_t Id, std::uint32_t Section, std::string_view Ident) const {
  if (FLines[Id].Section != Section) return false;
  const std::string_view text = LineText(Id);
  return text.size() > Ident.size() && text[Ident.size()] == '=' && SameIniText(text.substr(0, Ident.size()), Ident);
}

std::uint32_t TWideFileMemIniFile::FindSection(std::string_view Section) const {
  bool found;
  const std::size_t slot = ProbeSlot(FSectionIndex.Slots, FoldHash(Section),
                                     [&](std::uint32_t Id) { return SameIniText(SectionName(Id), Section); }, found);
  return found ? FSectionIndex.Slots[slot] : kNone;
}

std::uint32_t TWideFileMemIniFile::FindLine(std::uint32_t Section, std::string_view Ident) const {
  bool found;
  const std::size_t slot = ProbeSlot(
      FLineIndex.Slots, FoldHash(Ident, Section + 1),
      [&](std::uint32_t Id) { return LineHasKey(Id, Section, Ident); },
      found);
  return found ? FLineIndex.Slots[slot] : kNone;
}

// Places the pieces one after the other at the end of FText; their offset.
std::uint32_t TWideFileMemIniFile::AppendText(std::string_view A, std::string_view B, std::string_view C) {
  const std::size_t add = A.size() + B.size() + C.size();
  if (FText.size() + add > kNone - 1) {
    Compact();
    if (FText.size() + add > kNone - 1) throw EOutOfMemory("The store cannot hold more than 4 GB of text");
  }
  const std::size_t at = FText.size();
  FText.append(A).append(B).append(C);
  return static_cast<std::uint32_t>(at);
}

std::uint32_t TWideFileMemIniFile::AddSection(std::string_view Name) {
  const std::string name(Name); // may lie in FText, which grows
  const std::uint32_t at = AppendText(name);
  const auto id = static_cast<std::uint32_t>(FSections.size());
  FSections.push_back({at, static_cast<std::uint32_t>(name.size()), kNone, kNone, kNone, 0});
  if ((FSectionIndex.Used + 1) * 10 > FSectionIndex.Slots.size() * 7) {
    BuildIndices();
    return id;
  }
  bool found;
  const std::size_t slot = ProbeSlot(FSectionIndex.Slots, FoldHash(name), [](std::uint32_t) { return false; }, found);
  if (FSectionIndex.Slots[slot] == kEmptySlot) ++FSectionIndex.Used;
  FSectionIndex.Slots[slot] = id;
  return id;
}

void TWideFileMemIniFile::MaybeCompact() {
  const std::size_t records = FSections.size() + FLines.size();
  if ((FGarbage > (std::size_t{1} << 20) && FGarbage > FText.size() / 2) ||
      (FDeadRecords > 4096 && FDeadRecords > records / 2))
    Compact();
}

// Rebuilds text and records from what is live, in order, and the indices over them.
void TWideFileMemIniFile::Compact() {
  std::string text;
  std::vector<TSection> sections;
  std::vector<TLine> lines;
  text.reserve(FText.size() - std::min(FGarbage, FText.size()));
  sections.reserve(FSections.size());
  lines.reserve(FLines.size());
  for (const TSection &s : FSections) {
    if (s.Dead != 0) continue;
    const auto id = static_cast<std::uint32_t>(sections.size());
    sections.push_back({static_cast<std::uint32_t>(text.size()), s.Length, kNone, kNone, kNone, 0});
    text.append(TextOf(s.Offset, s.Length));
    for (std::uint32_t l = s.First; l != kNone; l = FLines[l].Next) {
      const TLine &old = FLines[l];
      if (old.Section == kNone) continue;
      const auto lid = static_cast<std::uint32_t>(lines.size());
      lines.push_back({static_cast<std::uint32_t>(text.size()), old.Length, id, kNone, kNone});
      text.append(TextOf(old.Offset, old.Length));
      TSection &ns = sections.back();
      if (ns.Last == kNone) ns.First = lid;
      else lines[ns.Last].Next = lid;
      ns.Last = lid;
    }
  }
  FText.swap(text);
  FSections.swap(sections);
  FLines.swap(lines);
  FGarbage = 0;
  FDeadRecords = 0;
  BuildIndices();
}

std::string_view TWideFileMemIniFile::ReadStringView(std::string_view Section, std::string_view Ident) const {
  const std::uint32_t s = FindSection(Section);
  if (s == kNone) return {};
  const std::uint32_t l = FindLine(s, Ident);
  return l != kNone ? LineText(l).substr(Ident.size() + 1) : std::string_view();
}

std::string TWideFileMemIniFile::ReadString(std::string_view Section, std::string_view Ident,
                                            std::string_view Default) const {
  const std::uint32_t s = FindSection(Section);
  if (s != kNone) {
    const std::uint32_t l = FindLine(s, Ident);
    if (l != kNone) return std::string(LineText(l).substr(Ident.size() + 1));
  }
  return std::string(Default);
}

void TWideFileMemIniFile::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value) {
  if (HasLineBreak(Section) || HasLineBreak(Ident) || HasLineBreak(Value) ||
      Ident.find('=') != std::string_view::npos)
    throw EInvalidOperation(Format("\"%s\" in section \"%s\" cannot be stored: keys may not contain "
                                   "\"=\", and no text may contain a line break",
                                   std::string(Ident), std::string(Section)));
  std::uint32_t s = FindSection(Section);
  if (s == kNone) s = AddSection(Section);
  const std::uint32_t found = FindLine(s, Ident);
  if (found != kNone) {
    TLine &l = FLines[found];
    const std::size_t length = Ident.size() + 1 + Value.size();
    if (length <= l.Length) { // in place, after the key as first written
      std::memmove(FText.data() + l.Offset + Ident.size() + 1, Value.data(), Value.size());
      FGarbage += l.Length - length;
      l.Length = static_cast<std::uint32_t>(length);
    } else {
      const std::string key(LineText(found).substr(0, Ident.size()));
      const std::string value(Value); // may lie in FText, which grows
      FGarbage += l.Length;
      const std::uint32_t at = AppendText(key, "=", value);
      TLine &moved = FLines[FindLine(FindSection(Section), Ident)]; // the records may have been rebuilt
      moved.Offset = at;
      moved.Length = static_cast<std::uint32_t>(length);
    }
    MaybeCompact();
    return;
  }
  const std::string key(Ident), value(Value);
  const std::uint32_t at = AppendText(key, "=", value);
  s = FindSection(Section); // the records may have been rebuilt
  const auto id = static_cast<std::uint32_t>(FLines.size());
  FLines.push_back({at, static_cast<std::uint32_t>(key.size() + 1 + value.size()), s, kNone, kNone});
  TSection &sec = FSections[s];
  if (sec.Last == kNone) sec.First = id;
  else FLines[sec.Last].Next = id;
  sec.Last = id;
  if ((FLineIndex.Used + 1) * 10 > FLineIndex.Slots.size() * 7) {
    BuildIndices();
    return;
  }
  bool dummy;
  const std::size_t slot = ProbeSlot(FLineIndex.Slots, FoldHash(key, s + 1), [](std::uint32_t) { return false; }, dummy);
  if (FLineIndex.Slots[slot] == kEmptySlot) ++FLineIndex.Used;
  FLineIndex.Slots[slot] = id;
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

bool TWideFileMemIniFile::SectionExists(std::string_view Section) const { return FindSection(Section) != kNone; }

bool TWideFileMemIniFile::ValueExists(std::string_view Section, std::string_view Ident) const {
  const std::uint32_t s = FindSection(Section);
  return s != kNone && FindLine(s, Ident) != kNone;
}

std::vector<std::string> TWideFileMemIniFile::ReadSections() const {
  std::vector<std::string> names;
  names.reserve(FSections.size());
  for (std::uint32_t s = 0; s < FSections.size(); ++s)
    if (FSections[s].Dead == 0) names.emplace_back(SectionName(s));
  return names;
}

std::vector<std::string> TWideFileMemIniFile::ReadSection(std::string_view Section) const {
  std::vector<std::string> keys;
  const std::uint32_t s = FindSection(Section);
  if (s == kNone) return keys;
  for (std::uint32_t l = FSections[s].First; l != kNone; l = FLines[l].Next) {
    if (FLines[l].Section == kNone) continue;
    const std::string_view text = LineText(l);
    const std::size_t eq = text.find('=');
    if (eq != std::string_view::npos) keys.emplace_back(text.substr(0, eq));
  }
  return keys;
}

// The first of equal names leaves the index to the next one (NextSame), or a tombstone.
void TWideFileMemIniFile::DeleteKey(std::string_view Section, std::string_view Ident) {
  const std::uint32_t s = FindSection(Section);
  if (s == kNone) return;
  const std::uint32_t l = FindLine(s, Ident);
  if (l == kNone) return;
  bool found;
  const std::size_t slot = ProbeSlot(FLineIndex.Slots, FoldHash(Ident, s + 1), [&](std::uint32_t Id) { return Id == l; }, found);
  FLineIndex.Slots[slot] = FLines[l].NextSame != kNone ? FLines[l].NextSame : kTombSlot;
  FLines[l].Section = kNone;
  FGarbage += FLines[l].Length;
  ++FDeadRecords;
  MaybeCompact();
}

void TWideFileMemIniFile::EraseSection(std::string_view Section) {
  const std::uint32_t s = FindSection(Section);
  if (s == kNone) return;
  bool found;
  const std::size_t slot = ProbeSlot(FSectionIndex.Slots, FoldHash(Section), [&](std::uint32_t Id) { return Id == s; }, found);
  FSectionIndex.Slots[slot] = FSections[s].NextSame != kNone ? FSections[s].NextSame : kTombSlot;
  TSection &sec = FSections[s];
  sec.Dead = 1;
  FGarbage += sec.Length;
  ++FDeadRecords;
  // Its lines stay in the line index under a section number no lookup uses again.
  for (std::uint32_t l = sec.First; l != kNone; l = FLines[l].Next)
    if (FLines[l].Section != kNone) {
      FGarbage += FLines[l].Length;
      ++FDeadRecords;
    }
  MaybeCompact();
}

void TWideFileMemIniFile::Clear() {
  FText.clear();
  FText.shrink_to_fit();
  FSections = {};
  FLines = {};
  FSectionIndex = {};
  FLineIndex = {};
  FGarbage = 0;
  FDeadRecords = 0;
}

void TWideFileMemIniFile::WriteHeader(TStream &) {}

std::string TWideFileMemIniFile::FileContent() {
  TMemoryStream header;
  WriteHeader(header);
  std::size_t size = static_cast<std::size_t>(header.Size());
  for (const TSection &s : FSections) {
    if (s.Dead != 0) continue;
    size += s.Length + 6;
    for (std::uint32_t l = s.First; l != kNone; l = FLines[l].Next)
      if (FLines[l].Section != kNone) size += FLines[l].Length + 2;
  }
  std::string out;
  out.reserve(size);
  out.append(reinterpret_cast<const char *>(header.Memory()), static_cast<std::size_t>(header.Size()));
  for (const TSection &s : FSections) {
    if (s.Dead != 0) continue;
    out.append("[").append(TextOf(s.Offset, s.Length)).append("]\r\n");
    for (std::uint32_t l = s.First; l != kNone; l = FLines[l].Next)
      if (FLines[l].Section != kNone) out.append(LineText(l)).append("\r\n");
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
