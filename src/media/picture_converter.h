// Conversion of a decoded picture into a 24-bit Bitmap, with the scaling
// contexts and buffer cached between calls. Owned by one user (the engine,
// the probe, the player) and used from one thread at a time.
#pragma once

#include <memory>

#include "media/bitmap.h"
#include "media/handles.h"
#include "media/utils.h"

namespace zelvo {

enum class BitmapPixelFormat { pf24bit };

struct PictureConverter {
  AVPixelFormat TargetPixFmt = AV_PIX_FMT_BGR24;
  BitmapPixelFormat BitmapFormat = BitmapPixelFormat::pf24bit;
  std::unique_ptr<zelvo::Bitmap> Bitmap;
  // The bitmap's own memory laid out as a TargetPixFmt picture: conversions
  // write straight into the bitmap (and read back from it), with no buffer
  // and row copy in between.
  std::uint8_t* Picture[4] = {};
  int PictureLineSize[4] = {};
  const std::uint8_t* const* Source = nullptr;  // planes whose rows were copied last
  const int* SourceLineSize = nullptr;
  SwsContextPtr ScaleContext;
  SwsContextPtr ScaleContext2;  // for callers that convert back
};

// Frees the bitmap and both scaling contexts; back to defaults.
void ConverterReset(PictureConverter& converter);

// Fills converter.Bitmap with the picture (planes and line sizes as the
// libraries give them). Converts through the cached scaler when the format is
// not TargetPixFmt, a dimension is odd, or the rows are not laid out as the
// bitmap's (Source is then Picture, the bitmap itself); otherwise copies the
// rows. Returns false when no scaling context can be had (the bitmap then
// keeps its previous contents).
bool PictureToBitmap(PictureConverter& converter, const std::uint8_t* const data[4], const int linesize[4],
                     AVPixelFormat pixFmt, int height, int width);

}  // namespace zelvo
