#include "component/converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <filesystem>
#include <mutex>
#include <thread>

#include "media/av_entries.h"
#include "media/dispatcher.h"
#include "media/utils.h"
#include "test_media.h"

namespace fs = std::filesystem;
using namespace zelvo;

namespace {

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::LoadMediaLibrariesForTests();
    outDir = test::FreshTestFolder("component");
  }
  std::string Out(const std::string& name) const { return (outDir / name).string(); }
  // A task from the 2 s clip to a small AVI.
  int AddSmallTask(Converter& c, const std::string& name, OutputOptions o = {}) {
    int index = c.AddTask(test::VideoAudioMp4(), nullptr);
    EXPECT_GE(index, 0) << c.LastErrMsg();
    if (o.FrameSize.empty()) o.FrameSize = "160x120";
    if (o.VideoCodec.empty()) o.VideoCodec = "mpeg4";
    EXPECT_TRUE(c.SetOutputFile(index, Out(name), &o)) << c.LastErrMsg();
    return index;
  }
  // Pumps main-thread calls until the condition holds.
  static void PumpUntil(const std::function<bool()>& done) {
    while (!done()) {
      ProcessPendingMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  fs::path outDir;
};

struct TerminateLog {
  std::mutex lock;
  std::vector<TerminateInfo> events;
  void Add(const TerminateInfo& i) {
    std::lock_guard<std::mutex> g(lock);
    events.push_back(i);
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(lock);
    return events.size();
  }
};

TEST_F(ConverterTest, ThreadedRunStartsSuccessorsAndEndsWithTheRunEvent) {
  Converter c;
  TerminateLog log;
  c.SetOnTerminate([&](Converter&, const TerminateInfo& i) { log.Add(i); });
  c.SetOnProgress([&](Converter&, ProgressInfo*) {});
  for (int i = 0; i < 5; ++i) AddSmallTask(c, "t" + std::to_string(i) + ".avi");
  c.StartTask(2);
  EXPECT_THROW(c.AddTask(test::VideoAudioMp4(), nullptr), std::runtime_error);
  PumpUntil([&] { return log.Count() == 6; });
  ASSERT_EQ(log.events.size(), 6u);
  std::vector<int> seen;
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(log.events[i].Finished) << log.events[i].ExceptionMsg;
    EXPECT_FALSE(log.events[i].Exception) << log.events[i].ExceptionMsg;
    seen.push_back(log.events[i].TaskIndex);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(log.events[5].TaskIndex, -1);
  EXPECT_TRUE(log.events[5].Finished);
  EXPECT_TRUE(c.AllDone());
  for (int i = 0; i < 5; ++i) EXPECT_GT(FileSize64(Out("t" + std::to_string(i) + ".avi")), 0);
  try {
    c.AddTask(test::VideoAudioMp4(), nullptr);  // still working until the list is cleared
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
  }
  c.ClearTasks();
  EXPECT_EQ(c.TaskCount(), 0);
  EXPECT_GE(c.AddTask(test::VideoAudioMp4(), nullptr), 0);
}

TEST_F(ConverterTest, UnthreadedRunGoesInOrderInTheCallingThread) {
  Converter c;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  c.SetOnTerminate([&](Converter&, const TerminateInfo& i) {
    order.push_back(i.TaskIndex);
    threads.push_back(std::this_thread::get_id());
  });
  for (int i = 0; i < 3; ++i) AddSmallTask(c, "u" + std::to_string(i) + ".avi");
  c.StartTask(0);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, -1}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_TRUE(c.AllDone());
}

TEST_F(ConverterTest, GuardsAndTheTaskWithoutOutput) {
  Converter c;
  TerminateLog log;
  c.SetOnTerminate([&](Converter&, const TerminateInfo& i) { log.Add(i); });
  ASSERT_GE(c.AddTask(test::VideoAudioMp4(), nullptr), 0);
  c.StartTask(0);
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_TRUE(log.events[0].Exception);
  EXPECT_FALSE(log.events[0].Finished);
  EXPECT_EQ(log.events[0].ExceptionMsg, "At least one output file must be specified");
  const struct { const char* name; std::function<void()> call; } kGuarded[] = {
      {"Cannot StartTask while working.", [&] { c.StartTask(0); }},
      {"Cannot SetOutputFile while working.", [&] { c.SetOutputFile(0, Out("x.avi"), nullptr); }},
      {"Cannot RemoveTask while working.", [&] { c.RemoveTask(0); }},
  };
  for (const auto& g : kGuarded) {
    try {
      g.call();
      ADD_FAILURE() << g.name;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), g.name);
    }
  }
  c.ClearTasks();
  // A task that never runs leaves no empty output behind.
  AddSmallTask(c, "never-run.avi");
  EXPECT_TRUE(fs::exists(Out("never-run.avi")));
  c.RemoveTask(0);
  EXPECT_FALSE(fs::exists(Out("never-run.avi")));
  EXPECT_EQ(c.AddTask(Out("missing.avi"), nullptr), -1);
  EXPECT_EQ(c.LastErrMsg(), Out("missing.avi") + ": No such file or directory");
  c.SetProgressInterval(50);
  EXPECT_EQ(c.ProgressInterval(), 100);
  c.SetProgressInterval(250);
  EXPECT_EQ(c.ProgressInterval(), 250);
}

TEST_F(ConverterTest, StopDuringARunAndBeforeTasksStarted) {
  Converter c;
  TerminateLog log;
  c.SetOnTerminate([&](Converter&, const TerminateInfo& i) { log.Add(i); });
  std::atomic<bool> progressed{false};
  c.SetOnProgress([&](Converter&, ProgressInfo* p) {
    if (p->FrameNumber > 0) progressed = true;
  });
  c.SetProgressInterval(100);
  OutputOptions slow;
  slow.VideoCodec = "libx264";
  slow.VideoPreset = "libx264-slow";
  slow.FrameSize = "640x480";
  for (int i = 0; i < 3; ++i) AddSmallTask(c, "s" + std::to_string(i) + ".mp4", slow);
  c.StartTask(1);
  PumpUntil([&] { return progressed.load(); });
  c.Pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  c.Stop(true);  // resumes the paused worker so that it sees the stop
  PumpUntil([&] { return log.Count() == 4; });
  ASSERT_EQ(log.events.size(), 4u);
  EXPECT_EQ(log.events[0].TaskIndex, 0);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(log.events[static_cast<size_t>(i)].Finished) << i;
  EXPECT_EQ(log.events[3].TaskIndex, -1);
  EXPECT_GT(FileSize64(Out("s0.mp4")), 0);  // what was converted is a finished file
  EXPECT_EQ(test::DecodeFile(Out("s0.mp4")).decodeErrors, 0);
  EXPECT_FALSE(fs::exists(Out("s2.mp4")));  // never started: its empty output is gone
}

TEST_F(ConverterTest, DestroyingDuringARunStopsAndJoins) {
  std::atomic<int> events{0};
  {
    Converter c;
    c.SetOnTerminate([&](Converter&, const TerminateInfo&) { ++events; });
    c.SetOnProgress([&](Converter&, ProgressInfo*) { ++events; });
    OutputOptions slow;
    slow.VideoCodec = "libx264";
    slow.VideoPreset = "libx264-slow";
    slow.FrameSize = "640x480";
    AddSmallTask(c, "d0.mp4", slow);
    AddSmallTask(c, "d1.mp4", slow);
    c.StartTask(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // Both workers were stopped and joined; every event came before the end.
  const int atDestruction = events.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ProcessPendingMessages();
  EXPECT_EQ(events.load(), atDestruction);
  EXPECT_GE(atDestruction, 3);  // two tasks and the end of the run
  EXPECT_GT(FileSize64(Out("d0.mp4")), 0);
}

TEST_F(ConverterTest, OptionTextAndRecordFields) {
  Converter c;
  const int index = c.AddTask(test::VideoAudioMp4(), nullptr);
  ASSERT_GE(index, 0);
  OutputOptions o;
  o.ExtOptions = "  VCODEC=mpeg4<CRLF>vb=300000\r\n s=640x480";
  o.AudioVolume = 0;
  o.Info.Timestamp = 0;
  o.Info.Title = "Test";
  ASSERT_TRUE(c.SetOutputFile(index, Out("text.avi"), &o)) << c.LastErrMsg();
  const EngineOutput& out = c.Task(index)->Output(0);
  ASSERT_EQ(out.streams.size(), 2u);
  EXPECT_STREQ(out.streams[0].encoder->name, "mpeg4");
  EXPECT_EQ(c.Task(index)->GenericOptions().CodecOpts[kVideo]->bit_rate, 300000);
  EXPECT_EQ(c.Task(index)->Options().audioVolume, 0);  // 0 is passed: it mutes
  EXPECT_NE(MetadataValue(out.ctx->metadata, "creation_time", ""), "");
  EXPECT_EQ(MetadataValue(out.ctx->metadata, "title", ""), "Test");
  // " s" reached the dispatcher with its blank: not the frame size.
  EXPECT_EQ(out.streams[0].encoderContext->width, 320);

  const int second = c.AddTask(test::VideoAudioMp4(), nullptr);
  OutputOptions plain;
  plain.AudioVolume = -1;
  plain.Info.Timestamp = -1;
  ASSERT_TRUE(c.SetOutputFile(second, Out("plain.avi"), &plain)) << c.LastErrMsg();
  EXPECT_EQ(c.Task(second)->Options().audioVolume, 256);
  EXPECT_EQ(MetadataValue(c.Task(second)->Output(0).ctx->metadata, "creation_time", ""), "");

  for (int i = 1; i < kMaxTaskFiles; ++i) ASSERT_TRUE(c.SetOutputFile(second, Out("more" + std::to_string(i) + ".avi"), nullptr)) << i;
  EXPECT_FALSE(c.SetOutputFile(second, Out("too-many.avi"), nullptr));
  EXPECT_EQ(c.LastErrMsg(), "max output files 20 reached");
  EXPECT_EQ(c.Task(second)->OutputCount(), 20);
}

// Average of the first plane of the first decoded picture.
double FirstPictureLuma(const std::string& path) {
  OpenedInput in;
  FormatContextPtr ctx(lib::avformat.avformat_alloc_context());
  if (OpenInputFile(std::move(ctx), LibraryFileNameOf(path), nullptr, nullptr, in) < 0) return -1;
  lib::avformat.avformat_find_stream_info(in.ctx.get(), nullptr);
  const int v = lib::avformat.av_find_best_stream(in.ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (v < 0) return -1;
  const AVCodec* codec = lib::avcodec.avcodec_find_decoder(in.ctx->streams[v]->codecpar->codec_id);
  CodecContextPtr dec(lib::avcodec.avcodec_alloc_context3(codec));
  lib::avcodec.avcodec_parameters_to_context(dec.get(), in.ctx->streams[v]->codecpar);
  lib::avcodec.avcodec_open2(dec.get(), codec, nullptr);
  PacketPtr pkt(lib::avcodec.av_packet_alloc());
  FramePtr frame(lib::avutil.av_frame_alloc());
  while (lib::avformat.av_read_frame(in.ctx.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == v) {
      lib::avcodec.avcodec_send_packet(dec.get(), pkt.get());
      if (lib::avcodec.avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
        double sum = 0;
        for (int y = 0; y < frame->height; ++y)
          for (int x = 0; x < frame->width; ++x) sum += frame->data[0][y * frame->linesize[0] + x];
        return sum / (frame->width * frame->height);
      }
    }
    lib::avcodec.av_packet_unref(pkt.get());
  }
  return -1;
}

TEST_F(ConverterTest, CustomHookStopsRaisesAndLeavesFramesAlone) {
  const double source = FirstPictureLuma(test::VideoAudioMp4());
  struct Case {
    const char* name;
    std::function<void(HookInfo*)> handler;
    int expectedCalls;
    bool white;
  };
  const Case kCases[] = {
      {"stop10", [](HookInfo* h) { h->StopHook = h->FrameNumber == 10; }, 10, false},
      {"raises", [](HookInfo* h) {
         std::memset(h->Bitmap->Bits(), 255, static_cast<size_t>(h->Bitmap->Stride()) * h->Bitmap->Height());
         throw std::runtime_error("drawing failed");
       }, 50, false},
      {"noupdate", [](HookInfo* h) {
         std::memset(h->Bitmap->Bits(), 255, static_cast<size_t>(h->Bitmap->Stride()) * h->Bitmap->Height());
         h->Update = false;
       }, 50, false},
      {"white", [](HookInfo* h) {
         std::memset(h->Bitmap->Bits(), 255, static_cast<size_t>(h->Bitmap->Stride()) * h->Bitmap->Height());
       }, 50, true},
  };
  for (const Case& k : kCases) {
    Converter c;
    std::atomic<int> calls{0};
    std::atomic<std::int64_t> lastPts{-1};
    std::atomic<bool> ordered{true};
    c.SetOnCustomHook([&](Converter&, HookInfo* h) {
      ++calls;
      if (h->PTS < lastPts) ordered = false;
      lastPts = h->PTS;
      k.handler(h);
    });
    OutputOptions o;
    o.CustomHook = true;
    o.FrameSize = "320x240";
    o.VideoCodec = "mpeg4";
    o.VideoBitrate = 2000000;
    const int index = c.AddTask(test::VideoAudioMp4(), nullptr);
    ASSERT_TRUE(c.SetOutputFile(index, Out(std::string(k.name) + ".avi"), &o)) << c.LastErrMsg();
    c.StartTask(0);
    EXPECT_EQ(calls.load(), k.expectedCalls) << k.name;
    EXPECT_TRUE(ordered) << k.name;
    EXPECT_EQ(test::DecodeFile(Out(std::string(k.name) + ".avi")).videoFrames, 50) << k.name;
    const double luma = FirstPictureLuma(Out(std::string(k.name) + ".avi"));
    if (k.white) {
      EXPECT_GT(luma, 230) << k.name;
    } else {
      EXPECT_NEAR(luma, source, 3) << k.name;
    }
  }
}

TEST_F(ConverterTest, VideoHookLibraryInvertsThePictures) {
  const double source = FirstPictureLuma(test::VideoAudioMp4());
  Converter c;
  const int index = c.AddTask(test::VideoAudioMp4(), nullptr);
  OutputOptions o;
  o.VideoCodec = "mpeg4";
  o.VideoBitrate = 2000000;
  o.ExtOptions = std::string("vhook=") + ZELVO_INVERT_HOOK + "|-x|unused";
  ASSERT_TRUE(c.SetOutputFile(index, Out("inverted.avi"), &o)) << c.LastErrMsg();
  c.StartTask(0);
  EXPECT_NEAR(FirstPictureLuma(Out("inverted.avi")), 255 - source, 4);

  Converter bad;
  const int other = bad.AddTask(test::VideoAudioMp4(), nullptr);
  OutputOptions missing;
  missing.ExtOptions = "vhook=/nonexistent/hook.so";
  EXPECT_FALSE(bad.SetOutputFile(other, Out("never.avi"), &missing));
  EXPECT_EQ(bad.LastErrMsg(), "Failed to add video hook function: /nonexistent/hook.so");
}

TEST_F(ConverterTest, ProgressGrowsToTheTotalAndPreviewsArrive) {
  Converter c;
  std::vector<ProgressInfo> reports;
  int previews = 0;
  bool inMain = true;
  const auto mainThread = std::this_thread::get_id();
  c.SetOnProgress([&](Converter&, ProgressInfo* p) {
    reports.push_back(*p);
    inMain = inMain && std::this_thread::get_id() == mainThread;
  });
  c.SetOnPreviewBitmap([&](Converter&, const PreviewInfo& p) {
    ++previews;
    EXPECT_EQ(p.Bitmap->Width(), 160);
  });
  c.SetPreviewBitmap(true);
  c.SetProgressInterval(100);
  OutputOptions o;
  o.FrameSize = "160x120";
  o.VideoCodec = "mpeg4";
  const int index = c.AddTask(test::VideoAudioMp4(), nullptr);
  ASSERT_TRUE(c.SetOutputFile(index, Out("progress.avi"), &o));
  c.Task(index)->SetOption("re", "1");  // at the input's own pace: reports on the way
  std::atomic<bool> ended{false};
  c.SetOnTerminate([&](Converter&, const TerminateInfo& i) {
    if (i.TaskIndex == -1) ended = true;
  });
  c.StartTask(1);
  PumpUntil([&] { return ended.load(); });
  ASSERT_GE(reports.size(), 3u);
  EXPECT_TRUE(inMain);
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].CurrentDuration, reports[i - 1].CurrentDuration);
  const ProgressInfo& last = reports.back();
  EXPECT_EQ(last.FileIndex, -1);
  EXPECT_NEAR(static_cast<double>(last.CurrentDuration), static_cast<double>(last.TotalDuration), 40000 + 1);
  EXPECT_EQ(last.FrameNumber, 50);
  EXPECT_GT(previews, 5);
}

}  // namespace
