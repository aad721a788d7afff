#include "effects/row_effects.h"

#include <QImage>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "effects/picture_operations.h"
#include "test_pictures.h"

using zelvo::Bitmap;
using zelvo::FontMode;
using zelvo::RowEffects;
using zelvo::test::PixelAt;
using zelvo::test::Px;

namespace {

struct Box {
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;  // inclusive
  int count = 0;
  bool Empty() const { return count == 0; }
};

// Where picture differs from a background of one value.
Box Changed(const Bitmap& picture, Px background) {
  Box box;
  for (int y = 0; y < picture.Height(); ++y)
    for (int x = 0; x < picture.Width(); ++x)
      if (PixelAt(picture, x, y) != background) {
        box.left = std::min(box.left, x), box.right = std::max(box.right, x);
        box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y);
        ++box.count;
      }
  return box;
}

zelvo::WatermarkFontInfo Font(int size, std::uint32_t colour) {
  zelvo::WatermarkFontInfo f;
  f.Name = "DejaVu Sans";
  f.Size = size;
  f.Colour = colour;
  return f;
}

TEST(RowEffects, HasEffectsByField) {
  const std::vector<std::pair<const char*, std::function<void(RowEffects&)>>> cases = {
      {"brightness", [](RowEffects& r) { r.Brightness = 256; }},
      {"contrast", [](RowEffects& r) { r.Contrast = -1; }},
      {"saturation", [](RowEffects& r) { r.Saturation = 0; }},
      {"exposure", [](RowEffects& r) { r.Exposure = 3; }},
      {"text", [](RowEffects& r) { r.WatermarkText = "x"; }},
      {"picture", [](RowEffects& r) { r.PictureFile = "a.bmp"; }},
  };
  EXPECT_FALSE(RowEffects{}.HasEffects());
  RowEffects onlyPlacement;  // positions, opacity, style and order alone draw nothing
  onlyPlacement.TextX = onlyPlacement.PictureY = 20;
  onlyPlacement.PictureAlpha = 0;
  onlyPlacement.PictureBlend = 2;
  onlyPlacement.ProcessText = onlyPlacement.ProcessPicture = true;
  EXPECT_FALSE(onlyPlacement.HasEffects());
  for (const auto& [what, set] : cases) {
    RowEffects row;
    set(row);
    EXPECT_TRUE(row.HasEffects()) << what;
  }
}

void Gradient(Bitmap& b, int w, int h) {
  b.SetSize(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      zelvo::test::SetPixel(b, x, y, {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 9), static_cast<std::uint8_t>(x + y)});
  zelvo::test::MarkPadding(b);
}

// The stored neutral values skip the colour step, which would otherwise
// darken every byte by one.
TEST(RowEffects, NeutralRowLeavesPictureAlone) {
  Bitmap picture, before;
  Gradient(picture, 51, 29);
  Gradient(before, 51, 29);
  zelvo::DrawRowEffects(picture, RowEffects{}, FontMode::WholeFont);
  EXPECT_TRUE(zelvo::test::SamePixels(picture, before));
  EXPECT_TRUE(zelvo::test::PaddingIntact(picture));
}

// Colour adjustment always comes before exposure; the two do not commute.
TEST(RowEffects, ColoursThenExposure) {
  RowEffects row;
  row.Brightness = 300;
  row.Contrast = 30;
  row.Saturation = 400;
  row.Exposure = 100;
  Bitmap drawn, expected, reversed;
  Gradient(drawn, 51, 29);
  Gradient(expected, 51, 29);
  Gradient(reversed, 51, 29);
  zelvo::DrawRowEffects(drawn, row, FontMode::WholeFont);
  zelvo::AdjustColours(expected, 300, 30, 400);
  zelvo::AdjustExposure(expected, 100.0f);
  zelvo::AdjustExposure(reversed, 100.0f);
  zelvo::AdjustColours(reversed, 300, 30, 400);
  EXPECT_TRUE(zelvo::test::SamePixels(drawn, expected));
  EXPECT_FALSE(zelvo::test::SamePixels(drawn, reversed));
}

bool IsGrey(Px p) { return p[0] == p[1] && p[1] == p[2]; }

// Whether some pixel of the rectangle still has colour.
bool HasColour(const Bitmap& b, int left, int top, int right, int bottom) {
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x)
      if (!IsGrey(PixelAt(b, x, y))) return true;
  return false;
}

// Red text on the left, a green picture on the right, saturation 0: an
// overlay drawn before the colour step turns grey, one drawn after keeps
// its own colours.
TEST(RowEffects, DrawingOrder) {
  const std::string green = zelvo::test::SaveBmp(zelvo::test::Solid(40, 30, {0, 255, 0}), "order_green.bmp");
  struct Case {
    bool processText, processPicture;
    bool textColoured, pictureColoured;
  };
  for (const Case c : std::vector<Case>{{true, false, false, true}, {false, true, true, false}, {true, true, false, false}, {false, false, true, true}}) {
    SCOPED_TRACE(testing::Message() << "text " << c.processText << " picture " << c.processPicture);
    Bitmap frame(121, 50);
    zelvo::test::Fill(frame, {60, 60, 60});
    RowEffects row;
    row.Saturation = 0;
    row.WatermarkText = "HHH";
    row.WatermarkFont = Font(20, 0xFF0000);
    row.TextX = 2, row.TextY = 5;
    row.PictureFile = green;
    row.PictureX = 70, row.PictureY = 10;
    row.PictureAlpha = 255;
    row.ProcessText = c.processText;
    row.ProcessPicture = c.processPicture;
    zelvo::DrawRowEffects(frame, row, FontMode::WholeFont);
    EXPECT_EQ(HasColour(frame, 0, 0, 65, 50), c.textColoured);
    EXPECT_EQ(HasColour(frame, 65, 0, 121, 50), c.pictureColoured);
    // Both overlays were drawn in every order.
    EXPECT_FALSE(Changed(frame, {60, 60, 60}).Empty());
    if (c.pictureColoured) {
      EXPECT_EQ(PixelAt(frame, 80, 20), (Px{0, 254, 0}));
    } else {
      EXPECT_EQ(PixelAt(frame, 80, 20), (Px{83, 83, 83}));  // grey 254 / 3 = 84, less one at brightness 255
    }
  }
}

// The picture step blends the file's pixels exactly as BlendPicture does,
// for odd sizes and positions partly outside the frame, in both styles.
TEST(RowEffects, PictureStepMatchesBlend) {
  QImage art(7, 5, QImage::Format_RGB32);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) art.setPixelColor(x, y, QColor(x * 30, y * 50, 255 - x * 20));
  const std::string path = zelvo::test::SaveBmp(art, "art_7x5.bmp");
  Bitmap loaded;
  zelvo::LoadPicture(path, loaded);
  ASSERT_EQ(loaded.Width(), 7);
  ASSERT_EQ(loaded.Height(), 5);
  struct Case { int x, y, alpha, style; };
  for (const Case c : std::vector<Case>{{3, 2, 128, 1}, {-2, -3, 200, 1}, {9, 7, 255, 2}, {0, 0, 0, 1}, {11, 9, 90, 1}, {-7, 0, 255, 1}}) {
    SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " alpha " << c.alpha << " style " << c.style);
    Bitmap drawn, expected;
    Gradient(drawn, 13, 11);
    Gradient(expected, 13, 11);
    RowEffects row;
    row.PictureFile = path;
    row.PictureX = c.x, row.PictureY = c.y;
    row.PictureAlpha = c.alpha;
    row.PictureBlend = c.style;
    zelvo::DrawRowEffects(drawn, row, FontMode::WholeFont);
    zelvo::BlendPicture(expected, loaded, c.x, c.y, c.alpha, c.style);
    EXPECT_TRUE(zelvo::test::SamePixels(drawn, expected));
    EXPECT_TRUE(zelvo::test::PaddingIntact(drawn));
  }
}

// Files of other depths come out as the same 24-bit bytes (blue, green, red).
TEST(RowEffects, LoadPictureDepths) {
  QImage indexed(5, 3, QImage::Format_Indexed8);
  indexed.setColorTable({qRgb(255, 0, 0), qRgb(0, 0, 255), qRgb(10, 20, 30)});
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) indexed.setPixel(x, y, (x + y) % 3);
  QImage mono(9, 2, QImage::Format_Mono);
  mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  mono.fill(0);
  mono.setPixel(8, 1, 1);
  QImage rgb(3, 2, QImage::Format_RGB888);
  rgb.fill(QColor(1, 2, 3));
  struct Case {
    const char* name;
    QImage image;
  };
  for (const Case& c : std::vector<Case>{{"indexed.bmp", indexed}, {"mono.bmp", mono}, {"rgb.bmp", rgb}}) {
    SCOPED_TRACE(c.name);
    Bitmap b;
    zelvo::LoadPicture(zelvo::test::SaveBmp(c.image, c.name), b);
    ASSERT_EQ(b.Width(), c.image.width());
    ASSERT_EQ(b.Height(), c.image.height());
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x) {
        const QColor q = c.image.pixelColor(x, y);
        ASSERT_EQ(PixelAt(b, x, y), (Px{static_cast<std::uint8_t>(q.blue()), static_cast<std::uint8_t>(q.green()), static_cast<std::uint8_t>(q.red())}))
            << x << "," << y;
      }
  }
}

// A picture that cannot be read raises out of the drawing; what was drawn
// before it stays, and the next picture tries the file again.
TEST(RowEffects, UnreadablePictureFile) {
  const std::string dir = zelvo::test::FixtureDir();
  const std::string garbage = dir + "/garbage.bmp";
  std::ofstream(garbage) << "this is not a picture\n";
  const std::string empty = dir + "/empty.bmp";
  std::ofstream{empty};
  const std::string truncated = dir + "/truncated.bmp";
  {
    const std::string whole = zelvo::test::SaveBmp(zelvo::test::Solid(64, 64, {1, 2, 3}), "whole.bmp");
    std::filesystem::copy_file(whole, truncated, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(truncated, 40);
  }
  const std::string later = dir + "/appears_later.bmp";
  std::filesystem::remove(later);

  for (const std::string& path : {dir + "/missing.bmp", garbage, empty, truncated, dir, later}) {
    SCOPED_TRACE(path);
    Bitmap frame, coloured;
    Gradient(frame, 31, 17);
    Gradient(coloured, 31, 17);
    RowEffects row;
    row.PictureFile = path;
    row.Exposure = 50;
    EXPECT_THROW(zelvo::DrawRowEffects(frame, row, FontMode::WholeFont), zelvo::PictureLoadError);
    zelvo::AdjustExposure(coloured, 50.0f);
    EXPECT_TRUE(zelvo::test::SamePixels(frame, coloured));
    Bitmap b;
    EXPECT_THROW(zelvo::LoadPicture(path, b), zelvo::PictureLoadError);
  }

  zelvo::test::SaveBmp(zelvo::test::Solid(4, 4, {0, 0, 255}), "appears_later.bmp");
  Bitmap frame(8, 8);
  RowEffects row;
  row.PictureFile = later;
  row.PictureAlpha = 255;
  zelvo::DrawRowEffects(frame, row, FontMode::WholeFont);
  EXPECT_EQ(PixelAt(frame, 3, 3), (Px{0, 0, 254}));
  // Changed between two pictures: the second one shows the new file.
  zelvo::test::SaveBmp(zelvo::test::Solid(4, 4, {255, 0, 0}), "appears_later.bmp");
  zelvo::DrawRowEffects(frame, row, FontMode::WholeFont);
  EXPECT_EQ(PixelAt(frame, 3, 3), (Px{254, 0, 0}));
}

void Black(Bitmap& b, int w, int h) {
  b.SetSize(w, h);
  zelvo::test::MarkPadding(b);
}

// Text is drawn in its colour (red stays red: the bytes are blue, green,
// red), without a background, below and right of its cell's top-left.
TEST(RowEffects, TextPlacementAndColour) {
  Bitmap frame;
  Black(frame, 201, 61);
  zelvo::DrawTextOverlay(frame, Font(20, 0xFF0000), 10, 5, "Hg");
  const Box box = Changed(frame, {0, 0, 0});
  ASSERT_FALSE(box.Empty());
  EXPECT_GE(box.left, 10);
  EXPECT_LE(box.left, 14);
  EXPECT_GE(box.top, 5);
  EXPECT_LE(box.top, 12);   // capitals start a few pixels below the cell top
  EXPECT_LT(box.bottom, 5 + 40);
  EXPECT_LT(box.right, 10 + 60);
  bool fullRed = false;
  for (int y = 0; y < frame.Height(); ++y)
    for (int x = 0; x < frame.Width(); ++x) {
      const Px p = PixelAt(frame, x, y);
      ASSERT_EQ(p[0], 0) << x << "," << y;
      ASSERT_EQ(p[1], 0) << x << "," << y;
      fullRed = fullRed || p[2] == 255;
    }
  EXPECT_TRUE(fullRed);
  EXPECT_TRUE(zelvo::test::PaddingIntact(frame));

  // 20 points at 96 per inch is about 27 pixels of em; 8 points about 11.
  Bitmap small;
  Black(small, 201, 61);
  zelvo::DrawTextOverlay(small, Font(8, 0xFFFFFF), 10, 5, "Hg");
  const Box smallBox = Changed(small, {0, 0, 0});
  ASSERT_FALSE(smallBox.Empty());
  EXPECT_LT(smallBox.bottom - smallBox.top, box.bottom - box.top);
  EXPECT_GE(box.bottom - box.top, 20);
  EXPECT_LE(smallBox.bottom - smallBox.top, 12);
}

TEST(RowEffects, TextStyles) {
  const auto draw = [](Bitmap& frame, const std::function<void(zelvo::WatermarkFontInfo&)>& style) {
    Black(frame, 160, 40);
    zelvo::WatermarkFontInfo f = Font(16, 0xFFFFFF);
    style(f);
    zelvo::DrawTextOverlay(frame, f, 4, 4, "Style");
  };
  Bitmap regular;
  draw(regular, [](zelvo::WatermarkFontInfo&) {});
  const int regularCount = Changed(regular, {0, 0, 0}).count;
  ASSERT_GT(regularCount, 0);
  struct Case {
    const char* what;
    std::function<void(zelvo::WatermarkFontInfo&)> set;
    bool morePixels;
  };
  for (const Case& c : std::vector<Case>{{"bold", [](auto& f) { f.Bold = true; }, true},
                                         {"underline", [](auto& f) { f.Underline = true; }, true},
                                         {"strike-out", [](auto& f) { f.StrikeOut = true; }, true},
                                         {"italic", [](auto& f) { f.Italic = true; }, false}}) {
    Bitmap styled;
    draw(styled, c.set);
    EXPECT_FALSE(zelvo::test::SamePixels(styled, regular)) << c.what;
    if (c.morePixels) {
      EXPECT_GT(Changed(styled, {0, 0, 0}).count, regularCount) << c.what;
    }
  }
}

// Text partly or wholly outside the picture is clipped; tiny, odd-sized and
// empty pictures, missing font families and non-ASCII text all draw safely.
TEST(RowEffects, TextEdgeCases) {
  struct Case {
    const char* what;
    int w, h, x, y;
    std::string text;
    bool drawsSomething;
  };
  for (const Case& c : std::vector<Case>{{"over the top left", 33, 17, -6, -8, "Wide text", true},
                                         {"over the bottom right", 33, 17, 25, 10, "Wide text", true},
                                         {"far right", 33, 17, 100000, 5, "Wide text", false},
                                         {"far left", 33, 17, -100000, 5, "Wide text", false},
                                         {"extreme", 33, 17, INT_MAX / 2, INT_MIN / 2, "Wide text", false},
                                         {"one pixel", 1, 1, 0, -5, "W", true},
                                         {"non-ASCII", 61, 21, 0, 0, "\xC5\xBDlut\xC3\xBD \xE6\x97\xA5", true},
                                         {"empty text", 33, 17, 0, 0, "", false},
                                         {"empty picture", 0, 0, 0, 0, "text", false}}) {
    SCOPED_TRACE(c.what);
    Bitmap frame;
    Black(frame, c.w, c.h);
    zelvo::DrawTextOverlay(frame, Font(14, 0xFFFFFF), c.x, c.y, c.text);
    EXPECT_EQ(!Changed(frame, {0, 0, 0}).Empty(), c.drawsSomething);
    EXPECT_TRUE(zelvo::test::PaddingIntact(frame));
  }
  for (const int size : {0, -3, 1}) {
    Bitmap frame;
    Black(frame, 40, 20);
    zelvo::DrawTextOverlay(frame, Font(size, 0xFFFFFF), 0, 0, "Tiny");
    EXPECT_TRUE(zelvo::test::PaddingIntact(frame)) << size;
  }
  // The record's own default family does not exist here; a substitute draws.
  Bitmap frame;
  Black(frame, 80, 20);
  zelvo::WatermarkFontInfo fallback;
  fallback.Colour = 0xFFFFFF;
  zelvo::DrawTextOverlay(frame, fallback, 2, 2, "Fallback");
  EXPECT_FALSE(Changed(frame, {0, 0, 0}).Empty());
}

// The font view holds exactly what the preview mode copies, so both modes
// draw the same.
TEST(RowEffects, FontModesDrawAlike) {
  RowEffects row;
  row.WatermarkText = "Mode";
  row.WatermarkFont = Font(18, 0x3366CC);
  row.WatermarkFont.Italic = row.WatermarkFont.Underline = true;
  row.TextX = 3, row.TextY = 2;
  Bitmap whole, four, plain;
  Gradient(whole, 90, 30);
  Gradient(four, 90, 30);
  Gradient(plain, 90, 30);
  zelvo::DrawRowEffects(whole, row, FontMode::WholeFont);
  zelvo::DrawRowEffects(four, row, FontMode::FourAttributes);
  EXPECT_TRUE(zelvo::test::SamePixels(whole, four));
  EXPECT_FALSE(zelvo::test::SamePixels(whole, plain));
}

}  // namespace
