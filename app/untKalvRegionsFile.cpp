#include "app/untKalvRegionsFile.h"

#include <algorithm>

#include "platform/untSysUtils.h"

const char *const SRegionSectionFormat = "Region.%.8x";
const char *const SLineKeyFormat = "Line.%.8x";

namespace {
constexpr std::string_view kProgram = "Program";
constexpr std::string_view kRegionCount = "RegionCount";

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}
} // namespace

std::string IndexedName(std::string_view Format, std::uint32_t Index) { return ::Format(Format, Index); }

std::vector<std::uint32_t> PresentIndices(const std::vector<std::string> &Names, std::string_view Format) {
  const std::size_t percent = Format.find('%');
  const std::string_view prefix = Format.substr(0, percent);
  std::vector<std::uint32_t> found;
  for (const std::string &name : Names) {
    if (name.size() < prefix.size() + 8 || !SameIniText(std::string_view(name).substr(0, prefix.size()), prefix))
      continue;
    std::uint32_t index = 0;
    bool hex = true;
    for (std::size_t i = prefix.size(); i < prefix.size() + 8; ++i) {
      const int d = HexValue(name[i]);
      if (d < 0) {
        hex = false;
        break;
      }
      index = index * 16 + static_cast<std::uint32_t>(d);
    }
    // The whole name must be what the format gives for that index (so "Region.0000000A" and
    // "region.0000000a" count, "Region.0000000A1" does not).
    if (hex && SameIniText(name, IndexedName(Format, index))) found.push_back(index);
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

void SaveRegionsToIni(TWideFileMemIniFile &Ini, std::string_view Format, std::span<const TRect> Regions) {
  const std::int64_t count = static_cast<std::int64_t>(Regions.size());
  if (count > INT32_MAX) throw EInvalidOperation("Too many regions to store");
  // Sections of a longer old list go; only those that exist need erasing, so a damaged count in
  // the old file costs nothing.
  const std::int32_t old = Ini.ReadInteger(kProgram, kRegionCount, 0);
  for (std::uint32_t index : PresentIndices(Ini.ReadSections(), Format))
    if (index >= count && index < static_cast<std::uint32_t>(std::max(old, 0))) Ini.EraseSection(IndexedName(Format, index));
  if (count == 0) Ini.DeleteKey(kProgram, kRegionCount);
  else Ini.WriteInteger(kProgram, kRegionCount, static_cast<std::int32_t>(count));
  for (std::size_t i = 0; i < Regions.size(); ++i) {
    const std::string section = IndexedName(Format, static_cast<std::uint32_t>(i));
    const TRect &r = Regions[i];
    Ini.WriteInteger(section, "X1", r.Left);
    Ini.WriteInteger(section, "Y1", r.Top);
    Ini.WriteInteger(section, "X2", r.Right);
    Ini.WriteInteger(section, "Y2", r.Bottom);
  }
}

void LoadRegionsFromIni(const TWideFileMemIniFile &Ini, std::string_view Format, const TAddRegionFunction &Add) {
  const std::int32_t count = Ini.ReadInteger(kProgram, kRegionCount, 0);
  if (count <= 0) return;
  for (std::uint32_t index : PresentIndices(Ini.ReadSections(), Format)) {
    if (index >= static_cast<std::uint32_t>(count)) break;
    const std::string section = IndexedName(Format, index);
    Add(Ini.ReadInteger(section, "X1", 0), Ini.ReadInteger(section, "Y1", 0), Ini.ReadInteger(section, "X2", 0),
        Ini.ReadInteger(section, "Y2", 0));
  }
}
