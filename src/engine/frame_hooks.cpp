#include "engine/frame_hooks.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "engine/engine_exception.h"
#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/utils.h"

namespace zelvo {

namespace {

std::mutex g_factoryLock;
std::function<std::unique_ptr<PreviewWindow>()> g_previewFactory;  // guarded by g_factoryLock

// Hook libraries, by file name; loaded once for the process.
std::mutex g_libraryLock;
std::map<std::string, void*> g_hookLibraries;  // guarded by g_libraryLock

// The picture layout hook libraries receive.
struct HookPicture {
  std::uint8_t* data[4];
  int linesize[4];
};
using ConfigureFn = int (*)(void** ctx, int argc, char* argv[]);
using ProcessFn = void (*)(void* ctx, HookPicture* picture, int pixFmt, int width, int height, std::int64_t pts);
using ReleaseFn = void (*)(void* ctx);

void LogText(LogLevel level, const std::string& text) { EngineLog::Logger().Log(nullptr, level, text); }

}  // namespace

struct FrameHooks::VideoHook {
  ConfigureFn configure = nullptr;
  ProcessFn process = nullptr;
  ReleaseFn release = nullptr;
  void* ctx = nullptr;
};

void InstallPreviewWindowFactory(std::function<std::unique_ptr<PreviewWindow>()> factory) {
  std::lock_guard<std::mutex> guard(g_factoryLock);
  g_previewFactory = std::move(factory);
}

std::mutex& PreviewLock() {
  static std::mutex lock;
  return lock;
}

FrameHooks::FrameHooks() = default;
FrameHooks::~FrameHooks() { ReleaseHooks(); }

void FrameHooks::AddVideoHook(const std::string& value) {
  const std::string failure = "Failed to add video hook function: " + value;
  std::vector<std::string> words;
  const char separator = value.find('|') != std::string::npos ? '|' : ' ';
  std::string rest = value;
  while (!rest.empty() && words.size() < 64) {
    std::string word = SplitFirst(rest, std::string(1, separator), true);
    if (!word.empty()) words.push_back(word);
  }
  if (words.empty()) throw EngineException(failure);
  const std::string& file = words[0];

  void* module = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_libraryLock);
    auto it = g_hookLibraries.find(file);
    if (it != g_hookLibraries.end()) {
      module = it->second;
    } else {
      // A path loads from its folder; the library's own dependencies are
      // found the usual way.
      module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!module) {
        const char* why = dlerror();
        lib::avutil.av_log(nullptr, AV_LOG_ERROR, "%s\n", why ? why : "cannot load the hook library");
        throw EngineException(failure);
      }
      g_hookLibraries.emplace(file, module);
    }
  }
  auto hook = std::make_unique<VideoHook>();
  hook->configure = reinterpret_cast<ConfigureFn>(dlsym(module, "Configure"));
  hook->process = reinterpret_cast<ProcessFn>(dlsym(module, "Process"));
  hook->release = reinterpret_cast<ReleaseFn>(dlsym(module, "Release"));
  if (!hook->process) {
    lib::avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Process entrypoint in %s\n", file.c_str());
    throw EngineException(failure);
  }
  if (!hook->configure && words.size() > 1) {
    lib::avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to find Configure entrypoint in %s\n", file.c_str());
    throw EngineException(failure);
  }
  if (hook->configure) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    if (hook->configure(&hook->ctx, static_cast<int>(words.size()), argv.data()) != 0) {
      lib::avutil.av_log(nullptr, AV_LOG_ERROR, "Failed to Configure %s\n", file.c_str());
      throw EngineException(failure);
    }
  }
  hooks_.push_back(std::move(hook));
  usingHooks_ = true;
}

void FrameHooks::ReleaseHooks() {
  for (auto& h : hooks_)
    if (h->release) h->release(h->ctx);
  hooks_.clear();
  usingHooks_ = false;
}

void FrameHooks::SetPreviewSwitches(int bits) {
  std::lock_guard<std::mutex> guard(PreviewLock());
  previewBits_ = bits;
  if (!(bits & kPreviewWindow)) previewWindow_.reset();
}

int FrameHooks::PreviewSwitches() const {
  std::lock_guard<std::mutex> guard(PreviewLock());
  return previewBits_;
}

void FrameHooks::StopHooking() {
  customHook_ = nullptr;
  usingHooks_ = false;
}

void FrameHooks::PreProcess(AVFrame* frame, std::int64_t pts) {
  ++frameCounter_;
  if (!deinterlace_ && !customHook_ && !usingHooks_) return;
  // A private copy where the picture is changed in place: deinterlacing, or
  // hook libraries. The custom hook converts into a picture of its own.
  FramePtr copy;
  if (deinterlace_ || !customHook_) {
    copy.reset(lib::avutil.av_frame_alloc());
    if (copy) {
      copy->format = frame->format;
      copy->width = frame->width;
      copy->height = frame->height;
    }
    if (!copy || lib::avutil.av_frame_get_buffer(copy.get(), 0) < 0) {
      LogText(LogLevel::llError, "hook buf malloc error.");
      return;
    }
    bool copied = false;
    if (deinterlace_) {
      copied = DeinterlacePicture(copy.get(), frame);
      if (!copied) LogText(LogLevel::llError, "Deinterlacing failed.");
    }
    if (!copied) lib::avutil.av_frame_copy(copy.get(), frame);
    lib::avutil.av_frame_copy_props(copy.get(), frame);
  }
  AVFrame* work = copy ? copy.get() : frame;
  if (customHook_) {
    if (AVFrame* result = RunCustomHook(work, pts)) work = result;
  } else if (usingHooks_) {
    HookPicture picture{};
    for (int i = 0; i < 4; ++i) {
      picture.data[i] = work->data[i];
      picture.linesize[i] = work->linesize[i];
    }
    for (auto& h : hooks_) h->process(h->ctx, &picture, work->format, work->width, work->height, pts);
  }
  if (work != frame) {
    FramePtr result(lib::avutil.av_frame_clone(work));
    if (!result) return;
    lib::avutil.av_frame_copy_props(result.get(), frame);
    lib::avutil.av_frame_unref(frame);
    lib::avutil.av_frame_move_ref(frame, result.get());
  }
}

AVFrame* FrameHooks::RunCustomHook(const AVFrame* picture, std::int64_t pts) {
  PictureConverter& c = hookConverter_;
  const auto format = static_cast<AVPixelFormat>(picture->format);
  if (!PictureToBitmap(c, picture->data, picture->linesize, format, picture->height, picture->width)) {
    LogText(LogLevel::llError, "Cannot initialize the toRGB conversion context");
    StopHooking();
    return nullptr;
  }
  HookCall call;
  call.Bitmap = c.Bitmap.get();
  call.FrameNumber = frameCounter_;
  call.PTS = pts;
  try {
    customHook_(call);
  } catch (const std::exception& e) {
    LogText(LogLevel::llError, std::string("Error occurs OnCustomHook: ") + e.what());
    call.Update = false;
  }
  AVFrame* result = nullptr;
  if (call.Update) {
    // Back into a picture of the decoder's format; reused while the encoder
    // holds no reference to the last one.
    if (!hookResult_ || !lib::avutil.av_frame_is_writable(hookResult_.get()) || hookResult_->width != picture->width ||
        hookResult_->height != picture->height || hookResult_->format != picture->format) {
      hookResult_.reset(lib::avutil.av_frame_alloc());
      if (hookResult_) {
        hookResult_->format = picture->format;
        hookResult_->width = picture->width;
        hookResult_->height = picture->height;
      }
      if (!hookResult_ || lib::avutil.av_frame_get_buffer(hookResult_.get(), 0) < 0) {
        LogText(LogLevel::llError, "hook buf malloc error.");
        hookResult_.reset();
        return nullptr;
      }
    }
    const std::uint8_t* const rows[4] = {c.Bitmap->Bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {c.Bitmap->Stride(), 0, 0, 0};
    if (format != c.TargetPixFmt || c.Source == c.Picture) {
      fromRgb_.reset(lib::swscale.sws_getCachedContext(fromRgb_.release(), picture->width, picture->height, c.TargetPixFmt,
                                                       picture->width, picture->height, format, SWS_BICUBIC, nullptr,
                                                       nullptr, nullptr));
      if (!fromRgb_) {
        LogText(LogLevel::llError, "Cannot initialize the fromRGB conversion context");
        StopHooking();
        return nullptr;
      }
      lib::swscale.sws_scale(fromRgb_.get(), rows, strides, 0, picture->height, hookResult_->data, hookResult_->linesize);
    } else {
      for (int y = 0; y < picture->height; ++y)
        std::memcpy(hookResult_->data[0] + static_cast<ptrdiff_t>(y) * hookResult_->linesize[0], c.Bitmap->ScanLine(y),
                    static_cast<size_t>(picture->width) * 3);
    }
    lib::avutil.av_frame_copy_props(hookResult_.get(), picture);
    result = hookResult_.get();
  }
  if (call.StopHook) StopHooking();
  return result;
}

void FrameHooks::CapturePreview(const AVFrame* picture, std::int64_t pts) {
  int bits;
  {
    std::lock_guard<std::mutex> guard(PreviewLock());
    bits = previewBits_;
  }
  if (!bits) return;
  const std::int64_t now = lib::avutil.av_gettime();
  if (now - lastCapture_ <= 100000) return;
  lastCapture_ = now;
  const bool ok = PictureToBitmap(previewConverter_, picture->data, picture->linesize, static_cast<AVPixelFormat>(picture->format),
                                  picture->height, picture->width);
  int clear = 0;
  if ((bits & kPreviewBitmap) && previewHandler_) {
    // The handler runs without the switch lock: it may wait for the main
    // thread, which may be changing the switches.
    if (ok) previewHandler_(*previewConverter_.Bitmap, pts, frameCounter_);
    else {
      LogText(LogLevel::llError, "Cannot initialize the toRGB conversion context");
      clear = kPreviewBitmap;
    }
  } else if (bits & kPreviewWindow) {
    if (!previewWindow_) {
      std::lock_guard<std::mutex> guard(g_factoryLock);
      if (g_previewFactory) previewWindow_ = g_previewFactory();
    }
    if (!ok || !previewWindow_ || !previewWindow_->Show(*previewConverter_.Bitmap, frameCounter_, pts)) clear = kPreviewWindow;
  }
  if (clear) {
    std::lock_guard<std::mutex> guard(PreviewLock());
    previewBits_ &= ~clear;
    if (clear == kPreviewWindow) previewWindow_.reset();
  }
}

bool DeinterlacePicture(AVFrame* dst, const AVFrame* src) {
  const auto f = static_cast<AVPixelFormat>(src->format);
  if (f != AV_PIX_FMT_YUV420P && f != AV_PIX_FMT_YUVJ420P && f != AV_PIX_FMT_YUV422P && f != AV_PIX_FMT_YUVJ422P &&
      f != AV_PIX_FMT_YUV444P && f != AV_PIX_FMT_YUV411P && f != AV_PIX_FMT_GRAY8)
    return false;
  if ((src->width & 3) || (src->height & 3)) return false;
  const AVPixFmtDescriptor* d = lib::avutil.av_pix_fmt_desc_get(f);
  const int planes = f == AV_PIX_FMT_GRAY8 ? 1 : 3;
  for (int p = 0; p < planes; ++p) {
    const int w = p == 0 ? src->width : (src->width >> d->log2_chroma_w);
    const int h = p == 0 ? src->height : (src->height >> d->log2_chroma_h);
    auto line = [&](int y) { return src->data[p] + static_cast<ptrdiff_t>(std::clamp(y, 0, h - 1)) * src->linesize[p]; };
    for (int y = 0; y < h; ++y) {
      std::uint8_t* out = dst->data[p] + static_cast<ptrdiff_t>(y) * dst->linesize[p];
      if ((y & 1) == 0) {
        std::memcpy(out, line(y), static_cast<size_t>(w));
        continue;
      }
      const std::uint8_t *a = line(y - 2), *b = line(y - 1), *c = line(y), *e = line(y + 1), *g = line(y + 2);
      for (int x = 0; x < w; ++x) out[x] = static_cast<std::uint8_t>(Clip((-a[x] + 4 * b[x] + 2 * c[x] + 4 * e[x] - g[x] + 4) >> 3, 0, 255));
    }
  }
  return true;
}

}  // namespace zelvo
