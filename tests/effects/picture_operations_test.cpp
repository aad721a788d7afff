#include "effects/picture_operations.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "test_pictures.h"

using zelvo::Bitmap;
using zelvo::test::Px;
using zelvo::test::PixelAt;

namespace {

enum class Op { Colours, Exposure, Blend };

struct PixelCase {
  const char* what;
  Op op;
  int a, b, c;  // brightness, contrast, saturation | exposure | alpha, style
  Px source;    // blend only
  Px input;
  Px expected;
};

// Each operation on a whole picture of one pixel value; an odd width leaves
// a padding byte per row, which must survive.
TEST(PictureOperations, PixelTable) {
  const std::vector<PixelCase> cases = {
      {"colours identity at 256", Op::Colours, 256, 0, 256, {}, {10, 100, 200}, {10, 100, 200}},
      {"colours at the stored neutral 255", Op::Colours, 255, 0, 255, {}, {10, 100, 200}, {9, 99, 199}},
      {"contrast 50 around 170", Op::Colours, 256, 50, 256, {}, {10, 100, 200}, {0, 71, 212}},
      {"brightness 512", Op::Colours, 512, 0, 256, {}, {10, 100, 200}, {19, 199, 255}},
      {"saturation 0 is grey", Op::Colours, 256, 0, 0, {}, {10, 100, 200}, {103, 103, 103}},
      {"saturation 512", Op::Colours, 256, 0, 512, {}, {10, 100, 200}, {0, 97, 255}},
      {"contrast -100 flat", Op::Colours, 256, -100, 256, {}, {10, 100, 200}, {170, 170, 170}},
      {"contrast -100 flat, black", Op::Colours, 256, -100, 256, {}, {0, 0, 0}, {170, 170, 170}},
      {"contrast -100 flat, white", Op::Colours, 256, -100, 256, {}, {255, 255, 255}, {170, 170, 170}},
      {"exposure 128 low", Op::Exposure, 128, 0, 0, {}, {0, 64, 128}, {0, 139, 208}},
      {"exposure 128 high", Op::Exposure, 128, 0, 0, {}, {192, 255, 0}, {240, 255, 0}},
      {"exposure 512 low", Op::Exposure, 512, 0, 0, {}, {0, 64, 128}, {0, 228, 252}},
      {"exposure 512 high", Op::Exposure, 512, 0, 0, {}, {192, 255, 0}, {254, 255, 0}},
      {"exposure -128 low", Op::Exposure, -128, 0, 0, {}, {0, 64, 128}, {0, 0, 0}},
      {"exposure -128 high", Op::Exposure, -128, 0, 0, {}, {192, 255, 0}, {0, 255, 0}},
      {"mix, alpha 0", Op::Blend, 0, zelvo::kBlendMix, 0, {255, 0, 128}, {10, 100, 200}, {10, 100, 200}},
      {"mix, alpha 255", Op::Blend, 255, zelvo::kBlendMix, 0, {255, 255, 255}, {0, 0, 0}, {254, 254, 254}},
      {"mix, alpha 128", Op::Blend, 128, zelvo::kBlendMix, 0, {200, 0, 100}, {0, 200, 100}, {100, 100, 100}},
      {"multiply", Op::Blend, 77, zelvo::kBlendMultiply, 0, {128, 128, 128}, {200, 200, 200}, {100, 100, 100}},
      {"any style but 1 multiplies", Op::Blend, 0, 7, 0, {128, 255, 0}, {200, 17, 99}, {100, 17, 0}},
  };
  for (const PixelCase& c : cases) {
    SCOPED_TRACE(c.what);
    Bitmap picture(5, 3);
    zelvo::test::Fill(picture, c.input);
    zelvo::test::MarkPadding(picture);
    switch (c.op) {
      case Op::Colours:
        zelvo::AdjustColours(picture, c.a, c.b, c.c);
        break;
      case Op::Exposure:
        zelvo::AdjustExposure(picture, static_cast<float>(c.a));
        break;
      case Op::Blend: {
        Bitmap source(5, 3);
        zelvo::test::Fill(source, c.source);
        zelvo::BlendPicture(picture, source, 0, 0, c.a, c.b);
        break;
      }
    }
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) ASSERT_EQ(PixelAt(picture, x, y), c.expected) << "at " << x << "," << y;
    EXPECT_TRUE(zelvo::test::PaddingIntact(picture));
  }
}

// One pixel per byte value, in all three channels, in a picture whose
// padding is watched.
void GreyRamp(Bitmap& b) {
  b.SetSize(256, 1);
  for (int i = 0; i < 256; ++i)
    zelvo::test::SetPixel(b, i, 0, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i)});
}

void ColourRamp(Bitmap& b) {
  b.SetSize(257, 2);  // odd width: padded rows
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 257; ++x)
      zelvo::test::SetPixel(b, x, y, {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(255 - x), static_cast<std::uint8_t>((x * 7 + y * 90) % 256)});
  zelvo::test::MarkPadding(b);
}

TEST(PictureOperations, ContrastHundredIsNinetyNine) {
  Bitmap at100, at99, untouched;
  for (Bitmap* b : {&at100, &at99, &untouched}) ColourRamp(*b);
  zelvo::AdjustColours(at100, 256, 100, 256);
  zelvo::AdjustColours(at99, 256, 99, 256);
  EXPECT_TRUE(zelvo::test::SamePixels(at100, at99));
  EXPECT_FALSE(zelvo::test::SamePixels(at100, untouched));
  // Strong contrast pushes everything off the pivot to the ends.
  Bitmap grey;
  GreyRamp(grey);
  zelvo::AdjustColours(grey, 256, 100, 256);
  EXPECT_EQ(PixelAt(grey, 168, 0)[0], 43);  // (168 - 170) * 63.66 + 170, rounded
  EXPECT_EQ(PixelAt(grey, 170, 0)[0], 170);
  EXPECT_EQ(PixelAt(grey, 172, 0)[0], 255);
}

// The one-pass form gives exactly the two passes' result.
TEST(PictureOperations, ColoursAndExposureInOnePass) {
  struct Settings { int b, c, s; float e; };
  for (const Settings v : std::vector<Settings>{{255, 0, 255, 1}, {300, 25, 320, 60}, {0, -100, 0, -255}, {512, 100, 512, 512},
                                                {128, -40, 90, -30}, {INT_MAX, INT_MIN, INT_MIN, 1e9f}}) {
    SCOPED_TRACE(testing::Message() << v.b << " " << v.c << " " << v.s << " " << v.e);
    Bitmap fused, twoPasses;
    ColourRamp(fused);
    ColourRamp(twoPasses);
    zelvo::AdjustColoursAndExposure(fused, v.b, v.c, v.s, v.e);
    zelvo::AdjustColours(twoPasses, v.b, v.c, v.s);
    zelvo::AdjustExposure(twoPasses, v.e);
    EXPECT_TRUE(zelvo::test::SamePixels(fused, twoPasses));
    EXPECT_TRUE(zelvo::test::PaddingIntact(fused));
  }
}

// 0 and 255 stay for every exposure; positive ones only brighten, negative
// ones only darken, and each keeps the order of the bytes.
TEST(PictureOperations, ExposureKeepsEndsAndOrder) {
  for (const float e : {-255.0f, -128.0f, -1.0f, 1.0f, 64.0f, 128.0f, 300.0f, 512.0f, 1e6f, -1e6f}) {
    SCOPED_TRACE(e);
    Bitmap b;
    GreyRamp(b);
    zelvo::AdjustExposure(b, e);
    EXPECT_EQ(PixelAt(b, 0, 0)[0], 0);
    EXPECT_EQ(PixelAt(b, 255, 0)[2], 255);
    for (int i = 1; i < 256; ++i) {
      const int v = PixelAt(b, i, 0)[1];
      ASSERT_GE(v, PixelAt(b, i - 1, 0)[1]) << i;
      if (e > 0) ASSERT_GE(v, i) << i;
      else ASSERT_LE(v, i) << i;
    }
  }
  // Exposure 0 changes nothing (1 - e^0 = 0).
  Bitmap b, before;
  ColourRamp(b);
  ColourRamp(before);
  zelvo::AdjustExposure(b, 0.0f);
  EXPECT_TRUE(zelvo::test::SamePixels(b, before));
}

// Values far outside the dialogs' ranges are clamped, never wrapped, and do
// not overflow (the sanitizer build watches the arithmetic).
TEST(PictureOperations, ExtremeValues) {
  struct Colours { int b, c, s; };
  for (const Colours v : std::vector<Colours>{{INT_MAX, INT_MIN, INT_MAX}, {INT_MIN, INT_MAX, INT_MIN}, {-1, 1000, -300},
                                              {0, 0, 0}, {100000, -5000, 100000}}) {
    Bitmap b;
    ColourRamp(b);
    zelvo::AdjustColours(b, v.b, v.c, v.s);
    EXPECT_TRUE(zelvo::test::PaddingIntact(b));
  }
  // Past the saturation bound every result is already saturated: a larger
  // value draws the same.
  for (const int sign : {1, -1}) {
    Bitmap atBound, beyond, far;
    for (Bitmap* b : {&atBound, &beyond, &far}) ColourRamp(*b);
    zelvo::AdjustColours(atBound, 256, 0, sign * 256 * 257);
    zelvo::AdjustColours(beyond, 256, 0, sign * 1000000);
    zelvo::AdjustColours(far, 256, 0, sign * INT_MAX);
    EXPECT_TRUE(zelvo::test::SamePixels(atBound, beyond));
    EXPECT_TRUE(zelvo::test::SamePixels(atBound, far));
  }
  for (const float e : {FLT_MAX, -FLT_MAX, INFINITY, -INFINITY, NAN}) {
    Bitmap b;
    GreyRamp(b);
    zelvo::AdjustExposure(b, e);
    EXPECT_EQ(PixelAt(b, 0, 0)[0], 0);
  }
  // Opacities outside 0..255 draw like the nearest valid one.
  Bitmap source(3, 3);
  zelvo::test::Fill(source, {250, 10, 128});
  for (const auto& [alpha, like] : std::vector<std::pair<int, int>>{{-5, 0}, {INT_MIN, 0}, {300, 255}, {INT_MAX, 255}}) {
    Bitmap got(3, 3), want(3, 3);
    zelvo::test::Fill(got, {20, 200, 60});
    zelvo::test::Fill(want, {20, 200, 60});
    zelvo::BlendPicture(got, source, 0, 0, alpha, zelvo::kBlendMix);
    zelvo::BlendPicture(want, source, 0, 0, like, zelvo::kBlendMix);
    EXPECT_TRUE(zelvo::test::SamePixels(got, want)) << alpha;
  }
}

struct Placement {
  const char* what;
  int frameW, frameH, srcW, srcH, x, y;
  int left, top, width, height;  // the part of the frame drawn on
};

Px SourcePixel(int k, int r) {
  return {static_cast<std::uint8_t>((k * 7 + 3) % 256), static_cast<std::uint8_t>((r * 13 + 5) % 256), static_cast<std::uint8_t>((k + r) % 256)};
}

// Multiplying onto white copies the source, so every frame pixel shows which
// source pixel, if any, landed on it.
TEST(PictureOperations, BlendPlacement) {
  const std::vector<Placement> cases = {
      {"overhangs right and bottom", 352, 240, 100, 50, 300, 200, 300, 200, 52, 40},
      {"inside", 352, 240, 100, 50, 0, 0, 0, 0, 100, 50},
      {"touches the bottom right corner", 352, 240, 100, 50, 252, 190, 252, 190, 100, 50},
      {"overhangs left and top", 352, 240, 100, 50, -30, -20, 0, 0, 70, 30},
      {"last pixel only", 352, 240, 100, 50, 351, 239, 351, 239, 1, 1},
      {"larger than the frame", 33, 17, 100, 50, -10, -10, 0, 0, 33, 17},
      {"odd sizes", 33, 17, 7, 5, 30, 15, 30, 15, 3, 2},
      {"right of the frame", 352, 240, 100, 50, 352, 0, 0, 0, 0, 0},
      {"below the frame", 352, 240, 100, 50, 0, 240, 0, 0, 0, 0},
      {"left of the frame", 352, 240, 100, 50, -100, 0, 0, 0, 0, 0},
      {"above the frame", 352, 240, 100, 50, 0, -50, 0, 0, 0, 0},
      {"far right", 352, 240, 100, 50, INT_MAX, INT_MAX, 0, 0, 0, 0},
      {"far left", 352, 240, 100, 50, INT_MIN, INT_MIN, 0, 0, 0, 0},
      {"empty source", 352, 240, 0, 0, 0, 0, 0, 0, 0, 0},
      {"empty frame", 0, 0, 10, 10, 0, 0, 0, 0, 0, 0},
  };
  for (const Placement& c : cases) {
    SCOPED_TRACE(c.what);
    Bitmap frame(c.frameW, c.frameH);
    zelvo::test::Fill(frame, {255, 255, 255});
    zelvo::test::MarkPadding(frame);
    Bitmap source(c.srcW, c.srcH);
    for (int r = 0; r < c.srcH; ++r)
      for (int k = 0; k < c.srcW; ++k) zelvo::test::SetPixel(source, k, r, SourcePixel(k, r));
    zelvo::BlendPicture(frame, source, c.x, c.y, 168, zelvo::kBlendMultiply);
    for (int y = 0; y < c.frameH; ++y)
      for (int x = 0; x < c.frameW; ++x) {
        const bool inside = x >= c.left && x < c.left + c.width && y >= c.top && y < c.top + c.height;
        const Px want = inside ? SourcePixel(x - c.x, y - c.y) : Px{255, 255, 255};
        ASSERT_EQ(PixelAt(frame, x, y), want) << "at " << x << "," << y;
      }
    EXPECT_TRUE(zelvo::test::PaddingIntact(frame));
  }
}

// The mix of every channel byte against a few targets, from the rows of a
// picture whose stride is wider than the pixels.
TEST(PictureOperations, BlendMixFormula) {
  for (const int alpha : {0, 1, 127, 168, 254, 255}) {
    Bitmap frame(256, 3), source(256, 3);
    for (int x = 0; x < 256; ++x)
      for (int y = 0; y < 3; ++y) {
        const auto t = static_cast<std::uint8_t>((x * 31 + y * 100) % 256);
        zelvo::test::SetPixel(frame, x, y, {t, static_cast<std::uint8_t>(255 - t), 0});
        zelvo::test::SetPixel(source, x, y, {static_cast<std::uint8_t>(x), 255, static_cast<std::uint8_t>(x)});
      }
    Bitmap before;
    zelvo::test::CopyPixels(frame, before);
    zelvo::BlendPicture(frame, source, 0, 0, alpha, zelvo::kBlendMix);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 256; ++x)
        for (int ch = 0; ch < 3; ++ch) {
          const int t = PixelAt(before, x, y)[ch], s = PixelAt(source, x, y)[ch];
          ASSERT_EQ(PixelAt(frame, x, y)[ch], ((256 - alpha) * t + alpha * s) / 256) << alpha << " " << x << " " << ch;
        }
  }
}

TEST(PictureOperations, EmptyPictures) {
  Bitmap empty;
  zelvo::AdjustColours(empty, 300, 40, 100);
  zelvo::AdjustExposure(empty, 100.0f);
  Bitmap source(4, 4);
  zelvo::BlendPicture(empty, source, 0, 0, 255, zelvo::kBlendMix);
  zelvo::BlendPicture(source, empty, 0, 0, 255, zelvo::kBlendMix);
  EXPECT_EQ(empty.Width(), 0);
}

}  // namespace
