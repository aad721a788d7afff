#include "effects/picture_operations.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace zelvo {

namespace {

using Table = std::array<std::uint8_t, 256>;

inline int Clamp255(int v) { return std::min(std::max(v, 0), 255); }
inline std::int64_t Clamp255(std::int64_t v) { return std::min<std::int64_t>(std::max<std::int64_t>(v, 0), 255); }

// Round to nearest, halves to even, then clamp; a value that is not a number
// (an infinite factor times zero) counts as the pivot it was computed from.
int RoundClamp(double v, int ifNaN) {
  if (std::isnan(v)) return ifNaN;
  if (v <= 0.0) return 0;
  if (v >= 255.0) return 255;
  return static_cast<int>(std::nearbyint(v));
}

// Beyond this magnitude every saturation result is already saturated the
// same way (each weight step exceeds 255), so larger values change nothing
// and are clamped to keep the sums inside 32 bits.
constexpr int kSaturationLimit = 256 * 257;

struct ColourTables {
  Table tone;                  // brightness, then contrast (and exposure when fused)
  std::array<int, 256> weight;  // saturation weight of a byte
  std::array<int, 766> grey;    // by the sum of a pixel's three bytes
};

void BuildColourTables(ColourTables& t, int brightness, int contrast, int saturation) {
  if (contrast == 100) contrast = 99;  // cos(pi/2) would make the factor infinite
  // Two constants on purpose: the softening branch uses the shorter one, and
  // its results at -100 (a flat 170) depend on it.
  const double f = contrast > 0 ? 1.0 / std::cos(contrast * 0.015707963267948967) : std::cos(contrast * 0.015708);
  Table t1;
  for (int i = 0; i < 256; ++i) t1[i] = static_cast<std::uint8_t>(RoundClamp((i - 170) * f + 170, 170));
  const std::int64_t b = brightness;
  for (int i = 0; i < 256; ++i) t.tone[i] = t1[Clamp255((256 - b + b * i) / 256)];

  const int s = std::clamp(saturation, -kSaturationLimit, kSaturationLimit);
  for (int j = 0; j < 256; ++j) t.weight[j] = ((j + 1) * s) / 256;
  for (int sum = 0; sum <= 765; ++sum) {
    const int m = sum / 3;
    t.grey[sum] = m - t.weight[m];
  }
}

void ApplyColourTables(Bitmap& picture, const ColourTables& t) {
  const int w = picture.Width();
  for (int y = 0; y < picture.Height(); ++y) {
    std::uint8_t* p = picture.ScanLine(y);
    for (int x = 0; x < w; ++x, p += 3) {
      const int b = p[0], g = p[1], r = p[2];
      const int grey = t.grey[b + g + r];
      p[0] = t.tone[Clamp255(grey + t.weight[b])];
      p[1] = t.tone[Clamp255(grey + t.weight[g])];
      p[2] = t.tone[Clamp255(grey + t.weight[r])];
    }
  }
}

void BuildExposureTable(Table& lut, float exposure) {
  const double e = static_cast<double>(exposure) / 128.0;
  for (int i = 0; i < 256; ++i) {
    const double t = (i / -128.0) * e;
    double dv = std::nearbyint((1.0 - std::exp(t)) * 256.0);
    // Past 2^20 every darkened byte below 255 is already at 0; the bound
    // keeps the 64-bit products exact and the conversion defined.
    if (std::isnan(dv)) dv = 0.0;
    dv = std::clamp(dv, -1048576.0, 1048576.0);
    const auto d = static_cast<std::int64_t>(dv);
    const std::int64_t rest = 255 - i;
    const std::int64_t v = exposure < 0 ? i - (-d * rest) / 256 : i + (d * rest) / 256;
    lut[i] = static_cast<std::uint8_t>(Clamp255(v));
  }
}

}  // namespace

void AdjustColours(Bitmap& picture, int brightness, int contrast, int saturation) {
  ColourTables t;
  BuildColourTables(t, brightness, contrast, saturation);
  ApplyColourTables(picture, t);
}

void AdjustExposure(Bitmap& picture, float exposure) {
  Table lut;
  BuildExposureTable(lut, exposure);
  const int bytes = picture.Width() * 3;
  for (int y = 0; y < picture.Height(); ++y) {
    std::uint8_t* p = picture.ScanLine(y);
    for (int k = 0; k < bytes; ++k) p[k] = lut[p[k]];
  }
}

void AdjustColoursAndExposure(Bitmap& picture, int brightness, int contrast, int saturation, float exposure) {
  // Exposure maps each output byte of the colour step on its own, so it
  // folds into the colour step's last table.
  ColourTables t;
  BuildColourTables(t, brightness, contrast, saturation);
  Table lut;
  BuildExposureTable(lut, exposure);
  for (auto& v : t.tone) v = lut[v];
  ApplyColourTables(picture, t);
}

void BlendPicture(Bitmap& target, const PictureRows& source, int x, int y, int alpha, int style) {
  if (!source.Bits || source.Width <= 0 || source.Height <= 0) return;
  // Clip on all four sides; 64 bits so that far-off positions cannot overflow.
  const std::int64_t left = std::max<std::int64_t>(x, 0);
  const std::int64_t top = std::max<std::int64_t>(y, 0);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{x} + source.Width, target.Width());
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{y} + source.Height, target.Height());
  if (right <= left || bottom <= top) return;
  const int columns = static_cast<int>(right - left);
  const int srcX = static_cast<int>(left - x);
  const int srcY = static_cast<int>(top - y);

  if (style == kBlendMix) {
    // Out-of-range opacities behave like the nearest valid one instead of
    // wrapping the channel bytes.
    const int a = std::clamp(alpha, 0, 255);
    const int keep = 256 - a;
    for (int r = 0; r < static_cast<int>(bottom - top); ++r) {
      std::uint8_t* t = target.ScanLine(static_cast<int>(top) + r) + left * 3;
      const std::uint8_t* s = source.Bits + static_cast<std::size_t>(srcY + r) * source.Stride + srcX * 3;
      for (int k = 0; k < columns * 3; ++k) t[k] = static_cast<std::uint8_t>((keep * t[k] + a * s[k]) >> 8);
    }
  } else {
    for (int r = 0; r < static_cast<int>(bottom - top); ++r) {
      std::uint8_t* t = target.ScanLine(static_cast<int>(top) + r) + left * 3;
      const std::uint8_t* s = source.Bits + static_cast<std::size_t>(srcY + r) * source.Stride + srcX * 3;
      for (int k = 0; k < columns * 3; ++k) t[k] = static_cast<std::uint8_t>(s[k] * t[k] / 255);
    }
  }
}

void BlendPicture(Bitmap& target, const Bitmap& source, int x, int y, int alpha, int style) {
  BlendPicture(target, PictureRows{source.Bits(), source.Width(), source.Height(), source.Stride()}, x, y, alpha, style);
}

}  // namespace zelvo
