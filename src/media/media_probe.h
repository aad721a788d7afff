// The media probe: opens a file (or describes a container someone else
// opened), and answers questions about it: size, duration, tags, per-stream
// codec and picture or sound parameters, and a multi-line text report.
//
// Threads: a probe is used from one thread at a time. Stream analysis and the
// closing of its codec context take CodecLock().
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "media/handles.h"
#include "media/picture_converter.h"
#include "media/unicode_io.h"

namespace zelvo {

// Raised when the media libraries a probe needs are not loaded.
class MediaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FileStreamInfo {
  std::int64_t StartTime = -1;  // microseconds
  std::int64_t Duration = -1;   // microseconds
  std::int32_t BitRate = 0;     // bit/s
  std::int64_t TimeStamp = 0;   // seconds since 1970-01-01 UTC
  std::int32_t Year = 0;
  std::int32_t Track = 0;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct VideoStreamInfo {
  std::string Language;
  std::string CodecName;
  std::int64_t StartTime = -1;    // stream time-base units, as the stream holds it
  std::int64_t StartTimeUS = -1;
  std::int64_t Duration = -1;     // stream time-base units, as the stream holds it
  std::int64_t DurationUS = -1;
  std::int32_t BitRate = -1;
  std::int32_t Height = -1;
  std::int32_t Width = -1;
  float AspectRatio = -1.0f;      // display aspect; 0 when the sample aspect is unset
  std::int32_t PixelFormat = -1;
  std::int32_t FrameRateNum = -1;
  std::int32_t FrameRateDen = -1;
};

struct AudioStreamInfo {
  std::string Language;
  std::string CodecName;
  std::int64_t StartTime = -1;
  std::int64_t StartTimeUS = -1;
  std::int64_t Duration = -1;
  std::int64_t DurationUS = -1;
  std::int32_t BitRate = -1;
  std::int32_t Channels = -1;
  std::int32_t SampleRate = -1;
  std::int32_t SampleFormat = -1;
};

class MediaProbe {
 public:
  MediaProbe() = default;
  ~MediaProbe();
  MediaProbe(const MediaProbe&) = delete;
  MediaProbe& operator=(const MediaProbe&) = delete;

  // Opens and analyses a file. Raises MediaError when the libraries are not
  // loaded; otherwise false with LastErrMsg set on any failure.
  bool ProbeFile(const std::string& fileName, const std::string& forceFormat = "");
  // Closes an owned file, forgets an attached one, resets every value.
  void CloseFile();
  // Describes a container opened by someone else (never closed by the probe);
  // null leaves the probe without a file.
  void AttachContext(AVFormatContext* context);

  // Queries; without a file they report "file not loaded." and return the
  // records' unknown values. A negative index means the first stream of the kind.
  void GetFileStreamInfo(FileStreamInfo& info);
  void GetVideoStreamInfo(int streamIndex, VideoStreamInfo& info);
  void GetAudioStreamInfo(int streamIndex, AudioStreamInfo& info);
  bool IsAudioStream(int streamIndex);
  bool IsVideoStream(int streamIndex);
  std::string GetFileName();
  std::string GetFormatName();
  // The text report, CR LF after every line.
  void GetInfoText(std::string& text);

  AVFormatContext* Context() const { return ctx_; }
  bool OwnsContext() const { return ownsContext_; }
  const std::string& LastErrMsg() const { return lastErrMsg_; }
  const std::string& ForceFormat() const { return forceFormat_; }
  std::int64_t FileSize() const { return fileSize_; }
  int StreamCount() const { return streamCount_; }
  int ProgramCount() const { return programCount_; }
  int AudioStreamCount() const { return audioCount_; }
  int VideoStreamCount() const { return videoCount_; }
  int SubtitleStreamCount() const { return subtitleCount_; }
  int FirstAudioStream() const { return firstAudio_; }
  int FirstVideoStream() const { return firstVideo_; }
  int FirstSubtitleStream() const { return firstSubtitle_; }
  int PrimaryStream() const { return primaryStream_; }
  std::int64_t PrimaryStartTime() const { return primaryStartTime_; }

 private:
  static void CheckLibraries();
  void ComputeDerived();
  void ResetValues();
  bool RequireFile();
  void Error(const std::string& message);
  AVStream* ResolveStream(int& index, AVMediaType type, const char* noneText, const char* notText);
  void StreamTimes(AVStream* st, std::int64_t& start, std::int64_t& startUS, std::int64_t& duration,
                   std::int64_t& durationUS);
  std::string StreamLine(int index);

  OpenedInput opened_;                 // the owned container and its I/O
  AVFormatContext* ctx_ = nullptr;     // the described container (owned or attached)
  bool ownsContext_ = false;
  std::string lastErrMsg_;
  std::string forceFormat_;
  std::int64_t fileSize_ = -1;
  int streamCount_ = -1, programCount_ = -1;
  int audioCount_ = -1, videoCount_ = -1, subtitleCount_ = -1;
  int firstAudio_ = -1, firstVideo_ = -1, firstSubtitle_ = -1;
  int primaryStream_ = -1;
  std::int64_t primaryStartTime_ = 0;
  // Frame-decoding state, released on close.
  CodecContextPtr codec_;
  PictureConverter converter_;
};

// The one-line description of a stream's codec: the decoder's short name with
// its long name in brackets, or what is known of the codec id and tag.
std::string CodecDescription(const AVCodecParameters* par);

}  // namespace zelvo
