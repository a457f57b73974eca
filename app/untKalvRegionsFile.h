// The regions block: the regions of a picture as the regions file and every project file keep
// them ("RegionCount" in section "Program", then one section per region with its corners X1, Y1,
// X2, Y2). The window's region list and the headless front end both read and write it here.
//
// No window is needed; main thread (or any one thread at a time, like the store itself).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "app/WideIniFile.h"
#include "platform/untBitmaps.h"

// The section format of the regions and the key format of the picture lines: the prefix and the
// index as 8 upper-case hexadecimal digits.
extern const char *const SRegionSectionFormat; // "Region.%.8x"
extern const char *const SLineKeyFormat;       // "Line.%.8x"

// Format with the index put in ("Region.%.8x", 26 gives "Region.0000001A").
std::string IndexedName(std::string_view Format, std::uint32_t Index);
// The indices of the names in Names that Format gives, each once, in ascending order.
std::vector<std::uint32_t> PresentIndices(const std::vector<std::string> &Names, std::string_view Format);

// File types in section "Program".
constexpr std::int32_t ftProject = 0;
constexpr std::int32_t ftProjectWithPicture = 1;
constexpr std::int32_t ftRegions = 2;

// Writes the regions (right and bottom exclusive, in list order): sections left from a longer
// list go, "RegionCount" is deleted for none, and every region writes X1, Y1, X2, Y2 (0 included).
// Other sections and keys stay as they were.
void SaveRegionsToIni(TWideFileMemIniFile &Ini, std::string_view Format, std::span<const TRect> Regions);

// Calls Add (X1, Y1, X2, Y2) for each region of the block in index order; missing or non-numeric
// coordinates read as 0. Only sections that exist can hold a region, so a "RegionCount" far
// above them costs nothing: indices without a section are passed over (they would read as four
// zeros, which no region creation takes).
using TAddRegionFunction = std::function<void(int X1, int Y1, int X2, int Y2)>;
void LoadRegionsFromIni(const TWideFileMemIniFile &Ini, std::string_view Format, const TAddRegionFunction &Add);
