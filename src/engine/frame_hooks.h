// Frame hooks of one engine instance: deinterlacing and a private copy of
// every decoded picture, the custom hook (the picture as a 24-bit bitmap for
// the caller to draw on, then back), video hook libraries loaded with the
// "vhook" option, and preview capture of the pictures about to be encoded.
//
// Threads: PreProcess and CapturePreview run in the engine's running thread;
// the handlers are called there. The preview switches may be changed from
// any thread under PreviewLock(). The hook libraries stay loaded for the
// process's life.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/bitmap.h"
#include "media/handles.h"
#include "media/picture_converter.h"

namespace zelvo {

// What the custom hook receives; a handler sets Update false to leave the
// picture as it was, StopHook true to stop hooking for the rest of the task.
struct HookCall {
  zelvo::Bitmap* Bitmap = nullptr;
  int FrameNumber = 0;     // 1 for the first decoded picture
  std::int64_t PTS = 0;    // microseconds
  bool Update = true;
  bool StopHook = false;
};
using CustomHookHandler = std::function<void(HookCall&)>;
// A captured picture (output size), its time in microseconds and the frame counter.
using PreviewBitmapHandler = std::function<void(const Bitmap&, std::int64_t pts, int frameNumber)>;

// A small window that shows the pictures being encoded; provided by the
// windows. Show returns false once the user closed it.
class PreviewWindow {
 public:
  virtual ~PreviewWindow() = default;
  virtual bool Show(const Bitmap& picture, int frameNumber, std::int64_t pts) = 0;
};
// Installs the factory (main thread, at start-up). Without one, Preview turns
// itself off at the first picture.
void InstallPreviewWindowFactory(std::function<std::unique_ptr<PreviewWindow>()> factory);

constexpr int kPreviewWindow = 1;  // "Preview"
constexpr int kPreviewBitmap = 2;  // "PreviewBitmap"
// Guards every engine's preview switches.
std::mutex& PreviewLock();

class FrameHooks {
 public:
  FrameHooks();
  ~FrameHooks();
  FrameHooks(const FrameHooks&) = delete;
  FrameHooks& operator=(const FrameHooks&) = delete;

  // "vhook": library path and arguments, split at "|" when there is one,
  // else at blanks. Raises EngineException
  // "Failed to add video hook function: " + value.
  void AddVideoHook(const std::string& value);
  void ReleaseHooks();

  void SetDeinterlace(bool on) { deinterlace_ = on; }
  void SetCustomHook(CustomHookHandler handler) { customHook_ = std::move(handler); }
  bool HasCustomHook() const { return static_cast<bool>(customHook_); }
  bool HasVideoHooks() const { return !hooks_.empty(); }
  void SetPreviewBitmapHandler(PreviewBitmapHandler handler) { previewHandler_ = std::move(handler); }
  // Preview switches (kPreviewWindow | kPreviewBitmap); take PreviewLock().
  void SetPreviewSwitches(int bits);
  int PreviewSwitches() const;

  // Every decoded picture: may replace the frame's data with the processed copy.
  void PreProcess(AVFrame* frame, std::int64_t pts);
  // The picture about to be encoded, at most every 100 ms.
  void CapturePreview(const AVFrame* picture, std::int64_t pts);
  int FrameCounter() const { return frameCounter_; }

 private:
  struct VideoHook;
  // The picture the hook drew (owned here), or null when it is unchanged.
  AVFrame* RunCustomHook(const AVFrame* picture, std::int64_t pts);
  void StopHooking();

  int frameCounter_ = 0;
  bool deinterlace_ = false;
  CustomHookHandler customHook_;
  std::vector<std::unique_ptr<VideoHook>> hooks_;
  bool usingHooks_ = false;
  PictureConverter hookConverter_;
  SwsContextPtr fromRgb_;
  FramePtr hookResult_;
  PreviewBitmapHandler previewHandler_;
  int previewBits_ = 0;  // guarded by PreviewLock()
  std::int64_t lastCapture_ = 0;
  PictureConverter previewConverter_;
  std::unique_ptr<PreviewWindow> previewWindow_;
};

// The line filter of the classic deinterlacer: even lines kept, each odd
// line rebuilt from its neighbours. Planar YUV or gray, both dimensions
// multiples of 4; false otherwise.
bool DeinterlacePicture(AVFrame* dst, const AVFrame* src);

}  // namespace zelvo
