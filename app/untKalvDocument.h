// The window's document: where the picture on show came from, apart from the widgets that show
// it, so that every save uses the picture the user sees and not a file that happens to share its
// name. A picture comes from a file on disk (kept by its absolute path, with the size and time it
// had when it was read) or from the embedded bytes of the project it was opened from (kept whole).
//
// The regions themselves stay with the window's region list; the document reaches them through
// the module's window interface.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/untClasses.h"

enum TKalvSourceKind : std::uint8_t { skNone, skFile, skEmbedded };

struct TKalvPictureSource {
  TKalvSourceKind Kind = skNone;
  // The name the window shows and a project stores: the file's path as opened, or the embedded
  // picture's bare file name.
  std::string Name;
  // skFile: the absolute path, and the file's size and time when it was read.
  std::filesystem::path Path;
  std::uintmax_t FileSize = 0;
  std::filesystem::file_time_type FileTime{};
  // skEmbedded: the project the picture came from, and the picture file's bytes.
  std::string Project;
  std::shared_ptr<TMemoryStream> Bytes;

  // A file's source, made absolute against the working folder of now; its size and time are
  // taken when they can be read (a file that is not there fails later, when it is loaded).
  static TKalvPictureSource FromFile(const std::string &FileName);
  static TKalvPictureSource FromProject(const std::string &Name, const std::string &Project,
                                        std::shared_ptr<TMemoryStream> Bytes);

  // skFile: raises EInvalidOperation when the file is gone or is no longer the one that was read
  // (other size or time), so that a save never embeds or names another picture than the one on
  // show.
  void CheckFileUnchanged() const;
};

class TKalvDocument {
public:
  const TKalvPictureSource &Source() const { return FSource; }
  void SetSource(TKalvPictureSource Source) { FSource = std::move(Source); }
  void Clear() { FSource = {}; }

private:
  TKalvPictureSource FSource;
};
