// Fitting a region into a picture: the one rule the window's AddRegion, the regions and project
// readers and the headless --regions option share, so a region lands on the same pixels wherever
// it comes from.
#pragma once

#include <optional>

#include "platform/untBitmaps.h"

// The region between the corners (X1, Y1) and (X2, Y2) on a picture of PW x PH pixels: a zero
// width or height is no region; the corners are ordered; a rectangle reaching past the right or
// bottom edge is moved back by the overhang and then cut at 0 (a rectangle larger than the picture
// is cut at the far edge). A result without area (wholly left of or above the picture, or an empty
// picture) is no region either. Right and Bottom of the result are exclusive.
std::optional<TRect> FitRegionCorners(long long X1, long long Y1, long long X2, long long Y2, int PW, int PH);
