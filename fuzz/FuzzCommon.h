// Shared by the fuzz harnesses: what counts as a refusal and what as a fault.
//
// A reader may refuse its input only with one of the program's own exceptions (they carry the
// message the user sees). Anything else that escapes (std::out_of_range, std::length_error,
// std::bad_alloc from a size taken on trust, an unknown exception) is a fault and aborts, so
// libFuzzer keeps the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

#include "platform/untSysUtils.h"

namespace fuzz {

// Pictures above this many pixels are passed over before they are decoded: their refusal is the
// memory check's business, and decoding them would only make each run slow.
constexpr std::int64_t MaxFuzzPixels = std::int64_t{1} << 22;

template <class F> void Run(F &&Body) {
  try {
    Body();
  } catch (const Exception &) {
    // A clear refusal.
  } catch (const std::exception &e) {
    std::fprintf(stderr, "fault: escaped exception: %s\n", e.what());
    std::abort();
  } catch (...) {
    std::fprintf(stderr, "fault: escaped unknown exception\n");
    std::abort();
  }
}

inline std::string_view Text(const std::uint8_t *Data, std::size_t Size) {
  return {reinterpret_cast<const char *>(Data), Size};
}

// The one scratch file of a harness process, Stem + PID + Extension in the temporary folder. It is
// removed when the process ends: a timed run ends by exit, which would otherwise leave it behind.
inline const std::string &ScratchFile(const char *Stem, const char *Extension) {
  struct TFile {
    std::string Path;
    ~TFile() { std::remove(Path.c_str()); }
  };
  static const TFile file{
      (std::filesystem::temp_directory_path() / (Stem + std::to_string(getpid()) + Extension)).string()};
  return file.Path;
}

} // namespace fuzz
