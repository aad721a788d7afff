#include "media/utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <atomic>
#include <cstring>

#include "media/av_entries.h"
#include "media/bitmap.h"
#include "media/dispatcher.h"
#include "media/option_contexts.h"
#include "media/picture_converter.h"
#include "media/engine_log.h"
#include "media/unicode_io.h"
#include "test_media.h"

namespace fs = std::filesystem;
using namespace zelvo;

namespace {

class MediaUtils : public ::testing::Test {
 protected:
  void SetUp() override { test::LoadMediaLibrariesForTests(); }
};

TEST(TimeText, FormatsMicroseconds) {
  const struct { std::int64_t us; const char* text; } kCases[] = {
      {0, "00:00:00.000"},
      {3723004567, "01:02:03.004"},
      {360000000000, "100:00:00.000"},
      {999, "00:00:00.000"},
      {59999999, "00:00:59.999"},
      {kNoPts, "N/A"},
  };
  for (const auto& c : kCases) EXPECT_EQ(FormatTimeUS(c.us), c.text) << c.us;
}

TEST(SizeText, PicksTheUnitAboveEachBoundary) {
  const struct { std::int64_t size; const char* text; } kCases[] = {
      {-1, "-1 Byte"},        {0, "0 Byte"},           {1024, "1024 Byte"},
      {1025, "1.00 KB"},      {1048576, "1024.00 KB"}, {1048577, "1.00 MB"},
      {1073741824, "1024.00 MB"}, {1073741825, "1.00 GB"}, {5LL << 40, "5120.00 GB"},
  };
  for (const auto& c : kCases) EXPECT_EQ(FormatFileSize(c.size), c.text) << c.size;
}

TEST(ErrorTexts, KeyedOnThePresentCodesByMeaning) {
  const struct { int code; const char* text; } kCases[] = {
      {AVERROR(ENOENT), "No such file or directory"},
      {AVERROR(EIO), "I/O error"},
      {AVERROR(ENOMEM), "Not enough memory"},
      {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
      {AVERROR_EOF, "End of file"},
      {AVERROR(EDOM), "Number syntax expected in filename"},
      {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
      {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
      {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
      {AVERROR(ENOSYS), "Error number -38 occurred"},
      {-10043, "Error number -10043 occurred"},
  };
  for (const auto& c : kCases) EXPECT_EQ(ErrorText("a.avi", c.code), std::string("a.avi: ") + c.text) << c.code;
}

TEST(MediaTypeNames, CoverEveryKind) {
  const char* kNames[] = {"Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown"};
  for (int t = 0; t < 6; ++t) EXPECT_EQ(MediaTypeName(t), kNames[t]);
  EXPECT_EQ(MediaTypeName(-1), "Unknown");
}

TEST(SplitFirstText, HeadAndRest) {
  const struct { const char* text; const char* sep; bool remove; const char* head; const char* rest; } kCases[] = {
      {"a=b=c", "=", true, "a", "b=c"},
      {"a=b=c", "=", false, "a", "a=b=c"},
      {"abc", "=", true, "abc", ""},
      {"abc", "=", false, "abc", "abc"},
      {"=x", "=", true, "", "x"},
      {"k<CRLF>v", "<CRLF>", true, "k", "v"},
      {"", "=", true, "", ""},
  };
  for (const auto& c : kCases) {
    std::string text = c.text;
    EXPECT_EQ(SplitFirst(text, c.sep, c.remove), c.head) << c.text;
    EXPECT_EQ(text, c.rest) << c.text;
  }
}

TEST_F(MediaUtils, LibraryNamesOfPaths) {
  const struct { const char* name; bool unicode; } kCases[] = {
      {"/home/u/video.mp4", false},
      {"relative/clip 1.avi", false},
      {"http://example.com/a.flv", false},
      {"pipe:0", false},
      {"udp://239.0.0.1:1234", false},
      {"rtmp://host/app", false},  // a protocol the library knows
      {"/home/u/vidéo.mp4", true},
      {"/home/u/日本.mkv", true},
      {"/tmp/a:b.mp4", true},  // a colon the library's name parser would misread
      {"notaprotocol:x.mp4", true},
  };
  for (const auto& c : kCases) {
    const std::string lib = LibraryFileNameOf(c.name);
    EXPECT_EQ(IsUnicodeName(lib), c.unicode) << c.name;
    EXPECT_EQ(lib, c.unicode ? std::string("unicode:utf8:") + c.name : std::string(c.name));
    EXPECT_EQ(DisplayFileName(lib), c.name);
  }
  EXPECT_FALSE(IsUnicodeName("unicode:utf8:"));  // needs at least one character of name
}

TEST_F(MediaUtils, FileHelpers) {
  const fs::path dir = fs::path(test::FixtureDir()) / "utils";
  fs::create_directories(dir);
  const fs::path file = dir / "data.bin";
  { std::ofstream(file, std::ios::binary) << "hello"; }
  EXPECT_EQ(FileSize64(file.string()), 5);
  EXPECT_EQ(FileSize64(dir.string()), -1);
  EXPECT_EQ(FileSize64((dir / "missing").string()), -1);

  AvBuffer buffer;
  std::int64_t size = 0;
  ASSERT_EQ(ReadWholeFile(file.string(), buffer, size), 0);
  EXPECT_EQ(size, 6);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer.get()), "hello");
  EXPECT_EQ(ReadWholeFile((dir / "missing").string(), buffer, size), -1);
}

TEST_F(MediaUtils, MetadataLookupIgnoresCase) {
  AVDictionary* raw = nullptr;
  lib::avutil.av_dict_set(&raw, "Title", "A film", 0);
  DictionaryPtr dict(raw);
  EXPECT_EQ(MetadataValue(dict.get(), "title", "-"), "A film");
  EXPECT_EQ(MetadataValue(dict.get(), "album", "-"), "-");
  EXPECT_EQ(MetadataValue(nullptr, "title", "none"), "none");
}

TEST(LocalTime, UsesTheStandardOffsetWithoutDaylightSaving) {
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  const struct { const char* tz; std::int64_t seconds; const char* text; } kCases[] = {
      {"UTC0", 1276603200, "2010-06-15 12:00:00"},
      {"EST5EDT", 1276603200, "2010-06-15 07:00:00"},  // summer, still the standard offset
      {"EST5EDT", 1263556800, "2010-01-15 07:00:00"},
      {"JST-9", 0, "1970-01-01 09:00:00"},
  };
  for (const auto& c : kCases) {
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(FormatDateTime(UnixToLocalDateTime(c.seconds)), c.text) << c.tz;
  }
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0) - static_cast<double>(-timezone) / 86400.0, 25569.0);
}

TEST_F(MediaUtils, DoubleToRationalAndClip) {
  const struct { double d; int max; int num; int den; } kCases[] = {
      {29.97, 100000, 2997, 100}, {25.0, 1000, 25, 1}, {0.5, 10, 1, 2}, {23.976, 100000, 2997, 125}, {23.976, 1001, 983, 41}, {0.0, 100, 0, 1},
  };
  for (const auto& c : kCases) {
    Rational r = DoubleToRational(c.d, c.max);
    EXPECT_EQ(r.num, c.num) << c.d;
    EXPECT_EQ(r.den, c.den) << c.d;
  }
  EXPECT_EQ(Clip(5, 0, 3), 3);
  EXPECT_EQ(Clip(-5, 0, 3), 0);
  EXPECT_EQ(Clip(2, 0, 3), 2);
}

TEST_F(MediaUtils, UnicodeFileReadsSeeksAndReportsItsSize) {
  const fs::path dir = fs::path(test::FixtureDir()) / "utils";
  fs::create_directories(dir);
  const std::string path = (dir / "größe-ü.bin").string();
  const std::string name = LibraryFileNameOf(path);
  ASSERT_TRUE(IsUnicodeName(name));
  int error = 0;
  {
    auto out = UnicodeFile::Open(name, UnicodeFile::Mode::Write, error);
    ASSERT_TRUE(out) << error;
    std::string data(100000, 'x');
    data[99999] = 'z';
    lib::avformat.avio_write(out->Context(), reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  }
  EXPECT_EQ(FileSize64(path), 100000);
  auto in = UnicodeFile::Open(name, UnicodeFile::Mode::Read, error);
  ASSERT_TRUE(in);
  EXPECT_EQ(lib::avformat.avio_size(in->Context()), 100000);
  EXPECT_EQ(lib::avformat.avio_seek(in->Context(), 99999, SEEK_SET), 99999);
  unsigned char byte = 0;
  AVIOContext* pb = in->Context();
  ASSERT_EQ(pb->read_packet(pb->opaque, &byte, 1), 1);
  EXPECT_EQ(byte, 'z');
  EXPECT_EQ(pb->read_packet(pb->opaque, &byte, 1), AVERROR_EOF);

  EXPECT_FALSE(UnicodeFile::Open(LibraryFileNameOf((dir / "nicht-da-ü").string()), UnicodeFile::Mode::Read, error));
  EXPECT_EQ(error, AVERROR(ENOENT));
  EXPECT_FALSE(UnicodeFile::Open(LibraryFileNameOf(dir.string() + "/ü/.."), UnicodeFile::Mode::Read, error));
}

TEST_F(MediaUtils, PictureToBitmapCopiesOrConverts) {
  PictureConverter conv;
  // A 4x2 BGR24 picture whose rows already have the bitmap's layout: copied.
  std::uint8_t rows[2][12];
  for (int i = 0; i < 24; ++i) rows[i / 12][i % 12] = static_cast<std::uint8_t>(i * 10);
  const std::uint8_t* planes[4] = {rows[0], nullptr, nullptr, nullptr};
  const int strides[4] = {12, 0, 0, 0};
  ASSERT_TRUE(PictureToBitmap(conv, planes, strides, AV_PIX_FMT_BGR24, 2, 4));
  EXPECT_FALSE(conv.ScaleContext);
  ASSERT_EQ(conv.Bitmap->Width(), 4);
  EXPECT_EQ(std::memcmp(conv.Bitmap->ScanLine(1), rows[1], 12), 0);

  // Odd width: always converted, even from the bitmap's own format.
  std::uint8_t odd[2][16] = {};
  for (int x = 0; x < 5; ++x) { odd[0][x * 3] = 200; odd[0][x * 3 + 1] = 100; odd[0][x * 3 + 2] = 50; }
  const std::uint8_t* oddPlanes[4] = {odd[0], nullptr, nullptr, nullptr};
  const int oddStrides[4] = {16, 0, 0, 0};
  ASSERT_TRUE(PictureToBitmap(conv, oddPlanes, oddStrides, AV_PIX_FMT_BGR24, 2, 5));
  EXPECT_TRUE(conv.ScaleContext);
  EXPECT_EQ(conv.Bitmap->Stride(), 16);
  EXPECT_NEAR(conv.Bitmap->ScanLine(0)[12], 200, 2);
  EXPECT_NEAR(conv.Bitmap->ScanLine(0)[13], 100, 2);

  // A grey YUV picture becomes grey pixels.
  std::vector<std::uint8_t> y(16 * 8, 126), uv(8 * 4, 128);
  const std::uint8_t* yuv[4] = {y.data(), uv.data(), uv.data(), nullptr};
  const int yuvStrides[4] = {16, 8, 8, 0};
  ASSERT_TRUE(PictureToBitmap(conv, yuv, yuvStrides, AV_PIX_FMT_YUV420P, 8, 16));
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(conv.Bitmap->ScanLine(4)[20 + c], 128, 4);

  ConverterReset(conv);
  EXPECT_FALSE(conv.Bitmap);
  EXPECT_FALSE(conv.ScaleContext);
  EXPECT_EQ(conv.Picture[0], nullptr);
}

TEST_F(MediaUtils, OptionHoldersRememberAcceptedNames) {
  OptionContexts o;
  AllocOptionContexts(o, SWS_BICUBIC);
  std::vector<std::string> logged;
  EngineLog& log = EngineLog::Logger();
  log.SetTriggerEventInMainThread(false);
  log.SetOnLog([&](const void*, std::uint32_t, LogLevel level, const std::string& text) {
    if (level == LogLevel::llError) logged.push_back(text);
  });

  EXPECT_TRUE(OptDefault(o, "b", "500k"));         // video and audio codec option
  EXPECT_TRUE(OptDefault(o, " g ", " 12 "));       // names and values are trimmed
  EXPECT_TRUE(OptDefault(o, "probesize", "65536"));  // format option
  EXPECT_TRUE(OptDefault(o, "sws_flags", "bilinear"));  // scaler option
  EXPECT_TRUE(OptDefault(o, "vtrellis", "1"));     // prefixed: trellis on the video holder
  EXPECT_FALSE(OptDefault(o, "nosuchoption", "1"));
  EXPECT_FALSE(OptDefault(o, "b", ""));
  EXPECT_TRUE(logged.empty());
  EXPECT_FALSE(OptDefault(o, "g", "many"));
  EXPECT_EQ(std::count(logged.begin(), logged.end(), "Invalid value \"many\" for option \"g\""), 1);
  log.SetOnLog(nullptr);
  log.SetTriggerEventInMainThread(true);

  EXPECT_EQ(o.OptNames, (std::vector<std::string>{"b", "g", "probesize", "sws_flags", "trellis"}));
  EXPECT_EQ(o.CodecOpts[0]->bit_rate, 500000);
  EXPECT_EQ(o.CodecOpts[1]->bit_rate, 500000);
  EXPECT_EQ(o.CodecOpts[0]->gop_size, 12);
  EXPECT_EQ(o.FormatOpts->probesize, 65536);
  EXPECT_EQ(o.CodecOpts[0]->trellis, 1);

  CodecContextPtr target(lib::avcodec.avcodec_alloc_context3(nullptr));
  SetContextOpts(o, target.get(), o.CodecOpts[0].get(), AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(target->bit_rate, 500000);
  EXPECT_EQ(target->gop_size, 12);
  FreeOptionContexts(o);
  EXPECT_TRUE(o.OptNames.empty());
  EXPECT_FALSE(o.CodecOpts[0]);
}

TEST(QueueDispatcherTest, RunsWorkerCallsInTheMainThreadAndPassesErrorsBack) {
  QueueDispatcher d;
  const auto mainThread = std::this_thread::get_id();
  bool direct = false;
  d.RunInMainThread([&] { direct = std::this_thread::get_id() == mainThread; });
  EXPECT_TRUE(direct);

  std::thread::id ranIn;
  bool threw = false;
  std::atomic<int> finished{0};
  std::thread worker([&] {
    d.RunInMainThread([&] { ranIn = std::this_thread::get_id(); });
    try {
      d.RunInMainThread([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      threw = true;
    }
    finished = 1;
  });
  while (!finished) d.WaitAndProcess(std::chrono::milliseconds(50));
  worker.join();
  EXPECT_EQ(ranIn, mainThread);
  EXPECT_TRUE(threw);
}

}  // namespace
