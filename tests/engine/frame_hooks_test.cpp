#include "engine/frame_hooks.h"

#include <gtest/gtest.h>

#include "media/av_entries.h"
#include "test_media.h"

using namespace zelvo;

namespace {

FramePtr Gray(int w, int h, const std::function<int(int, int)>& value) {
  FramePtr f(lib::avutil.av_frame_alloc());
  f->format = AV_PIX_FMT_GRAY8;
  f->width = w;
  f->height = h;
  EXPECT_EQ(lib::avutil.av_frame_get_buffer(f.get(), 0), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<std::uint8_t>(value(x, y));
  return f;
}

TEST(FrameHooksTest, DeinterlaceRebuildsOddLinesFromTheirNeighbours) {
  test::LoadMediaLibrariesForTests();
  // Lines alternate between 200 and 40: a combed picture.
  FramePtr src = Gray(8, 8, [](int, int y) { return y % 2 ? 40 : 200; });
  FramePtr dst = Gray(8, 8, [](int, int) { return 0; });
  ASSERT_TRUE(DeinterlacePicture(dst.get(), src.get()));
  auto at = [&](int y) { return dst->data[0][y * dst->linesize[0] + 3]; };
  EXPECT_EQ(at(0), 200);  // even lines stay
  EXPECT_EQ(at(2), 200);
  // Line 3 from lines 1..5 (40, 200, 40, 200, 40): (-40 + 800 + 80 + 800 - 40 + 4) >> 3 = 200.
  EXPECT_EQ(at(3), 200);
  // The last line repeats itself below the bottom: (-40 + 800 + 80 + 160 - 40 + 4) >> 3 = 120.
  EXPECT_EQ(at(7), 120);

  FramePtr odd = Gray(6, 8, [](int, int) { return 0; });
  FramePtr oddOut = Gray(6, 8, [](int, int) { return 0; });
  EXPECT_FALSE(DeinterlacePicture(oddOut.get(), odd.get()));  // width not a multiple of 4
}

TEST(FrameHooksTest, HooksCountFramesAndPreviewTurnsOffWithoutAWindow) {
  test::LoadMediaLibrariesForTests();
  FrameHooks hooks;
  FramePtr picture = Gray(16, 16, [](int x, int) { return x * 10; });
  hooks.SetPreviewSwitches(kPreviewWindow);
  hooks.PreProcess(picture.get(), 0);
  hooks.CapturePreview(picture.get(), 0);
  EXPECT_EQ(hooks.FrameCounter(), 1);
  EXPECT_EQ(hooks.PreviewSwitches(), 0);  // headless: no preview window to show it in
}

}  // namespace
