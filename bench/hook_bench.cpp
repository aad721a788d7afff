// What the custom hook costs per 640x480 picture, against the two colour
// conversions (to 24-bit and back) it cannot avoid, in the same run.
//
//   hook_bench [--frames N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/frame_hooks.h"
#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/handles.h"
#include "media/library_loader.h"

namespace {

using Clock = std::chrono::steady_clock;

zelvo::FramePtr Picture(int w, int h) {
  zelvo::FramePtr f(zelvo::lib::avutil.av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = w;
  f->height = h;
  zelvo::lib::avutil.av_frame_get_buffer(f.get(), 0);
  for (int p = 0; p < 3; ++p) {
    const int ph = p ? h / 2 : h;
    for (int y = 0; y < ph; ++y) std::memset(f->data[p] + y * f->linesize[p], 16 + (y * 7 + p * 50) % 200, static_cast<size_t>(f->linesize[p]));
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 500;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--frames") == 0) frames = std::atoi(argv[i + 1]);
  std::string err;
  if (!zelvo::LoadMediaLibraries(zelvo::DefaultLibraryFolder(), zelvo::kConversionLibraries, err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  const int w = 640, h = 480;
  zelvo::FramePtr source = Picture(w, h);

  // The two conversions alone.
  zelvo::FramePtr rgb(zelvo::lib::avutil.av_frame_alloc());
  rgb->format = AV_PIX_FMT_BGR24;
  rgb->width = w;
  rgb->height = h;
  zelvo::lib::avutil.av_frame_get_buffer(rgb.get(), 4);
  zelvo::FramePtr back = Picture(w, h);
  zelvo::SwsContextPtr to(zelvo::lib::swscale.sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  zelvo::SwsContextPtr from(zelvo::lib::swscale.sws_getContext(w, h, AV_PIX_FMT_BGR24, w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));

  zelvo::FrameHooks hooks;
  long touched = 0;
  hooks.SetCustomHook([&](zelvo::HookCall& c) { touched += c.Bitmap->ScanLine(0)[0]; });
  double best[2] = {1e9, 1e9};
  for (int round = 0; round < 3; ++round) {
    auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
      zelvo::lib::swscale.sws_scale(to.get(), source->data, source->linesize, 0, h, rgb->data, rgb->linesize);
      zelvo::lib::swscale.sws_scale(from.get(), rgb->data, rgb->linesize, 0, h, back->data, back->linesize);
    }
    auto t1 = Clock::now();
    for (int i = 0; i < frames; ++i) {
      zelvo::FramePtr frame(zelvo::lib::avutil.av_frame_clone(source.get()));
      hooks.PreProcess(frame.get(), i * 40000);
    }
    auto t2 = Clock::now();
    best[0] = std::min(best[0], std::chrono::duration<double, std::milli>(t1 - t0).count() / frames);
    best[1] = std::min(best[1], std::chrono::duration<double, std::milli>(t2 - t1).count() / frames);
  }
  std::printf("640x480 yuv420p, %d frames, best of 3 rounds\n", frames);
  std::printf("two colour conversions: %.3f ms/frame\n", best[0]);
  std::printf("custom hook round trip: %.3f ms/frame (ratio %.2f)\n", best[1], best[1] / best[0]);
  return touched == -1;
}
