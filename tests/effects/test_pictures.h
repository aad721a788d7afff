// Small helpers for the effects tests: filling and reading 24-bit bitmaps,
// watching their row padding, and writing picture files into the build tree.
#pragma once

#include <QImage>
#include <QString>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "media/bitmap.h"

namespace zelvo::test {

using Px = std::array<std::uint8_t, 3>;  // blue, green, red

inline Px PixelAt(const Bitmap& b, int x, int y) {
  const std::uint8_t* p = b.ScanLine(y) + x * 3;
  return {p[0], p[1], p[2]};
}

inline void SetPixel(Bitmap& b, int x, int y, Px v) {
  std::uint8_t* p = b.ScanLine(y) + x * 3;
  p[0] = v[0], p[1] = v[1], p[2] = v[2];
}

inline void Fill(Bitmap& b, Px v) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) SetPixel(b, x, y, v);
}

constexpr std::uint8_t kPadding = 0xAB;

// Marks the bytes between a row's last pixel and the next row.
inline void MarkPadding(Bitmap& b) {
  for (int y = 0; y < b.Height(); ++y)
    for (int k = b.Width() * 3; k < b.Stride(); ++k) b.ScanLine(y)[k] = kPadding;
}

inline bool PaddingIntact(const Bitmap& b) {
  for (int y = 0; y < b.Height(); ++y)
    for (int k = b.Width() * 3; k < b.Stride(); ++k)
      if (b.ScanLine(y)[k] != kPadding) return false;
  return true;
}

inline bool SamePixels(const Bitmap& a, const Bitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if (PixelAt(a, x, y) != PixelAt(b, x, y)) return false;
  return true;
}

inline void CopyPixels(const Bitmap& from, Bitmap& to) {
  to.SetSize(from.Width(), from.Height());
  for (int y = 0; y < from.Height(); ++y)
    for (int x = 0; x < from.Width(); ++x) SetPixel(to, x, y, PixelAt(from, x, y));
}

inline std::string FixtureDir() {
  const std::filesystem::path dir = std::filesystem::path(ZELVO_TEST_BINARY_DIR) / "effects-fixtures";
  std::filesystem::create_directories(dir);
  return dir.string();
}

// Saves image as a Windows bitmap file named name in the fixture folder.
inline std::string SaveBmp(const QImage& image, const std::string& name) {
  const std::string path = FixtureDir() + "/" + name;
  EXPECT_TRUE(image.save(QString::fromStdString(path), "BMP")) << path;
  return path;
}

// A picture of one colour, given as blue, green, red.
inline QImage Solid(int w, int h, Px v) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(QColor(v[2], v[1], v[0]));
  return image;
}

}  // namespace zelvo::test
