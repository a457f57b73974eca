#include "engine/untKalvRegion.h"

#include <algorithm>

std::optional<TRect> FitRegionCorners(long long X1, long long Y1, long long X2, long long Y2, int PW, int PH) {
  if (X1 == X2 || Y1 == Y2) return std::nullopt;
  long long left = std::min(X1, X2), right = std::max(X1, X2);
  long long top = std::min(Y1, Y2), bottom = std::max(Y1, Y2);
  if (right > PW) {
    left -= right - PW;
    right = PW;
  }
  left = std::max(0LL, left);
  if (bottom > PH) {
    top -= bottom - PH;
    bottom = PH;
  }
  top = std::max(0LL, top);
  if (right <= left || bottom <= top) return std::nullopt;
  return Rect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(right), static_cast<int>(bottom));
}
