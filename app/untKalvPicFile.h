// Saving a page picture: a BMP for the extension ".bmp" (any case), a JPEG for every other name.
#pragma once

#include <string>

#include "platform/untBitmaps.h"

// BMP in the picture's own format (8 bits with its 256 colours, or 24 bits); JPEG at quality 90,
// baseline, full size: grayscale for an 8-bit picture (its grey levels), colour otherwise. The
// file is replaced through a temporary file, so a failure leaves an old file as it was. Raises
// EInvalidOperation for an empty picture.
void SavePagePicture(const TBitmap &Bitmap, const std::string &FileName);

// True for a name whose extension is ".bmp" in any case.
bool IsBmpFileName(const std::string &FileName);
