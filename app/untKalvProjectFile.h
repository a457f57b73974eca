// Project files: the picture a piece of work belongs to (its full path, or the picture file itself
// compressed and embedded) next to the regions block. The window's commands and the headless
// front end read and write the picture part here.
//
// The embedded picture: the file's bytes as one zlib stream (deflate level 9), Base64 without
// line breaks, cut into keys "Line.%.8x" of 16384 characters in section "File", with "Size"
// (the picture's bytes, decimal, 64-bit) and "Count" (the number of lines).
//
// No window is needed; one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/WideIniFile.h"
#include "platform/untClasses.h"

// The writers of the program's files delete a key whose value would be 0 or empty.
void WriteIntOrDelete(TWideFileMemIniFile &Ini, std::string_view Section, std::string_view Ident, std::int32_t Value);
void WriteStrOrDelete(TWideFileMemIniFile &Ini, std::string_view Section, std::string_view Ident,
                      std::string_view Value);
void WriteWideOrDelete(TWideFileMemIniFile &Ini, std::string_view Section, std::string_view Ident,
                       std::string_view Value);

// Base64 (standard alphabet, "=" padding, no line breaks).
std::string EncodeBase64(std::span<const std::uint8_t> Data);
// The tolerant decoder of the picture lines: characters outside the alphabet are skipped,
// decoding ends at the first "=", and an incomplete last group gives the bytes it holds whole.
std::vector<std::uint8_t> DecodeBase64(std::string_view Text);

constexpr std::size_t ProjectLineLength = 16384;

// Called now and then during long work, so the caller can keep its window alive.
using TProgressStep = std::function<void()>;

// One zlib stream of Data at level 9.
std::vector<std::uint8_t> CompressZlib(std::span<const std::uint8_t> Data, const TProgressStep &Step = {});
// The first Size bytes of a zlib stream: raises EReadError when the stream is damaged, holds fewer
// bytes, ends before its checksum or fails it. The stream is always inflated to its end (what lies
// beyond Size is checked and dropped; more than 64 MB of it is refused).
std::vector<std::uint8_t> DecompressZlib(std::span<const std::uint8_t> Data, std::uint64_t Size,
                                         const TProgressStep &Step = {});

// Writes section "File" for the picture file PictureFile: "Size", "Count" and the lines, with line
// keys beyond the new count removed. The file is read whole before anything is changed, so a
// picture that cannot be read changes nothing (the file error passes on); nor does one whose
// project would be too large to be opened again (EInvalidOperation).
void WriteProjectPicture(TWideFileMemIniFile &Ini, const std::string &PictureFile, const TProgressStep &Step = {});
// The same for a picture file's bytes held in memory (Name only names it in messages).
void WriteProjectPictureBytes(TWideFileMemIniFile &Ini, std::span<const std::uint8_t> Bytes, const std::string &Name,
                              const TProgressStep &Step = {});

// What section "Program" of a project says.
struct TProjectInfo {
  std::uint8_t Kind = 0;   // the low 8 bits of "FileType": 0 without, 1 with picture
  std::string FileName;    // "FileName" (UTF-8): a full path, or (with picture) the file's own name
};
TProjectInfo ReadProjectInfo(const TWideFileMemIniFile &Ini);

// The embedded picture's bytes; nullptr when the project holds no lines (nothing to load).
// Raises EReadError with a clear message for a project that is damaged: "Size" absent, not a
// number, negative, or larger than the lines could ever inflate to; lines that are no zlib stream,
// fail its checksum or hold fewer bytes than "Size". Nothing is allocated from "Size" before it is
// checked: the lines are decoded one by one and only the picture's first bytes are inflated until
// its header (by the kind of "FileName"'s extension: signature, and sides against
// CheckPictureMemory) is judged; then the rest goes straight into the returned stream, whose
// memory the picture readers decode from.
std::unique_ptr<TMemoryStream> ReadProjectPicture(const TWideFileMemIniFile &Ini, const TProgressStep &Step = {});

// A project from one reading of its file: the store (its regions block for LoadRegionsFromIni or
// the window's LoadRegions), what section "Program" says, and for a project with picture the
// embedded picture, decoded and checked as ReadProjectPicture does (nullptr when it has no
// lines); the picture lines are then dropped from the store. Other kinds are not judged here.
struct TProjectFile {
  std::unique_ptr<TProgMemIniFile> Ini;
  TProjectInfo Info;
  std::unique_ptr<TMemoryStream> Picture;
};
TProjectFile ReadProjectFile(const std::string &FileName, const TProgressStep &Step = {});
