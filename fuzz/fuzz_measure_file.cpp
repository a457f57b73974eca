// The command line's handling of one file: its classification (extension, first bytes, the kind
// probe), a project read once (info, regions, embedded picture) and the measurement of the
// picture and its regions. The first input byte chooses the file's extension, the rest is the
// file. Pictures are kept small, so that each run stays quick whatever its regions.
#include <unistd.h>

#include <QCoreApplication>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>

#include "app/untKalvMainConstType.h"
#include "app/untKalvProjectFile.h"
#include "cli/untMeasure.h"
#include "engine/untJpeg.h"
#include "fuzz/FuzzCommon.h"
#include "platform/untBitmaps.h"

namespace {

constexpr std::int64_t MaxPixels = std::int64_t{1} << 14;

// True when the bytes are a picture header (of either kind) above MaxPixels: such a file is
// passed over before it is measured.
bool TooLarge(std::span<const std::uint8_t> Bytes) {
  try {
    if (Bytes.size() >= 2 && Bytes[0] == 0xFF && Bytes[1] == 0xD8) {
      TJpegDecoder probe(Bytes);
      return std::int64_t{probe.Header().Width} * probe.Header().Height > MaxPixels;
    }
    if (Bytes.size() >= 2 && Bytes[0] == 'B' && Bytes[1] == 'M') {
      TMemoryStream s;
      s.Write(Bytes.data(), static_cast<std::int64_t>(Bytes.size()));
      s.SetPosition(0);
      const TBmpInfo info = ReadBmpInfo(s);
      return std::int64_t{info.Width} * info.Height > MaxPixels;
    }
  } catch (const Exception &) {
    // The measurement refuses it in its own words.
  }
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  static int argc = 1;
  static char name[] = "fuzz_measure_file";
  static char *argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv); // Qt's picture readers want one
  if (Size == 0) return 0;
  static const char *const extensions[] = {".jpg", ".bmp", ".KalvexProject", ".KalvexRegions", ".dat"};
  const std::string file = (std::filesystem::temp_directory_path() /
                            ("kalvex-fuzz-measure-" + std::to_string(getpid()) + extensions[Data[0] % 5]))
                               .string();
  const std::span<const std::uint8_t> bytes(Data + 1, Size - 1);
  {
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  fuzz::Run([&] {
    if (TooLarge(bytes)) return;
    const bool pictureBytes =
        bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xD8) || (bytes[0] == 'B' && bytes[1] == 'M'));
    if (PictureKindByExtension(file) == fkUnknown && !pictureBytes) {
      // A project: its embedded picture small, and a picture it names none of this machine's.
      try {
        const TProjectFile project = ReadProjectFile(file);
        if (project.Picture && TooLarge(project.Picture->Bytes())) return;
        std::error_code ec;
        if (project.Info.Kind == 0 && std::filesystem::exists(PathFromUtf8(project.Info.FileName), ec)) return;
      } catch (const Exception &) {
        // Refused: the measurement must refuse it too.
      }
    }
    const TFileResult result = MeasureFile(file, {});
    if (result.Width <= 0 || result.Height <= 0 || result.Areas.empty()) {
      std::fprintf(stderr, "fault: a measured file without size or areas\n");
      std::abort();
    }
  });
  std::remove(file.c_str());
  return 0;
}
