// Test media generated at test time with the bound libraries' own encoders.
// Files are written once per test process into the build tree and reused.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zelvo::test {

// Loads the player set of media libraries from the system (once per process);
// fails the calling test when they cannot be loaded.
void LoadMediaLibrariesForTests();

// The folder fixtures are written to (created on demand).
std::string FixtureDir();
// An empty folder of the running test: FixtureDir()/group/<test name>.
std::string FreshTestFolder(const std::string& group);

// Options of one synthetic clip: a moving test pattern and/or a tone.
struct ClipOptions {
  std::string path;            // plain path (may contain characters outside ASCII)
  std::string format;          // muxer short name; empty: guessed from the extension
  double seconds = 2.0;
  // Video: empty codec means no video stream.
  std::string videoCodec = "mpeg4";
  int width = 320, height = 240;
  int fpsNum = 25, fpsDen = 1;
  long videoBitRate = 400000;
  // Audio: empty codec means no audio stream.
  std::string audioCodec = "aac";
  int sampleRate = 44100, channels = 2;
  long audioBitRate = 128000;
  std::vector<std::pair<std::string, std::string>> containerTags;
  std::vector<std::pair<std::string, std::string>> videoTags, audioTags;  // stream metadata
  // MPEG-TS only: put video and audio into two separate programs (ids 1 and 2),
  // each named as a service of serviceProvider.
  bool twoPrograms = false;
  std::string serviceProvider = "Zelvo Test";
  std::string videoServiceName = "Zelvo Video", audioServiceName = "Zelvo Audio";
};

// Writes the clip; false with a message in *error on failure.
bool WriteClip(const ClipOptions& options, std::string* error);

// The standard fixtures; each is generated on first use.
const std::string& VideoAudioMp4();   // 320x240 25 fps MPEG-4 + AAC 44100 Hz stereo, 2 s
const std::string& AudioOnlyMp3();    // MP3 44100 Hz stereo, 2 s
const std::string& AudioOnlyWav();    // PCM s16le 44100 Hz stereo, 2 s
const std::string& H264Clip();        // 640x360 25 fps H.264 + AAC, 2 s (mp4)
const std::string& TwoProgramTs();    // MPEG-TS with video in one program, audio in another
const std::string& TaggedFile();      // Matroska with container and stream tags, ID3-style keys
const std::string& NonAsciiNamedFile();  // mp4 whose file name has characters outside ASCII
const std::string& ZeroByteFile();
const std::string& TruncatedFile();   // the first part of an MP4 whose index is at its end
const std::string& RandomBytesFile();

// What decoding a whole file shows.
struct DecodedFacts {
  int videoFrames = 0;
  int width = 0, height = 0;
  std::int64_t audioSamples = 0;
  int decodeErrors = 0;
  std::vector<std::int16_t> samples;  // interleaved, when the audio is PCM s16
};

// Decodes every stream of a file to its end (decoders drained).
DecodedFacts DecodeFile(const std::string& path);

}  // namespace zelvo::test
