#include "app/untKalvMainConstType.h"

#include <cstdint>
#include <filesystem>

#include "app/WideIniFile.h"
#include "platform/untSysUtils.h"

std::string FileDialogGroupName(TFileDialogGroup Group) {
  switch (Group) {
  case fdgOpenPicture: return "fdgOpenPicture";
  case fdgSavePicture: return "fdgSavePicture";
  case fdgProject: return "fdgProject";
  }
  throw EConvertError(Format("Invalid file dialog group %d", static_cast<int>(Group)));
}

const char *const SAttention = "A T T E N T I O N !";
const char *const SNotImplemented = "Not Implemented!";
const char *const SLoadFile = "Load file";
const char *const SAnalyzeData = "Analyze Data";
const char *const SCalculateNoise = "Calculate Noise";
const char *const SRegionCaption = "L:%d T:%d W:%d H:%d";
const char *const SDeleteRegions = "Do you want to delete the existing regions?";

// 64 MB below what a store reads, so that a project written up to it (its picture lines stay 1 MB
// below) still opens with its other lines.
const std::uintmax_t MaxKindProbeSize = static_cast<std::uintmax_t>(MaxIniFileSize) - (std::uintmax_t{64} << 20);

TFileKind PictureKindByExtension(const std::string &FileName) {
  const std::filesystem::path path(std::u8string(FileName.begin(), FileName.end()));
  const std::u8string ext8 = path.extension().u8string();
  const std::string ext(ext8.begin(), ext8.end());
  if (SameText(ext, ".jpg") || SameText(ext, ".jpe") || SameText(ext, ".jpeg")) return fkJPEG;
  if (SameText(ext, ".bmp")) return fkBMP;
  return fkUnknown;
}

TIniFileProbe ProbeIniFile(const std::string &FileName) {
  TIniFileProbe probe;
  const std::filesystem::path path(std::u8string(FileName.begin(), FileName.end()));
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return probe; // reads as empty
  std::string text(KindProbeSize, '\0');
  std::int64_t got = 0;
  {
    TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
    probe.Size = static_cast<std::uintmax_t>(file.Size());
    for (std::int64_t n; got < static_cast<std::int64_t>(text.size()) &&
                         (n = file.Read(text.data() + got, static_cast<std::int64_t>(text.size()) - got)) > 0;)
      got += n;
  }
  text.resize(static_cast<std::size_t>(got));
  // A line cut off at the end of what was read could read as another value ("FileType=1" of
  // "FileType=12"): only whole lines count.
  if (probe.Size > text.size()) text.resize(text.find_last_of("\r\n") == std::string::npos ? 0 : text.find_last_of("\r\n"));
  TWideFileMemIniFile ini("");
  ini.LoadFromText(text);
  probe.HasProgram = ini.SectionExists("Program");
  probe.FileType = static_cast<std::uint8_t>(ini.ReadInteger("Program", "FileType", 0));
  return probe;
}

TFileKind FileKindOfType(std::uint8_t FileType) {
  switch (FileType) {
  case 0: return fkProject;
  case 1: return fkProjectWithPicture;
  case 2: return fkRegions;
  default: return fkUnknown;
  }
}

TFileKind GetFileKind(const std::string &FileName) {
  if (const TFileKind kind = PictureKindByExtension(FileName); kind != fkUnknown) return kind;
  const TIniFileProbe probe = ProbeIniFile(FileName);
  // No store reads a file this large; it cannot be one of the program's own.
  if (probe.Size > MaxKindProbeSize) return fkUnknown;
  return FileKindOfType(probe.FileType);
}
