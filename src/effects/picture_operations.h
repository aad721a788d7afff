// The three pixel operations on 24-bit pictures (bytes blue, green, red),
// shared by the conversion hook and the edit dialogs' previews.
//
// Each builds its lookup tables on the call and then makes one pass over the
// picture; nothing is kept between calls, so any thread may call them on a
// picture it owns (or holds the canvas lock of). Values outside the ranges
// the dialogs produce are not rejected: every result is clamped to 0..255.
#pragma once

#include <cstdint>

#include "media/bitmap.h"

namespace zelvo {

// Brightness B (0..512, 256 = unchanged), contrast C (-100..100, 0 =
// unchanged, pivot 170) and saturation S (0..512, 256 = unchanged, 0 = grey).
// Brightness is applied first, then contrast, through one table.
void AdjustColours(Bitmap& picture, int brightness, int contrast, int saturation);

// Exposure E (-255..512, 0 = unchanged): positive values pull the dark and
// middle tones toward white, negative ones toward black; 0 and 255 stay.
void AdjustExposure(Bitmap& picture, float exposure);

// AdjustColours followed by AdjustExposure, in one pass over the picture;
// the same result as the two calls.
void AdjustColoursAndExposure(Bitmap& picture, int brightness, int contrast, int saturation, float exposure);

// Transparency styles of BlendPicture.
constexpr int kBlendMix = 1;       // mix by alpha
constexpr int kBlendMultiply = 2;  // multiply; alpha is not used (any style other than 1)

// Draws source onto target with its top-left at (x, y): style 1 mixes each
// channel as ((256 - alpha) * target + alpha * source) / 256, any other
// style multiplies (source * target / 255). Only the part that lies inside
// the target is drawn.
void BlendPicture(Bitmap& target, const Bitmap& source, int x, int y, int alpha, int style);

// A 24-bit picture somewhere in memory (rows top to bottom), for blending
// from a picture that is not a Bitmap (a loaded file) without copying it.
struct PictureRows {
  const std::uint8_t* Bits = nullptr;
  int Width = 0;
  int Height = 0;
  int Stride = 0;  // bytes per row
};
void BlendPicture(Bitmap& target, const PictureRows& source, int x, int y, int alpha, int style);

}  // namespace zelvo
