#include "media/engine_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "media/av_entries.h"
#include "media/dispatcher.h"
#include "media/handles.h"
#include "media/utils.h"
#include "test_media.h"

using zelvo::EngineLog;
using zelvo::LogLevel;

namespace {

struct Line {
  std::uint32_t thread;
  LogLevel level;
  std::string text;
};

// Collects delivered lines in the logging thread; restores the logger after.
class EngineLogTest : public ::testing::Test {
 protected:
  EngineLog& log = EngineLog::Logger();
  std::mutex lock;
  std::vector<Line> lines;

  void SetUp() override {
    zelvo::test::LoadMediaLibrariesForTests();
    log.SetTriggerEventInMainThread(false);
    log.SetOnLog([this](const void*, std::uint32_t thread, LogLevel level, const std::string& text) {
      std::lock_guard<std::mutex> g(lock);
      if (text.find("zelvo-test") != std::string::npos) lines.push_back({thread, level, text});
    });
  }
  void TearDown() override {
    log.SetOnLog(nullptr);
    log.SetTriggerEventInMainThread(true);
    log.SetLogLevel(LogLevel::llInfo);
  }
};

TEST(EngineLogLevels, MapBetweenLibraryAndLogLevels) {
  const struct { int library; LogLevel level; } kCases[] = {
      {-8, LogLevel::llQuiet}, {-1, LogLevel::llQuiet}, {0, LogLevel::llPanic}, {8, LogLevel::llFatal},
      {16, LogLevel::llError}, {24, LogLevel::llWarning}, {31, LogLevel::llWarning}, {32, LogLevel::llInfo},
      {40, LogLevel::llVerbose}, {47, LogLevel::llVerbose}, {48, LogLevel::llDebug}, {56, LogLevel::llDebug},
  };
  for (const auto& c : kCases) EXPECT_EQ(zelvo::LibraryLevelToLogLevel(c.library), c.level) << c.library;
  EXPECT_EQ(zelvo::LogLevelToLibraryLevel(LogLevel::llQuiet), -8);
  EXPECT_EQ(zelvo::LogLevelToLibraryLevel(LogLevel::llPanic), 0);
  EXPECT_EQ(zelvo::LogLevelToLibraryLevel(LogLevel::llDebug), 48);
}

TEST_F(EngineLogTest, LevelNamesAndNumbers) {
  const struct { const char* name; LogLevel level; } kCases[] = {
      {"warning", LogLevel::llWarning}, {"DEBUG", LogLevel::llDebug}, {"Quiet", LogLevel::llQuiet},
      {"40", LogLevel::llVerbose}, {"16", LogLevel::llError}, {"info", LogLevel::llInfo},
  };
  for (const auto& c : kCases) {
    log.SetLogLevelByName(c.name);
    EXPECT_EQ(log.Level(), c.level) << c.name;
    EXPECT_EQ(EngineLog::LibraryThreshold(), zelvo::LogLevelToLibraryLevel(c.level));
    EXPECT_EQ(zelvo::lib::avutil.av_log_get_level(), zelvo::LogLevelToLibraryLevel(c.level));
  }
  EXPECT_THROW(log.SetLogLevelByName("loud"), std::invalid_argument);
  EXPECT_THROW(log.SetLogLevelByName("12x"), std::invalid_argument);
}

TEST_F(EngineLogTest, SecondLoggerIsRefused) {
  try {
    EngineLog second;
    ADD_FAILURE() << "a second logger must not be created";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Allow creating only one instance of TEngineLog.");
  }
  EXPECT_EQ(&EngineLog::Logger(), &log);
}

TEST_F(EngineLogTest, LibraryPartsBecomeOneLineWithThePrefixOfTheFirst) {
  zelvo::FormatContextPtr ctx(zelvo::lib::avformat.avformat_alloc_context());
  zelvo::lib::avutil.av_log(ctx.get(), AV_LOG_INFO, "zelvo-test abc");
  zelvo::lib::avutil.av_log(nullptr, AV_LOG_INFO, "def\nzelvo-test second");
  zelvo::lib::avutil.av_log(nullptr, AV_LOG_WARNING, " line\nzelvo-test never ended");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, zelvo::Format("[NULL @ %p]zelvo-test abcdef", static_cast<void*>(ctx.get())));
  EXPECT_EQ(lines[0].level, LogLevel::llInfo);
  EXPECT_EQ(lines[1].text, "zelvo-test second line");
  EXPECT_EQ(lines[1].level, LogLevel::llWarning);
  zelvo::lib::avutil.av_log(nullptr, AV_LOG_INFO, "\n");  // finish this thread's pending line
}

TEST_F(EngineLogTest, LibraryMessagesAboveTheThresholdAreDropped) {
  log.SetLogLevel(LogLevel::llWarning);
  zelvo::lib::avutil.av_log(nullptr, AV_LOG_INFO, "zelvo-test info\n");
  zelvo::lib::avutil.av_log(nullptr, AV_LOG_ERROR, "zelvo-test error\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "zelvo-test error");
}

TEST_F(EngineLogTest, ThreadsGetTheirOwnLinesBack) {
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        zelvo::lib::avutil.av_log(nullptr, AV_LOG_INFO, "zelvo-test t%d ", t);
        std::this_thread::yield();
        zelvo::lib::avutil.av_log(nullptr, AV_LOG_INFO, "n%d", i);
        zelvo::lib::avutil.av_log(nullptr, AV_LOG_INFO, " end t%d\n", t);
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::map<std::uint32_t, int> next;  // per thread, the next expected line number
  for (const Line& l : lines) {
    int t = -1, n = -1, t2 = -2;
    ASSERT_EQ(std::sscanf(l.text.c_str(), "zelvo-test t%d n%d end t%d", &t, &n, &t2), 3) << l.text;
    EXPECT_EQ(t, t2) << l.text;
    EXPECT_EQ(n, next[l.thread]++) << l.text;
  }
  EXPECT_EQ(next.size(), static_cast<size_t>(kThreads));
}

TEST_F(EngineLogTest, OwnMessagesFollowTheLogLevel) {
  log.SetLogLevel(LogLevel::llError);
  log.Log(this, LogLevel::llVerbose, "zelvo-test verbose passes");
  log.Log(this, LogLevel::llWarning, "zelvo-test warning held back");
  log.LogFmt(this, LogLevel::llError, "zelvo-test %s %d", "error", 3);
  log.SetLogLevel(LogLevel::llQuiet);
  log.Log(this, LogLevel::llVerbose, "zelvo-test quiet blocks verbose");
  log.Log(this, LogLevel::llPanic, "zelvo-test quiet blocks panic");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "zelvo-test verbose passes");
  EXPECT_EQ(lines[1].text, "zelvo-test error 3");
}

TEST_F(EngineLogTest, DeliveryInTheMainThreadWaitsForThePump) {
  log.SetTriggerEventInMainThread(true);
  const auto mainThread = std::this_thread::get_id();
  std::atomic<bool> ranInMain{false}, done{false};
  log.SetOnLog([&](const void*, std::uint32_t, LogLevel, const std::string& text) {
    if (text == "zelvo-test from worker") ranInMain = std::this_thread::get_id() == mainThread;
  });
  std::thread worker([&] {
    log.Log(nullptr, LogLevel::llInfo, "zelvo-test from worker");
    done = true;
  });
  while (!done) zelvo::ProcessPendingMessages();
  worker.join();
  EXPECT_TRUE(ranInMain);
}

}  // namespace
