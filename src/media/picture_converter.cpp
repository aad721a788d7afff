#include "media/picture_converter.h"

#include <algorithm>
#include <cstring>

namespace zelvo {

void ConverterReset(PictureConverter& c) {
  c.Bitmap.reset();
  c.ScaleContext.reset();
  c.ScaleContext2.reset();
  c.TargetPixFmt = AV_PIX_FMT_BGR24;
  c.BitmapFormat = BitmapPixelFormat::pf24bit;
  std::fill(std::begin(c.Picture), std::end(c.Picture), nullptr);
  std::fill(std::begin(c.PictureLineSize), std::end(c.PictureLineSize), 0);
  c.Source = nullptr;
  c.SourceLineSize = nullptr;
}

bool PictureToBitmap(PictureConverter& c, const std::uint8_t* const data[4], const int linesize[4],
                     AVPixelFormat pixFmt, int height, int width) {
  if (width <= 0 || height <= 0) return false;
  if (!c.Bitmap) c.Bitmap = std::make_unique<zelvo::Bitmap>();
  const int stride = zelvo::Bitmap::StrideFor(width);

  const bool convert = pixFmt != c.TargetPixFmt || (width & 1) || (height & 1) || linesize[0] != stride;
  if (convert) {
    SwsContext* sws = lib::swscale.sws_getCachedContext(c.ScaleContext.release(), width, height, pixFmt, width,
                                                        height, c.TargetPixFmt, SWS_BICUBIC, nullptr, nullptr,
                                                        nullptr);
    c.ScaleContext.reset(sws);
    if (!sws) return false;
    c.Bitmap->SetSize(width, height);
    std::fill(std::begin(c.Picture), std::end(c.Picture), nullptr);
    std::fill(std::begin(c.PictureLineSize), std::end(c.PictureLineSize), 0);
    c.Picture[0] = c.Bitmap->Bits();
    c.PictureLineSize[0] = c.Bitmap->Stride();
    lib::swscale.sws_scale(sws, data, linesize, 0, height, c.Picture, c.PictureLineSize);
    c.Source = c.Picture;
    c.SourceLineSize = c.PictureLineSize;
    return true;
  }
  c.Source = data;
  c.SourceLineSize = linesize;
  c.Bitmap->SetSize(width, height);
  for (int y = 0; y < height; ++y)
    std::memcpy(c.Bitmap->ScanLine(y), data[0] + static_cast<ptrdiff_t>(y) * linesize[0], static_cast<size_t>(stride));
  return true;
}

}  // namespace zelvo
