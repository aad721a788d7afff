#include "media/bitmap.h"

namespace zelvo {

void Bitmap::SetSize(int width, int height) {
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  width_ = width;
  height_ = height;
  stride_ = StrideFor(width);
  data_.resize(static_cast<size_t>(stride_) * static_cast<size_t>(height));
}

}  // namespace zelvo
