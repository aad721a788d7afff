#include "media/picture_converter.h"

#include <algorithm>
#include <cstring>

namespace zelvo {

void ConverterReset(PictureConverter& c) {
  c.Bitmap.reset();
  c.Buffer.reset();
  c.ScaleContext.reset();
  c.ScaleContext2.reset();
  c.TargetPixFmt = AV_PIX_FMT_BGR24;
  c.BitmapFormat = BitmapPixelFormat::pf24bit;
  c.BufferSize = 0;
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
    // Alignment 4 lays the rows out exactly as the bitmap's scanlines.
    int size = lib::avutil.av_image_get_buffer_size(c.TargetPixFmt, width, height, 4);
    if (size < 0) return false;
    if (!c.Buffer || c.BufferSize < size) {
      c.Buffer.reset(static_cast<std::uint8_t*>(lib::avutil.av_malloc(static_cast<size_t>(size))));
      c.BufferSize = c.Buffer ? size : 0;
      if (!c.Buffer) return false;
    }
    lib::avutil.av_image_fill_arrays(c.Picture, c.PictureLineSize, c.Buffer.get(), c.TargetPixFmt, width, height, 4);
    SwsContext* sws = lib::swscale.sws_getCachedContext(c.ScaleContext.release(), width, height, pixFmt, width,
                                                        height, c.TargetPixFmt, SWS_BICUBIC, nullptr, nullptr,
                                                        nullptr);
    c.ScaleContext.reset(sws);
    if (!sws) return false;
    lib::swscale.sws_scale(sws, data, linesize, 0, height, c.Picture, c.PictureLineSize);
    c.Source = c.Picture;
    c.SourceLineSize = c.PictureLineSize;
  } else {
    c.Source = data;
    c.SourceLineSize = linesize;
  }

  c.Bitmap->SetSize(width, height);
  const size_t rowBytes = static_cast<size_t>(std::min(c.SourceLineSize[0], stride));
  for (int y = 0; y < height; ++y)
    std::memcpy(c.Bitmap->ScanLine(y), c.Source[0] + static_cast<ptrdiff_t>(y) * c.SourceLineSize[0], rowBytes);
  return true;
}

}  // namespace zelvo
