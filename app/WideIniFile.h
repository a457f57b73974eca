// The ini-style store of every file the program writes itself (projects, regions, the user
// configuration): the whole file is held in memory, changed there and written back at once.
//
// File layout (bytes, 8-bit text in Windows-1252, no byte-order mark): the header of
// WriteHeader, then for each section the line "[name]", its lines, and one empty line; every line
// ends with CR LF. On loading, lines may end with CR LF, CR or LF; blanks and control characters
// around lines, keys and values are dropped, comment lines (";") and lines before the first
// section are skipped. A file may start with a UTF-8 byte-order mark (as editors save it): its
// values that are UTF-8 beyond ASCII then read as such (they are stored with the mark of the wide
// values below). A UTF-16 file (its byte-order mark) is refused with EReadError.
//
// Section names and keys compare without regard to case (ASCII and Windows-1252 letters); the
// stored spelling is the one first written or read. Values are 8-bit strings stored unchanged;
// wide (UTF-8) values go through the marked encoding: pure ASCII as it is, anything else as
// EF BB BF followed by its UTF-8 bytes.
//
// UpdateFile replaces the file through a temporary file in the same folder that is flushed and
// renamed over it, so a failed write leaves the previous file as it was.
//
// A store is used by one thread at a time; it has no locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/untClasses.h"
#include "platform/untObjects.h"

// Windows-1252 ("the system 8-bit code page") to UTF-8 and back. The five bytes that code page
// leaves undefined map to the control characters of the same number, as the platform's
// conversion does. Characters the code page cannot hold, and invalid UTF-8, become '?'.
std::string Cp1252ToUtf8(std::string_view Text);
std::string Utf8ToCp1252(std::string_view Text);
bool IsValidUtf8(std::string_view Text);
// Replaces every invalid UTF-8 sequence by U+FFFD, so that the result is always valid UTF-8.
std::string RepairUtf8(std::string_view Text);

// The marked UTF-8 encoding of wide values. Decoding takes a value without the mark as
// Windows-1252.
std::string EncodeMarkedUtf8(std::string_view Utf8);
std::string DecodeMarkedUtf8(std::string_view Stored);

// Section names and keys: equal without regard to ASCII and Windows-1252 letter case.
bool SameIniText(std::string_view A, std::string_view B);

class TWideFileMemIniFile : public TObject {
public:
  // Loads FileName (UTF-8) when it is not empty and the file exists; a missing file gives an
  // empty store. A file that exists but cannot be read raises the file error.
  explicit TWideFileMemIniFile(const std::string &FileName);
  ~TWideFileMemIniFile() override;
  TWideFileMemIniFile(const TWideFileMemIniFile &) = delete;
  TWideFileMemIniFile &operator=(const TWideFileMemIniFile &) = delete;

  const std::string &FileName() const { return FFileName; }

  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const;
  // The value without a copy (empty when absent); valid until the store is next changed.
  std::string_view ReadStringView(std::string_view Section, std::string_view Ident) const;
  // Raises EInvalidOperation for a line break in the section, key or value, or "=" in the key:
  // such text would change the file's lines rather than be stored.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  std::string ReadWideString(std::string_view Section, std::string_view Ident, std::string_view Default) const;
  void WriteWideString(std::string_view Section, std::string_view Ident, std::string_view Value);
  // Decimal with optional sign; "0x"/"0X" or "$" introduce hexadecimal. Empty or invalid text,
  // and numbers beyond 32 bits, give Default.
  std::int32_t ReadInteger(std::string_view Section, std::string_view Ident, std::int32_t Default) const;
  void WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value);

  bool SectionExists(std::string_view Section) const;
  bool ValueExists(std::string_view Section, std::string_view Ident) const;
  // The names of all sections in file order (repeated names included).
  std::vector<std::string> ReadSections() const;
  // The keys of the (first) section of that name in order; lines without "=" are left out.
  std::vector<std::string> ReadSection(std::string_view Section) const;

  // Absent sections or keys are no error and create nothing.
  void DeleteKey(std::string_view Section, std::string_view Ident);
  void EraseSection(std::string_view Section);
  void Clear();

  // Replaces the content by what the file text Text holds, read as a file is (the file name
  // stays); for content that arrives other than as a file.
  void LoadFromText(std::string_view Text);

  // Writes the whole store to the file. A store without file name cannot be written
  // (EFCreateError); other failures raise the file system's error and keep the old file.
  void UpdateFile();
  // The complete file content UpdateFile writes.
  std::string FileContent();

protected:
  // Written before the sections; nothing here.
  virtual void WriteHeader(TStream &Stream);

private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // All text (section names, lines as "key=value" or as they were without "=") lives in FText;
  // sections and lines are small records over it, so a file takes little more memory than its
  // own size. Erased sections and deleted lines stay as dead records (and replaced text as
  // garbage in FText) until there is as much garbage as live data; then everything is rebuilt.
  struct TLine {
    std::uint32_t Offset, Length; // the text in FText
    std::uint32_t Section;        // kNone for a deleted line
    std::uint32_t Next;           // the next line of the section
    std::uint32_t NextSame;       // the next line of the section with the same key
  };
  struct TSection {
    std::uint32_t Offset, Length; // the name in FText
    std::uint32_t First, Last;    // the lines, kNone for none
    std::uint32_t NextSame;       // the next section of the same name
    std::uint32_t Dead;           // 1 once erased
  };
  // Open addressing over record numbers, keyed by the name (sections) or the section and key
  // (lines) without regard to case; only the first of equal names is in it, the others follow
  // through NextSame.
  struct TIndex {
    std::vector<std::uint32_t> Slots;
    std::size_t Used = 0; // slots not empty (tombstones included)
  };

  void LoadValues();
  void ParseText();
  std::string_view TextOf(std::uint32_t Offset, std::uint32_t Length) const {
    return std::string_view(FText).substr(Offset, Length);
  }
  std::string_view SectionName(std::uint32_t S) const { return TextOf(FSections[S].Offset, FSections[S].Length); }
  std::string_view LineText(std::uint32_t L) const { return TextOf(FLines[L].Offset, FLines[L].Length); }
  std::uint32_t FindSection(std::string_view Section) const;
  std::uint32_t FindLine(std::uint32_t Section, std::string_view Ident) const;
  // Line Id is a key line of Section whose key is Ident (case-insensitively).
  bool LineHasKey(std::uint32_t Id, std::uint32_t Section, std::string_view Ident) const;
  std::uint32_t AddSection(std::string_view Name);
  std::uint32_t AppendText(std::string_view A, std::string_view B = {}, std::string_view C = {});
  void BuildIndices();
  void MaybeCompact();
  void Compact();

  std::string FFileName;
  std::string FText;
  std::vector<TSection> FSections;
  std::vector<TLine> FLines;
  TIndex FSectionIndex, FLineIndex;
  std::size_t FGarbage = 0;      // bytes of FText no record uses
  std::size_t FDeadRecords = 0;  // erased sections and lines no longer reachable
};

// The store of the program's own files: starts with a comment line that warns against editing.
class TProgMemIniFile : public TWideFileMemIniFile {
public:
  using TWideFileMemIniFile::TWideFileMemIniFile;

protected:
  void WriteHeader(TStream &Stream) override;
};

// Files above this size, or with more lines and sections than MaxIniEntries, are refused with
// EReadError: no file the program writes comes near either (a project's picture lines stay below
// 1 GiB, 100,000 regions take 500,000 lines), and reading one would only exhaust memory. Within
// them a store takes the file's size plus about 30 bytes per line or section.
constexpr std::int64_t MaxIniFileSize = std::int64_t{1} << 30;
constexpr std::size_t MaxIniEntries = std::size_t{1} << 24;
