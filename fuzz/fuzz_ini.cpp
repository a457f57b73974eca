// The ini store's loader, then every reading call over what it loaded, and writing it back.
#include <cstdint>
#include <string>

#include "app/WideIniFile.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size) {
  fuzz::Run([&] {
    TProgMemIniFile ini("");
    ini.LoadFromText(fuzz::Text(Data, Size));
    for (const std::string &section : ini.ReadSections()) {
      for (const std::string &key : ini.ReadSection(section)) {
        ini.ReadString(section, key, "");
        ini.ReadWideString(section, key, "");
        ini.ReadInteger(section, key, 0);
      }
    }
    // What the store writes must read back to the same content.
    const std::string written = ini.FileContent();
    TProgMemIniFile again("");
    again.LoadFromText(written);
    if (again.FileContent() != written) {
      std::fprintf(stderr, "fault: the store's own file reads back differently\n");
      std::abort();
    }
  });
  return 0;
}
