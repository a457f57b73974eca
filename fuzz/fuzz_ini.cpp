// The ini store's loader, then every reading call over what it loaded, and writing it back; the
// same bytes loaded from a file, and the file-kind probe of that file.

#include <cstdint>
#include <fstream>
#include <string>

#include "app/WideIniFile.h"
#include "app/untKalvMainConstType.h"
#include "fuzz/FuzzCommon.h"

namespace {

const std::string &FilePath() { return fuzz::ScratchFile("kalvex-fuzz-ini-", ".ini"); }

void Fault(const char *What) {
  std::fprintf(stderr, "fault: %s\n", What);
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  {
    std::ofstream f(FilePath(), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(Data), static_cast<std::streamsize>(Size));
  }
  fuzz::Run([&] {
    TProgMemIniFile ini("");
    ini.LoadFromText(fuzz::Text(Data, Size));
    for (const std::string &section : ini.ReadSections()) {
      for (const std::string &key : ini.ReadSection(section)) {
        if (ini.ReadStringView(section, key) != ini.ReadString(section, key, "")) Fault("the two readers differ");
        ini.ReadWideString(section, key, "");
        ini.ReadInteger(section, key, 0);
      }
    }
    // What the store writes must read back to the same content.
    const std::string written = ini.FileContent();
    TProgMemIniFile again("");
    again.LoadFromText(written);
    if (again.FileContent() != written) Fault("the store's own file reads back differently");

    // From the file: the same store; its kind told from its first bytes agrees with the whole
    // store when the file is no longer than what the probe reads.
    TProgMemIniFile fromFile(FilePath());
    if (fromFile.FileContent() != written) Fault("the file loads differently from its text");
    const TIniFileProbe probe = ProbeIniFile(FilePath());
    if (probe.Size != Size) Fault("the probe's size is wrong");
    if (Size <= KindProbeSize &&
        (probe.HasProgram != ini.SectionExists("Program") ||
         probe.FileType != static_cast<std::uint8_t>(ini.ReadInteger("Program", "FileType", 0))))
      Fault("the probe disagrees with the store");
    if (GetFileKind(FilePath()) != FileKindOfType(probe.FileType)) Fault("the file kind disagrees with the probe");
  });
  return 0;
}
