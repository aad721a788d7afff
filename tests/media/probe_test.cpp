// The media probe on clips written by the bound libraries' own encoders.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "media/handles.h"
#include "media/media_probe.h"
#include "media/unicode_io.h"
#include "media/utils.h"
#include "test_media.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

constexpr char kNotLoaded[] = "file not loaded.";
constexpr char kMp4Format[] = "mov,mp4,m4a,3gp,3g2,mj2";
constexpr char kMpeg4Codec[] = "mpeg4(MPEG-4 part 2)";
constexpr char kAacCodec[] = "aac(AAC (Advanced Audio Coding))";

std::int64_t SizeOnDisk(const std::string& path) { return static_cast<std::int64_t>(fs::file_size(fs::u8path(path))); }

// The report's lines; every line must end in CR LF.
std::vector<std::string> ReportLines(MediaProbe& probe) {
  std::string text;
  probe.GetInfoText(text);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t crlf; (crlf = text.find("\r\n", start)) != std::string::npos; start = crlf + 2)
    lines.push_back(text.substr(start, crlf - start));
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  for (const std::string& line : lines) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  return lines;
}

// The lines that start "Stream #<index>" (followed by something other than a digit).
std::vector<std::string> StreamLines(const std::vector<std::string>& lines, int index) {
  const std::string head = "Stream #" + std::to_string(index);
  std::vector<std::string> found;
  for (const std::string& l : lines)
    if (l.rfind(head, 0) == 0 && (l.size() == head.size() || !std::isdigit(static_cast<unsigned char>(l[head.size()]))))
      found.push_back(l);
  return found;
}

size_t IndexOf(const std::vector<std::string>& lines, const std::function<bool(const std::string&)>& match) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (match(lines[i])) return i;
  return std::string::npos;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// The entries of the metadata block whose "Metadata:" line is lines[at]: the
// key is left-aligned in 16 columns after the block's indent plus two.
std::map<std::string, std::string> MetadataBlock(const std::vector<std::string>& lines, size_t at) {
  std::map<std::string, std::string> entries;
  const size_t indent = lines[at].find_first_not_of(' ') + 2;
  const std::string lead(indent, ' ');
  for (size_t i = at + 1; i < lines.size() && StartsWith(lines[i], lead) && lines[i][indent] != ' '; ++i) {
    const std::string& l = lines[i];
    const size_t colon = l.find(": ", indent);
    EXPECT_NE(colon, std::string::npos) << l;
    if (colon == std::string::npos) continue;
    EXPECT_GE(colon, indent + 16) << "key not padded to 16 columns: " << l;
    std::string key = l.substr(indent, colon - indent);
    key.erase(key.find_last_not_of(' ') + 1);
    entries[key] = l.substr(colon + 2);
  }
  EXPECT_FALSE(entries.empty()) << "empty block at: " << lines[at];
  return entries;
}

void ExpectUnknown(const VideoStreamInfo& v) {
  EXPECT_EQ(v.Width, -1);
  EXPECT_EQ(v.Height, -1);
  EXPECT_EQ(v.FrameRateNum, -1);
  EXPECT_EQ(v.FrameRateDen, -1);
  EXPECT_EQ(v.PixelFormat, -1);
  EXPECT_EQ(v.BitRate, -1);
  EXPECT_EQ(v.AspectRatio, -1.0f);
  EXPECT_EQ(v.StartTime, -1);
  EXPECT_EQ(v.StartTimeUS, -1);
  EXPECT_EQ(v.Duration, -1);
  EXPECT_EQ(v.DurationUS, -1);
  EXPECT_EQ(v.CodecName, "");
  EXPECT_EQ(v.Language, "");
}

void ExpectUnknown(const AudioStreamInfo& a) {
  EXPECT_EQ(a.SampleRate, -1);
  EXPECT_EQ(a.Channels, -1);
  EXPECT_EQ(a.SampleFormat, -1);
  EXPECT_EQ(a.BitRate, -1);
  EXPECT_EQ(a.StartTime, -1);
  EXPECT_EQ(a.StartTimeUS, -1);
  EXPECT_EQ(a.Duration, -1);
  EXPECT_EQ(a.DurationUS, -1);
  EXPECT_EQ(a.CodecName, "");
  EXPECT_EQ(a.Language, "");
}

// Records that hold values, so that a query that leaves them alone shows.
VideoStreamInfo StaleVideo() {
  VideoStreamInfo v;
  v.Width = v.Height = 7;
  v.FrameRateNum = v.FrameRateDen = v.PixelFormat = v.BitRate = 7;
  v.AspectRatio = 7.0f;
  v.StartTime = v.StartTimeUS = v.Duration = v.DurationUS = 7;
  v.CodecName = v.Language = "stale";
  return v;
}

AudioStreamInfo StaleAudio() {
  AudioStreamInfo a;
  a.SampleRate = a.Channels = a.SampleFormat = a.BitRate = 7;
  a.StartTime = a.StartTimeUS = a.Duration = a.DurationUS = 7;
  a.CodecName = a.Language = "stale";
  return a;
}

class MediaProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(test::LoadMediaLibrariesForTests()); }
};

// Every query of a probe without a file reports it and answers unknown.
// When given, fail() repeats a failed open before each query, so that each
// query has to set the message itself.
void ExpectNoFile(MediaProbe& probe, const std::function<void()>& fail = {}) {
  EXPECT_EQ(probe.Context(), nullptr);
  EXPECT_FALSE(probe.OwnsContext());
  EXPECT_EQ(probe.FileSize(), -1);
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.VideoStreamCount(), -1);
  EXPECT_EQ(probe.AudioStreamCount(), -1);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  EXPECT_EQ(probe.FirstAudioStream(), -1);
  EXPECT_EQ(probe.PrimaryStream(), -1);
  EXPECT_EQ(probe.ForceFormat(), "");

  const struct {
    const char* name;
    std::function<void()> query;
  } kQueries[] = {
      {"GetFileStreamInfo",
       [&] {
         FileStreamInfo f;
         f.Duration = f.StartTime = 7;
         f.Title = f.Author = f.Comment = "stale";
         f.Year = 7;
         probe.GetFileStreamInfo(f);
         EXPECT_EQ(f.Duration, -1);
         EXPECT_EQ(f.StartTime, -1);
         EXPECT_EQ(f.Year, 0);
         EXPECT_EQ(f.Title + f.Author + f.Comment, "");
       }},
      {"GetVideoStreamInfo(0)",
       [&] {
         VideoStreamInfo v = StaleVideo();
         probe.GetVideoStreamInfo(0, v);
         ExpectUnknown(v);
       }},
      {"GetVideoStreamInfo(-1)",
       [&] {
         VideoStreamInfo v = StaleVideo();
         probe.GetVideoStreamInfo(-1, v);
         ExpectUnknown(v);
       }},
      {"GetAudioStreamInfo(-1)",
       [&] {
         AudioStreamInfo a = StaleAudio();
         probe.GetAudioStreamInfo(-1, a);
         ExpectUnknown(a);
       }},
      {"IsAudioStream", [&] { EXPECT_FALSE(probe.IsAudioStream(0)); }},
      {"IsVideoStream", [&] { EXPECT_FALSE(probe.IsVideoStream(0)); }},
      {"GetFileName", [&] { EXPECT_EQ(probe.GetFileName(), ""); }},
      {"GetFormatName", [&] { EXPECT_EQ(probe.GetFormatName(), ""); }},
      {"GetInfoText",
       [&] {
         std::string t = "stale";
         probe.GetInfoText(t);
         EXPECT_EQ(t, "");
       }},
  };
  for (const auto& q : kQueries) {
    SCOPED_TRACE(q.name);
    if (fail) {
      fail();
      ASSERT_NE(probe.LastErrMsg(), kNotLoaded);
    }
    q.query();
    EXPECT_EQ(probe.LastErrMsg(), kNotLoaded);
  }
}

TEST_F(MediaProbeTest, FailedOpenReportsTheFileAndLeavesNoFile) {
  const std::string missing = test::FixtureDir() + "/no-such-file.mp4";
  const struct {
    const char* label;
    std::string path, forceFormat;
    std::string message;  // the whole message, or only its start when prefixOnly
    bool prefixOnly;
  } kCases[] = {
      {"missing", missing, "", missing + ": No such file or directory", false},
      {"zero bytes", test::ZeroByteFile(), "", test::ZeroByteFile() + ": Invalid data found when processing input",
       false},
      {"random bytes", test::RandomBytesFile(), "",
       test::RandomBytesFile() + ": Invalid data found when processing input", false},
      {"index cut off", test::TruncatedFile(), "", test::TruncatedFile() + ": ", true},
      {"folder", test::FixtureDir(), "", test::FixtureDir() + ": ", true},
      {"unknown forced format", test::VideoAudioMp4(), "nosuchfmt", "Unknown input format: nosuchfmt", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    MediaProbe probe;
    // A file that opened earlier must be forgotten by the failed open.
    ASSERT_TRUE(probe.ProbeFile(test::VideoAudioMp4())) << probe.LastErrMsg();
    auto fail = [&] { EXPECT_FALSE(probe.ProbeFile(c.path, c.forceFormat)); };
    fail();
    if (c.prefixOnly) {
      EXPECT_TRUE(StartsWith(probe.LastErrMsg(), c.message)) << probe.LastErrMsg();
      EXPECT_GT(probe.LastErrMsg().size(), c.message.size()) << "no error text";
    } else {
      EXPECT_EQ(probe.LastErrMsg(), c.message);
    }
    ExpectNoFile(probe, fail);
  }
}

TEST_F(MediaProbeTest, DescribesContainersAndStreams) {
  struct Video {
    const char* codec;
    int width, height;
    float aspect;
    bool streamDuration;  // the container gives the stream's duration
  };
  const struct {
    const char* label;
    std::string path, forceFormat;
    const char* formatName;
    int streams, programs;
    int firstVideo, firstAudio;  // -1: none of that kind
    Video video;
    const char* audioCodec;
  } kCases[] = {
      {"mp4", test::VideoAudioMp4(), "", kMp4Format, 2, 0, 0, 1, {kMpeg4Codec, 320, 240, 4.0f / 3, true}, kAacCodec},
      {"mp3", test::AudioOnlyMp3(), "", "mp3", 1, 0, -1, 0, {}, "mp3float(MP3 (MPEG audio layer 3))"},
      {"wav, forced", test::AudioOnlyWav(), "wav", "wav", 1, 0, -1, 0, {},
       "pcm_s16le(PCM signed 16-bit little-endian)"},
      {"h264", test::H264Clip(), "", kMp4Format, 2, 0, 0, 1,
       {"h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)", 640, 360, 0.0f, true}, kAacCodec},
      {"mpegts", test::TwoProgramTs(), "", "mpegts", 2, 2, 0, 1, {kMpeg4Codec, 320, 240, 4.0f / 3, true}, kAacCodec},
      {"matroska", test::TaggedFile(), "", "matroska,webm", 2, 0, 0, 1, {kMpeg4Codec, 320, 240, 4.0f / 3, false},
       kAacCodec},
      {"non-ASCII name", test::NonAsciiNamedFile(), "", kMp4Format, 2, 0, 0, 1, {kMpeg4Codec, 320, 240, 4.0f / 3, true},
       kAacCodec},
  };
  MediaProbe probe;  // one probe for all: nothing may carry over from the previous file
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(probe.ProbeFile(c.path, c.forceFormat)) << probe.LastErrMsg();
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_EQ(probe.ForceFormat(), c.forceFormat);
    EXPECT_EQ(probe.GetFileName(), c.path);
    EXPECT_EQ(probe.GetFormatName(), c.formatName);
    EXPECT_EQ(probe.FileSize(), SizeOnDisk(c.path));
    EXPECT_EQ(probe.StreamCount(), c.streams);
    EXPECT_EQ(probe.ProgramCount(), c.programs);
    const bool hasVideo = c.firstVideo >= 0;
    EXPECT_EQ(probe.VideoStreamCount(), hasVideo ? 1 : 0);
    EXPECT_EQ(probe.AudioStreamCount(), 1);
    EXPECT_EQ(probe.FirstVideoStream(), c.firstVideo);
    EXPECT_EQ(probe.FirstAudioStream(), c.firstAudio);
    EXPECT_EQ(probe.PrimaryStream(), hasVideo ? c.firstVideo : c.firstAudio);
    EXPECT_TRUE(probe.IsAudioStream(c.firstAudio));
    EXPECT_FALSE(probe.IsVideoStream(c.firstAudio));
    if (hasVideo) {
      EXPECT_TRUE(probe.IsVideoStream(c.firstVideo));
      EXPECT_FALSE(probe.IsAudioStream(c.firstVideo));
    }

    FileStreamInfo file;
    probe.GetFileStreamInfo(file);
    EXPECT_NEAR(file.Duration, 2000000, 60000);
    EXPECT_GT(file.BitRate, 0);

    if (hasVideo) {
      VideoStreamInfo v;
      probe.GetVideoStreamInfo(-1, v);
      EXPECT_EQ(v.CodecName, c.video.codec);
      EXPECT_EQ(v.Width, c.video.width);
      EXPECT_EQ(v.Height, c.video.height);
      EXPECT_EQ(v.FrameRateNum, 25);
      EXPECT_EQ(v.FrameRateDen, 1);
      EXPECT_EQ(v.PixelFormat, AV_PIX_FMT_YUV420P);
      EXPECT_NEAR(v.AspectRatio, c.video.aspect, 1e-4);
      if (c.video.streamDuration) {
        EXPECT_NEAR(v.DurationUS, 2000000, 40000) << "more than a frame off";
        EXPECT_GE(v.StartTimeUS, 0);
      }
      VideoStreamInfo same;
      probe.GetVideoStreamInfo(c.firstVideo, same);
      EXPECT_EQ(same.CodecName, v.CodecName);
      EXPECT_EQ(same.Width, v.Width);
    }
    AudioStreamInfo a;
    probe.GetAudioStreamInfo(-1, a);
    EXPECT_EQ(a.CodecName, c.audioCodec);
    EXPECT_EQ(a.SampleRate, 44100);
    EXPECT_EQ(a.Channels, 2);
    EXPECT_NE(a.SampleFormat, AV_SAMPLE_FMT_NONE);
  }
  probe.CloseFile();
  ExpectNoFile(probe);
}

TEST_F(MediaProbeTest, StreamQueriesRejectWrongStreams) {
  enum class Query { Video, Audio, IsVideo, IsAudio };
  const struct {
    std::string path;
    Query query;
    int index;
    const char* message;
  } kCases[] = {
      {test::AudioOnlyMp3(), Query::Video, -1, "no video stream."},
      {test::AudioOnlyMp3(), Query::Video, 0, "stream #0 is not video stream."},
      {test::VideoAudioMp4(), Query::Audio, 0, "stream #0 is not audio stream."},
      {test::VideoAudioMp4(), Query::Video, 1, "stream #1 is not video stream."},
      {test::VideoAudioMp4(), Query::Video, 2, "stream index #2 is invalid."},
      {test::AudioOnlyWav(), Query::Audio, 5, "stream index #5 is invalid."},
      {test::VideoAudioMp4(), Query::IsVideo, 2, "stream index #2 is invalid."},
      {test::VideoAudioMp4(), Query::IsAudio, -1, "stream index #-1 is invalid."},
  };
  MediaProbe probe;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    ASSERT_TRUE(probe.ProbeFile(c.path)) << probe.LastErrMsg();
    switch (c.query) {
      case Query::Video: {
        VideoStreamInfo v = StaleVideo();
        probe.GetVideoStreamInfo(c.index, v);
        ExpectUnknown(v);
        break;
      }
      case Query::Audio: {
        AudioStreamInfo a = StaleAudio();
        probe.GetAudioStreamInfo(c.index, a);
        ExpectUnknown(a);
        break;
      }
      case Query::IsVideo: EXPECT_FALSE(probe.IsVideoStream(c.index)); break;
      case Query::IsAudio: EXPECT_FALSE(probe.IsAudioStream(c.index)); break;
    }
    EXPECT_EQ(probe.LastErrMsg(), c.message);
    EXPECT_NE(probe.Context(), nullptr) << "a query error must not close the file";
  }
}

TEST_F(MediaProbeTest, FileInfoComesFromContainerTags) {
  MediaProbe probe;
  ASSERT_TRUE(probe.ProbeFile(test::TaggedFile())) << probe.LastErrMsg();
  FileStreamInfo info;
  probe.GetFileStreamInfo(info);
  EXPECT_EQ(info.Title, "Zelvo Tagged Clip");
  EXPECT_EQ(info.Author, "Zelvo Test Artist");
  EXPECT_EQ(info.Comment, "synthetic fixture");
  EXPECT_EQ(info.Year, 2021);
  EXPECT_NEAR(info.Duration, 2000000, 60000);
  EXPECT_EQ(info.StartTime, 0);

  VideoStreamInfo v;
  probe.GetVideoStreamInfo(-1, v);
  EXPECT_EQ(v.Language, "eng");
}

TEST_F(MediaProbeTest, InfoTextStartsWithTheFileSummary) {
  const struct {
    std::string path;
    const char* formatName;
    const char* longName;
    const char* duration;
    bool startTime;       // the container reports one
    const char* bitRate;  // a pattern
  } kCases[] = {
      {test::VideoAudioMp4(), kMp4Format, "QuickTime / MOV", "00:00:02.000", true, R"(\d+ kb/s)"},
      {test::AudioOnlyWav(), "wav", "WAV / WAVE (Waveform Audio)", "00:00:02.000", false, "1411 kb/s"},
      {test::AudioOnlyMp3(), "mp3", "MP2/3 (MPEG audio layer 2/3)", nullptr, true, R"(1[23]\d kb/s)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    MediaProbe probe;
    ASSERT_TRUE(probe.ProbeFile(c.path)) << probe.LastErrMsg();
    const std::vector<std::string> lines = ReportLines(probe);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "File Name: " + c.path);
    EXPECT_EQ(lines[1], std::string("Format Name: ") + c.formatName);
    EXPECT_EQ(lines[2], std::string("Format Long Name: ") + c.longName);
    EXPECT_EQ(lines[3], "File Size: " + FormatFileSize(SizeOnDisk(c.path)));
    if (c.duration) {
      EXPECT_EQ(lines[4], std::string("Duration: ") + c.duration);
    }
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(Duration: 00:00:0[12]\.\d{3})"))) << lines[4];
    size_t next = 5;
    if (c.startTime) {
      EXPECT_TRUE(std::regex_match(lines[next], std::regex(R"(StartTime: \d+\.\d{6})"))) << lines[next];
      ++next;
    }
    EXPECT_TRUE(std::regex_match(lines[next], std::regex(std::string("Bit Rate: ") + c.bitRate))) << lines[next];
  }
}

TEST_F(MediaProbeTest, InfoTextMetadataShowsCommonTagNames) {
  MediaProbe probe;
  ASSERT_TRUE(probe.ProbeFile(test::TaggedFile())) << probe.LastErrMsg();
  const std::vector<std::string> lines = ReportLines(probe);
  const size_t block = IndexOf(lines, [](const std::string& l) { return l == "Metadata:"; });
  ASSERT_NE(block, std::string::npos);
  const auto tags = MetadataBlock(lines, block);
  // Raw ID3 frame names are shown under their common names; Matroska hands
  // the other tags back upper-cased, and the title from its own element.
  const std::map<std::string, std::string> kExpected = {
      {"composer", "Zelvo Composer"}, {"publisher", "Zelvo Publisher"}, {"albumsort", "Zelvo Album Sort"},
      {"title", "Zelvo Tagged Clip"}, {"ARTIST", "Zelvo Test Artist"},  {"COMMENT", "synthetic fixture"},
      {"DATE", "2021-05-06"},
  };
  for (const auto& [key, value] : kExpected) {
    auto it = tags.find(key);
    ASSERT_NE(it, tags.end()) << key;
    EXPECT_EQ(it->second, value) << key;
  }
  for (const char* raw : {"TCOM", "TPUB", "TSOA"}) EXPECT_EQ(tags.count(raw), 0u) << raw;

  const std::vector<std::string> video = StreamLines(lines, 0);
  ASSERT_EQ(video.size(), 1u);
  EXPECT_NE(video[0].find("(eng), 1/1000: Video: mpeg4"), std::string::npos) << video[0];
  const size_t videoAt = IndexOf(lines, [&](const std::string& l) { return l == video[0]; });
  ASSERT_LT(videoAt + 1, lines.size());
  ASSERT_EQ(lines[videoAt + 1], "  Metadata:");
  const auto streamTags = MetadataBlock(lines, videoAt + 1);
  EXPECT_EQ(streamTags.count("title") ? streamTags.at("title") : "", "Main Picture");
  EXPECT_EQ(streamTags.count("language"), 0u);
}

// Checks that hold for the report of every file.
TEST_F(MediaProbeTest, InfoTextListsEveryStreamOnce) {
  const struct {
    std::string path;
    std::vector<std::vector<const char*>> streams;  // parts each stream's line contains
  } kCases[] = {
      {test::VideoAudioMp4(),
       {{", 1/12800: Video: mpeg4 ", ", 320x240", ", 25 fps, 25 tbr, 12800 tbn", ", Duration: 00:00:02.000"},
        {", 1/44100: Audio: aac ", "44100 Hz, stereo", ", Duration: 00:00:02.0"}}},
      {test::H264Clip(), {{"Video: h264 ", ", 640x360", ", 25 fps, 25 tbr, 12800 tbn"}, {"Audio: aac "}}},
      {test::AudioOnlyWav(), {{", 1/44100: Audio: pcm_s16le ", ", Duration: 00:00:02.000"}}},
      {test::AudioOnlyMp3(), {{"Audio: mp3", "44100 Hz, stereo"}}},
      {test::TaggedFile(),
       {{"(eng), 1/1000: Video: mpeg4 ", ", 25 fps, 25 tbr, 1k tbn", ", Duration: N/A"},
        {"(eng), 1/1000: Audio: aac "}}},
      {test::TwoProgramTs(),
       {{"[0x100], 1/90000: Video: mpeg4 ", ", 25 tbr, 90k tbn"}, {"[0x101](eng), 1/90000: Audio: aac "}}},
      {test::NonAsciiNamedFile(), {{"Video: mpeg4 "}, {"Audio: aac "}}},
  };
  const std::regex kStreamLine(R"(Stream #\d+(\[0x[0-9a-f]+\])?(\([a-z]{3}\))?, \d+/\d+: (Video|Audio): )"
                               R"(.*, Duration: (\d\d:\d\d:\d\d\.\d{3}|N/A))");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    MediaProbe probe;
    ASSERT_TRUE(probe.ProbeFile(c.path)) << probe.LastErrMsg();
    const std::vector<std::string> lines = ReportLines(probe);
    ASSERT_EQ(probe.StreamCount(), static_cast<int>(c.streams.size()));
    for (int i = 0; i < probe.StreamCount(); ++i) {
      const std::vector<std::string> found = StreamLines(lines, i);
      ASSERT_EQ(found.size(), 1u) << "stream #" << i;
      EXPECT_TRUE(std::regex_match(found[0], kStreamLine)) << found[0];
      for (const char* part : c.streams[static_cast<size_t>(i)])
        EXPECT_NE(found[0].find(part), std::string::npos) << found[0] << "\n  lacks: " << part;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].find_first_not_of(' ') == std::string::npos) ADD_FAILURE() << "blank line " << i;
      if (lines[i].find("Metadata:") != std::string::npos) {
        EXPECT_EQ(MetadataBlock(lines, i).count("language"), 0u) << lines[i];
      }
    }
  }
}

TEST_F(MediaProbeTest, InfoTextGroupsStreamsByProgram) {
  MediaProbe probe;
  ASSERT_TRUE(probe.ProbeFile(test::TwoProgramTs())) << probe.LastErrMsg();
  ASSERT_EQ(probe.ProgramCount(), 2);
  const std::vector<std::string> lines = ReportLines(probe);
  auto at = [&](const std::string& whole) { return IndexOf(lines, [&](const std::string& l) { return l == whole; }); };
  auto streamAt = [&](int index) {
    const std::vector<std::string> found = StreamLines(lines, index);
    return found.size() == 1 ? at(found[0]) : std::string::npos;
  };
  const size_t program1 = at("Program 1 Zelvo Test@Zelvo Video");
  const size_t program2 = at("Program 2 Zelvo Test@Zelvo Audio");
  const size_t video = streamAt(probe.FirstVideoStream());
  const size_t audio = streamAt(probe.FirstAudioStream());
  ASSERT_NE(program1, std::string::npos);
  ASSERT_NE(program2, std::string::npos);
  ASSERT_NE(video, std::string::npos);
  ASSERT_NE(audio, std::string::npos);
  EXPECT_LT(program1, video);
  EXPECT_LT(video, program2);
  EXPECT_LT(program2, audio);
  // The sound's only tag is its language, shown in the stream line itself.
  EXPECT_NE(lines[audio].find("(eng)"), std::string::npos) << lines[audio];
  if (audio + 1 < lines.size()) {
    EXPECT_NE(lines[audio + 1], "  Metadata:");
  }
}

TEST_F(MediaProbeTest, NonAsciiNameGoesThroughTheProgramsOwnIo) {
  const std::string& path = test::NonAsciiNamedFile();
  ASSERT_TRUE(IsUnicodeName(LibraryFileNameOf(path)));
  MediaProbe probe;
  for (int round = 0; round < 2; ++round) {  // a second open after a close
    SCOPED_TRACE(round);
    ASSERT_TRUE(probe.ProbeFile(path)) << probe.LastErrMsg();
    ASSERT_NE(probe.Context(), nullptr);
    EXPECT_TRUE(probe.Context()->flags & AVFMT_FLAG_CUSTOM_IO);
    EXPECT_EQ(probe.GetFileName(), path);
    EXPECT_EQ(probe.FileSize(), SizeOnDisk(path));
    const std::vector<std::string> lines = ReportLines(probe);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "File Name: " + path);
    // Every packet reads through the same I/O.
    PacketPtr packet(lib::avcodec.av_packet_alloc());
    int packets = 0;
    while (lib::avformat.av_read_frame(probe.Context(), packet.get()) >= 0) {
      ++packets;
      lib::avcodec.av_packet_unref(packet.get());
    }
    EXPECT_GT(packets, 50);
    probe.CloseFile();
  }
}

TEST_F(MediaProbeTest, AttachedContextIsDescribedButNotClosed) {
  for (const std::string& path : {test::VideoAudioMp4(), test::NonAsciiNamedFile()}) {
    SCOPED_TRACE(path);
    OpenedInput input;
    ASSERT_EQ(OpenInputFile(FormatContextPtr(lib::avformat.avformat_alloc_context()), LibraryFileNameOf(path), nullptr,
                            nullptr, input),
              0);
    AVFormatContext* ctx = input.ctx.get();
    ASSERT_GE(lib::avformat.avformat_find_stream_info(ctx, nullptr), 0);
    {
      MediaProbe probe;
      ASSERT_TRUE(probe.ProbeFile(test::AudioOnlyMp3()));  // an owned file, replaced by the attached one
      probe.AttachContext(ctx);
      EXPECT_EQ(probe.Context(), ctx);
      EXPECT_FALSE(probe.OwnsContext());
      EXPECT_EQ(probe.StreamCount(), 2);
      EXPECT_EQ(probe.PrimaryStream(), 0);
      EXPECT_EQ(probe.GetFileName(), path);
      EXPECT_EQ(probe.FileSize(), SizeOnDisk(path));
      VideoStreamInfo v;
      probe.GetVideoStreamInfo(-1, v);
      EXPECT_EQ(v.CodecName, kMpeg4Codec);
      const std::vector<std::string> lines = ReportLines(probe);
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines[0], "File Name: " + path);

      probe.CloseFile();
      ExpectNoFile(probe);
      probe.AttachContext(ctx);  // and this time the probe's destructor lets go
    }
    // Still open: packets read, and closing it is left to its owner.
    PacketPtr packet(lib::avcodec.av_packet_alloc());
    EXPECT_GE(lib::avformat.av_read_frame(ctx, packet.get()), 0);
  }
}

TEST_F(MediaProbeTest, AttachingNothingLeavesNoFile) {
  MediaProbe probe;
  ASSERT_TRUE(probe.ProbeFile(test::VideoAudioMp4())) << probe.LastErrMsg();
  probe.AttachContext(nullptr);
  ExpectNoFile(probe);
}

}  // namespace
}  // namespace zelvo
