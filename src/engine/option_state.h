// The option state of one engine instance: what the named options set, with
// the defaults a new or reset engine starts from. Times are microseconds.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zelvo {

constexpr int kMaxStreams = 20;

enum MediaKind { kVideo = 0, kAudio = 1, kData = 2, kSubtitle = 3 };

struct StreamMap {
  int file = 0, stream = 0, syncFile = 0, syncStream = 0;
};
struct MetadataMap {
  int outFile = 0, inFile = 0;
};
struct Rate {
  int num = 0, den = 0;
};

struct OptionState {
  // Next input or output.
  std::string forcedFormat;             // "f"
  bool pgmyuvCompat = false;
  int frameWidth = 0, frameHeight = 0;  // "s"; 0: from the input
  double frameAspectRatio = 0;          // "aspect"
  Rate frameRate;                       // "r"; 0/0: from the input
  int pixelFormat = -1;                 // "pix_fmt"
  int sampleFormat = -1;                // "sample_fmt"
  int cropTop = 0, cropBottom = 0, cropLeft = 0, cropRight = 0;
  int maxFrames[4] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX};  // by MediaKind
  double videoQScale = 0;               // "qscale"; 0: not fixed
  std::vector<std::uint16_t> intraMatrix, interMatrix;
  std::string rcOverride;
  int videoDiscard = 0;                 // "vdt"
  std::string videoCodecName, audioCodecName, subtitleCodecName;
  bool videoStreamCopy = false, audioStreamCopy = false, subtitleStreamCopy = false;
  std::uint32_t videoTag = 0, audioTag = 0, subtitleTag = 0;
  std::string videoLanguage, audioLanguage, subtitleLanguage;
  bool sameQuality = false;
  bool deinterlace = false;
  int topFieldFirst = -1;
  int meThreshold = 0;
  int intraDcPrecision = 8;
  bool loopInput = false;
  int loopOutput = -1;
  bool qpHistogram = false;
  std::string videoFilters;             // "vf", "vfilters"
  bool intraOnly = false;
  int audioSampleRate = 44100;
  int audioChannels = 2;
  std::int64_t audioChannelLayout = 0;
  double audioQScale = -99999;
  bool audioDisable = false, videoDisable = false, subtitleDisable = false;
  int audioVolume = 256;
  double muxPreload = 0.5, muxMaxDelay = 0.7;  // seconds
  std::int64_t recordingTime = INT64_MAX;
  std::int64_t startTime = 0;
  std::int64_t recordingTimestamp = 0;  // seconds since 1970
  std::int64_t inputTsOffset = 0;
  double tsScale[kMaxStreams] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  std::vector<std::pair<std::string, std::string>> metadata;
  bool packetDump = false, hexDump = false;
  bool psnr = false;
  int pass = 0;
  std::string passLogFile;
  int videoSyncMethod = -1;
  int audioSyncMethod = 0;
  double audioDriftThreshold = 0.1;
  bool copyTimestamps = false;
  bool shortest = false;
  int videoGlobalHeader = 0;
  std::string vstatsFileName;
  int programId = 0;
  int copyInitialNonKeyframes = 0;
  bool readAtNativeRate = false;
  int videoChannel = 0;
  std::string videoStandard;
  bool exitOnError = false;
  int verbose = 1;
  int decodingThreads = 1;
  std::int64_t limitFileSize = 0;
  bool forceFps = false;
  double dtsDeltaThreshold = 10.0;
  bool inputSync = false;               // "isync"
  int swsFlags = 4;                     // bicubic
  std::vector<std::string> bitstreamFilters[4];  // "name" or "name=args", by MediaKind
  std::vector<StreamMap> streamMaps;
  std::vector<MetadataMap> metadataMaps;
  int streamIds[kMaxStreams] = {};
  std::vector<std::string> videoHooks;  // "vhook" command lines
  int videoBufferSize = 262144;
  std::int64_t totalDuration = -1;      // for progress
};

}  // namespace zelvo
