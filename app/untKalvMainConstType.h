// Types shared by the main module and the units around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Groups of file dialogs that share one remembered folder; the names are the keys in the
// configuration's section "File".
enum TFileDialogGroup {
  fdgOpenPicture = 0, // dlgPicOpn
  fdgSavePicture = 1, // dlgPicSve
  fdgProject = 2      // dlgPrjImp, dlgPrjExp, dlgRgnImp, dlgRgnExp
};

// "fdgOpenPicture", "fdgSavePicture", "fdgProject"; raises EConvertError for another value.
std::string FileDialogGroupName(TFileDialogGroup Group);

// Texts of the program shared by its units.
extern const char *const SAttention;         // "A T T E N T I O N !", the caption of questions
extern const char *const SNotImplemented;    // "Not Implemented!"
extern const char *const SLoadFile;          // "Load file"
extern const char *const SAnalyzeData;       // "Analyze Data"
extern const char *const SCalculateNoise;    // "Calculate Noise"
extern const char *const SRegionCaption;     // "L:%d T:%d W:%d H:%d"
extern const char *const SDeleteRegions;     // "Do you want to delete the existing regions?"

// How a file is recognised (GetFileKind).
enum TFileKind : unsigned char {
  fkUnknown = 0,
  fkJPEG = 1,
  fkBMP = 2,
  fkProject = 3,            // a project without picture
  fkProjectWithPicture = 4,
  fkRegions = 5
};

// By the extension (".jpg", ".jpe", ".jpeg", ".bmp", any case), otherwise by the 8-bit code
// "FileType" of section "Program" of the file read as an ini-style file: 0 (or none) a project,
// 1 a project with picture, 2 a regions file, anything else unknown. Only the file's first
// KindProbeSize bytes are read (the program writes "Program" first, and a huge foreign file is
// not read whole for it). A missing file reads as empty, so it counts as a project; a file larger
// than MaxKindProbeSize (64 MB below MaxIniFileSize: larger than any file the program writes) is
// unknown; a file that cannot be read at all raises.
extern const std::uintmax_t MaxKindProbeSize;
constexpr std::size_t KindProbeSize = std::size_t{16} << 10;
TFileKind GetFileKind(const std::string &FileName);
// What the whole lines of a file's first KindProbeSize bytes say, read as an ini-style file.
struct TIniFileProbe {
  std::uintmax_t Size = 0;  // of the whole file (0 when missing)
  bool HasProgram = false;  // a section "Program"
  std::uint8_t FileType = 0; // the low 8 bits of its "FileType"
};
TIniFileProbe ProbeIniFile(const std::string &FileName);
// The kind of a "FileType" code: fkProject, fkProjectWithPicture, fkRegions or fkUnknown.
TFileKind FileKindOfType(std::uint8_t FileType);
// fkJPEG or fkBMP by the extension alone, fkUnknown for any other name (nothing is read).
TFileKind PictureKindByExtension(const std::string &FileName);
