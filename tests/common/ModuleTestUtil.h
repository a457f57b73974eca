// Helpers for the tests of the main module and the main window.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/untGraphics.h"
#include "engine/untJpeg.h"
#include "tests/common/TestUtil.h"

namespace testutil {

// A W x H colour JPEG with a diagonal pattern.
inline void WriteTestJpeg(const std::filesystem::path &P, int W, int H) {
  TBitmap24 bmp;
  bmp.SetSize(W, H);
  std::vector<const std::uint8_t *> rows;
  for (int y = 0; y < H; ++y) {
    std::uint8_t *row = bmp.ScanLine(y);
    for (int x = 0; x < 3 * W; ++x) row[x] = static_cast<std::uint8_t>((x * 3 + y * 7) & 0xFF);
    rows.push_back(row);
  }
  const std::vector<std::uint8_t> data = EncodeJpeg(W, H, 3, rows, 90);
  WriteFile(P, std::string(data.begin(), data.end()));
}

// " <seconds>.<three digits>s", the run timer's text.
inline bool IsElapsedText(const std::string &T) {
  const size_t dot = T.find('.');
  if (T.size() < 7 || T[0] != ' ' || T.back() != 's' || dot == std::string::npos || dot < 2 || dot + 5 != T.size())
    return false;
  for (size_t i = 1; i + 1 < T.size(); ++i)
    if (i != dot && (T[i] < '0' || T[i] > '9')) return false;
  return true;
}

} // namespace testutil
