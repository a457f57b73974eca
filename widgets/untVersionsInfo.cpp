#include "widgets/untVersionsInfo.h"

#include "KalvexVersion.h"

std::string VersionWordsToText(DWORD MS, DWORD LS) {
  return Format("%u.%u.%u.%u", MS >> 16, MS & 0xFFFFu, LS >> 16, LS & 0xFFFFu);
}

TVersionResource ProgramVersionResource() {
  TVersionResource r;
  const DWORD ms = (static_cast<DWORD>(KALVEX_VERSION_MAJOR & 0xFFFF) << 16) |
                   static_cast<DWORD>(KALVEX_VERSION_MINOR & 0xFFFF);
  // The build number is not part of the project's version; it stays 0.
  const DWORD ls = static_cast<DWORD>(KALVEX_VERSION_PATCH & 0xFFFF) << 16;
  r.Fixed.dwFileVersionMS = r.Fixed.dwProductVersionMS = ms;
  r.Fixed.dwFileVersionLS = r.Fixed.dwProductVersionLS = ls;
  const std::string version = VersionWordsToText(ms, ls);
  r.Strings = {
      {"CompanyName", KALVEX_AUTHOR},
      {"FileDescription", "Measures the noise of photographs: S/N ratio, signal and noise per channel"},
      {"FileVersion", version},
      {"InternalName", "kalvex"},
      {"OriginalFilename", "kalvex"},
      {"ProductName", "Kalvex"},
      {"ProductVersion", KALVEX_VERSION},
      {"Author", KALVEX_AUTHOR},
      {"Homepage", KALVEX_HOMEPAGE},
  };
  return r;
}

TVersionsInfo::TVersionsInfo(TComponent *AOwner) : TComponent(AOwner) {
  Load(ProgramVersionResource());
}

void TVersionsInfo::Load(const TVersionResource &Resource) {
  FResource = Resource;
  FLines.clear();
  for (const auto &[name, value] : FResource.Strings) FLines.push_back(name + "=" + value);
}

std::string TVersionsInfo::FileVersion() const {
  return VersionWordsToText(FResource.Fixed.dwFileVersionMS, FResource.Fixed.dwFileVersionLS);
}

std::string TVersionsInfo::ProductVersion() const {
  return VersionWordsToText(FResource.Fixed.dwProductVersionMS, FResource.Fixed.dwProductVersionLS);
}

std::string TVersionsInfo::Value(const std::string &Name) const {
  for (const auto &[name, value] : FResource.Strings)
    if (SameText(name, Name)) return value;
  return {};
}
