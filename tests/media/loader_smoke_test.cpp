#include <gtest/gtest.h>

#include "media/av_entries.h"
#include "media/library_loader.h"
#include "media/sdl_entries.h"

TEST(LoaderSmoke, LoadsPlayerSetFromSystem) {
  std::string err;
  ASSERT_TRUE(zelvo::LoadMediaLibraries("", zelvo::kPlayerLibraries, err)) << err;
  EXPECT_NE(zelvo::lib::avcodec.avcodec_open2, nullptr);
  EXPECT_NE(zelvo::lib::avcodec.swr_alloc, nullptr);
  EXPECT_NE(zelvo::lib::sdl.SDL_Init, nullptr);
}
