// A 24-bit picture in memory: bytes blue, green, red per pixel, rows top to
// bottom, each row padded to a multiple of 4 bytes. The drawing code wraps
// the same memory (a QImage of Format_BGR888 with this stride) without
// copying.
//
// Threads: the canvas lock serialises drawing between threads that share one
// bitmap; the size changes only while no one else uses it.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace zelvo {

class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(int width, int height) { SetSize(width, height); }

  // Resizes; contents become undefined (zero when grown).
  void SetSize(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  int Stride() const { return stride_; }  // bytes per scanline
  static int StrideFor(int width) { return (width * 3 + 3) & ~3; }

  std::uint8_t* ScanLine(int y) { return data_.data() + static_cast<size_t>(y) * stride_; }
  const std::uint8_t* ScanLine(int y) const { return data_.data() + static_cast<size_t>(y) * stride_; }
  std::uint8_t* Bits() { return data_.data(); }
  const std::uint8_t* Bits() const { return data_.data(); }

  std::mutex& CanvasLock() { return canvasLock_; }

 private:
  int width_ = 0;
  int height_ = 0;
  int stride_ = 0;
  std::vector<std::uint8_t> data_;
  std::mutex canvasLock_;
};

}  // namespace zelvo
