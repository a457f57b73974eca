// The version information of the program file: the fixed version numbers and the version
// strings, as the program's version resource holds them. Here the resource is made by the build
// (the project's version, author and home page).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/untObjects.h"
#include "platform/untSysUtils.h"

// The fixed part of a version resource: each word holds two 16-bit numbers, high then low.
struct TFixedFileInfo {
  DWORD dwFileVersionMS = 0; // major, minor
  DWORD dwFileVersionLS = 0; // release, build
  DWORD dwProductVersionMS = 0;
  DWORD dwProductVersionLS = 0;
};

struct TVersionResource {
  TFixedFileInfo Fixed;
  std::vector<std::pair<std::string, std::string>> Strings; // name, value
};

// The version resource of this program, made from the build's version.
TVersionResource ProgramVersionResource();

class TVersionsInfo : public TComponent {
public:
  // Reads the program's own version resource.
  explicit TVersionsInfo(TComponent *AOwner = nullptr);

  // Takes another resource (tests, other files).
  void Load(const TVersionResource &Resource);

  // "major.minor.release.build".
  std::string FileVersion() const;
  std::string ProductVersion() const;
  // The version strings as name=value lines.
  const std::vector<std::string> &VersionStrings() const { return FLines; }
  // The value of one version string; empty when there is none.
  std::string Value(const std::string &Name) const;

  const TFixedFileInfo &Fixed() const { return FResource.Fixed; }

private:
  TVersionResource FResource;
  std::vector<std::string> FLines;
};

// Four numbers from two version words: high and low 16 bits of MS, then of LS.
std::string VersionWordsToText(DWORD MS, DWORD LS);
