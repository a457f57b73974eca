#include "app/untKalvDocument.h"

#include <system_error>

#include "platform/untSysUtils.h"

TKalvPictureSource TKalvPictureSource::FromFile(const std::string &FileName) {
  TKalvPictureSource s;
  s.Kind = skFile;
  s.Name = FileName;
  std::error_code ec;
  const std::filesystem::path p = PathFromUtf8(FileName);
  s.Path = std::filesystem::absolute(p, ec);
  if (ec) s.Path = p;
  s.FileSize = std::filesystem::file_size(s.Path, ec);
  if (ec) s.FileSize = 0;
  s.FileTime = std::filesystem::last_write_time(s.Path, ec);
  if (ec) s.FileTime = {};
  return s;
}

TKalvPictureSource TKalvPictureSource::FromProject(const std::string &Name, const std::string &Project,
                                                   std::shared_ptr<TMemoryStream> Bytes) {
  TKalvPictureSource s;
  s.Kind = skEmbedded;
  s.Name = Name;
  s.Project = Project;
  s.Bytes = std::move(Bytes);
  return s;
}

void TKalvPictureSource::CheckFileUnchanged() const {
  if (Kind != skFile) return;
  std::error_code ec;
  const std::string name = Utf8FromPath(Path);
  if (!std::filesystem::is_regular_file(Path, ec))
    throw EInvalidOperation(Format("The picture \"%s\" is no longer there", name));
  const std::uintmax_t size = std::filesystem::file_size(Path, ec);
  const auto time = std::filesystem::last_write_time(Path, ec);
  if (ec || size != FileSize || time != FileTime)
    throw EInvalidOperation(Format("The picture \"%s\" has changed since it was opened; open it again first", name));
}
