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

const std::uintmax_t MaxKindProbeSize = std::uintmax_t(1) << 30;

TFileKind PictureKindByExtension(const std::string &FileName) {
  const std::filesystem::path path(std::u8string(FileName.begin(), FileName.end()));
  const std::u8string ext8 = path.extension().u8string();
  const std::string ext(ext8.begin(), ext8.end());
  if (SameText(ext, ".jpg") || SameText(ext, ".jpe") || SameText(ext, ".jpeg")) return fkJPEG;
  if (SameText(ext, ".bmp")) return fkBMP;
  return fkUnknown;
}

TFileKind GetFileKind(const std::string &FileName) {
  if (const TFileKind kind = PictureKindByExtension(FileName); kind != fkUnknown) return kind;
  const std::filesystem::path path(std::u8string(FileName.begin(), FileName.end()));
  // The program's own files are far smaller; reading a huge foreign file whole only to find no
  // "FileType" in it would exhaust the memory.
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > MaxKindProbeSize) return fkUnknown;
  const TWideFileMemIniFile ini(FileName);
  switch (static_cast<std::uint8_t>(ini.ReadInteger("Program", "FileType", 0))) {
  case 0: return fkProject;
  case 1: return fkProjectWithPicture;
  case 2: return fkRegions;
  default: return fkUnknown;
  }
}
