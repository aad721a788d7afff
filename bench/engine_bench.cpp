// The engine's standard conversion jobs: wall and CPU seconds, frames per
// second, real-time factor and peak memory of each, every job in a process of
// its own so that peak memory is the job's; then a long input converted while
// the resident memory is sampled, to show it stays flat.
//
//   engine_bench [--job N] [--skip-long]
//
// With --job N only that job runs, in this process (for a profiler).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/transcoder.h"
#include "media/engine_log.h"
#include "media/library_loader.h"
#include "media/media_probe.h"
#include "media/utils.h"
#include "test_media.h"

#ifndef ZELVO_BENCH_DIR
#error "ZELVO_BENCH_DIR must name the folder the bench files go to"
#endif

namespace {

namespace fs = std::filesystem;
using Options = std::vector<std::pair<std::string, std::string>>;

struct Input {
  const char* name;
  zelvo::test::ClipOptions clip;
};

struct Job {
  const char* title;
  const char* input;
  const char* output;
  Options options;
};

std::string Dir() { return ZELVO_BENCH_DIR "/engine"; }

const std::string& Prepared(const char* name) {
  static std::vector<std::pair<std::string, std::string>> done;
  for (const auto& d : done)
    if (d.first == name) return d.second;
  zelvo::test::ClipOptions o;
  o.seconds = 60;
  o.audioCodec = "aac";
  if (std::strcmp(name, "hd720.mp4") == 0) {
    o.videoCodec = "libx264";
    o.width = 1280;
    o.height = 720;
    o.videoBitRate = 3000000;
  } else if (std::strcmp(name, "vga.avi") == 0) {
    o.videoCodec = "mpeg4";
    o.audioCodec = "libmp3lame";
    o.width = 640;
    o.height = 480;
    o.videoBitRate = 1500000;
  } else if (std::strcmp(name, "hd1080.mp4") == 0) {
    o.videoCodec = "libx264";
    o.width = 1920;
    o.height = 1080;
    o.seconds = 30;
    o.videoBitRate = 6000000;
  } else {  // ten minutes, small
    o.videoCodec = "mpeg4";
    o.width = 320;
    o.height = 240;
    o.seconds = 600;
  }
  o.path = Dir() + "/" + name;
  if (!fs::exists(o.path)) {
    fs::create_directories(Dir());
    std::fprintf(stderr, "writing %s ...\n", name);
    std::string error;
    const std::string temp = o.path + ".part";
    zelvo::test::ClipOptions t = o;
    t.path = temp;
    t.format = fs::path(o.path).extension() == ".avi" ? "avi" : "mp4";
    if (!zelvo::test::WriteClip(t, &error)) {
      std::fprintf(stderr, "cannot write %s: %s\n", name, error.c_str());
      std::exit(1);
    }
    fs::rename(temp, o.path);
  }
  done.emplace_back(name, o.path);
  return done.back().second;
}

const std::vector<Job>& Jobs() {
  static const std::vector<Job> jobs = {
      {"720p H.264/AAC -> iPod MPEG-4 mp4 320x240 768k 29.97 fps, AAC 128k", "hd720.mp4", "job1.mp4",
       {{"f", "ipod"}, {"vcodec", "mpeg4"}, {"s", "320x240"}, {"b", "768000"}, {"r", "29.97"}, {"acodec", "aac"},
        {"ab", "128000"}, {"ar", "44100"}, {"ac", "2"}}},
      {"640x480 MPEG-4/MP3 AVI -> FLV 320x240 768k 25 fps, MP3 96k", "vga.avi", "job2.flv",
       {{"vcodec", "flv"}, {"s", "320x240"}, {"b", "768000"}, {"r", "25"}, {"acodec", "libmp3lame"}, {"ab", "96000"},
        {"ar", "44100"}}},
      {"720p -> H.264 640x480 1250k, libx264-ipod preset", "hd720.mp4", "job3.mp4",
       {{"vcodec", "libx264"}, {"vpre", "libx264-ipod"}, {"s", "640x480"}, {"b", "1250000"}, {"acodec", "aac"},
        {"ab", "128000"}}},
      {"1080p H.264 -> H.264 1280x720 4000k", "hd1080.mp4", "job4.mp4",
       {{"vcodec", "libx264"}, {"s", "1280x720"}, {"b", "4000000"}, {"acodec", "aac"}, {"ab", "128000"}}},
      {"720p -> MP3 128k", "hd720.mp4", "job5.mp3", {{"vn", ""}, {"acodec", "libmp3lame"}, {"ab", "128000"}}},
  };
  return jobs;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

long CurrentRssKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs one conversion in this process; returns the line to print.
std::string RunJob(const Job& job, std::vector<long>* rssSamples = nullptr) {
  const std::string input = Prepared(job.input);
  const std::string output = Dir() + "/" + job.output;
  std::error_code ec;
  fs::remove(output, ec);
  zelvo::Transcoder t;
  if (!t.OpenInput(input)) return std::string("open failed: ") + t.ErrorMessage();
  for (const auto& o : job.options) t.SetOption(o.first, o.second);
  if (t.OpenOutput(output, false) < 0) return std::string("output failed: ") + t.ErrorMessage();
  int frames = 0;
  std::int64_t mediaUs = 0;
  t.SetOnProgress([&](const zelvo::EngineProgress& p) {
    frames = p.frameNumber;
    mediaUs = p.currentDuration;
    if (rssSamples) rssSamples->push_back(CurrentRssKb());
  });
  if (rssSamples) t.SetProgressInterval(1000000);
  const auto start = std::chrono::steady_clock::now();
  const double cpu0 = CpuSeconds();
  t.Run();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - cpu0;
  if (t.ExceptionRaised()) return "failed: " + t.ExceptionMessage();
  const double media = static_cast<double>(mediaUs) / 1e6;
  return zelvo::Format("wall %6.2f s  cpu %6.2f s  %7.1f fps  %5.1fx real time  peak %5.0f MB", wall, cpu,
                       wall > 0 ? frames / wall : 0, wall > 0 ? media / wall : 0, PeakRssKb() / 1024.0);
}

// One job in a child process, so that its peak memory is its own.
std::string RunJobInChild(const Job& job) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string line = RunJob(job);
    (void)!write(fds[1], line.data(), line.size());
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string line;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) line.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return line.empty() ? "child failed" : line;
}

}  // namespace

int main(int argc, char** argv) {
  int only = 0;
  bool skipLong = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--job") == 0 && i + 1 < argc) only = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--skip-long") == 0) skipLong = true;
  }
  std::string err;
  if (!zelvo::LoadMediaLibraries(zelvo::DefaultLibraryFolder(), zelvo::kConversionLibraries, err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  zelvo::EngineLog::Logger().SetLogLevel(zelvo::LogLevel::llError);
  for (const Job& j : Jobs()) Prepared(j.input);  // inputs first, outside the timing
  const auto& jobs = Jobs();
  if (only >= 1 && only <= static_cast<int>(jobs.size())) {
    std::printf("job %d %s\n  %s\n", only, jobs[only - 1].title, RunJob(jobs[only - 1]).c_str());
    return 0;
  }
  for (size_t i = 0; i < jobs.size(); ++i) {
    std::printf("job %zu %s\n  %s\n", i + 1, jobs[i].title, RunJobInChild(jobs[i]).c_str());
    std::fflush(stdout);
  }
  if (!skipLong) {
    Prepared("ten-minutes.mp4");
    const Job longJob = {"10-minute 320x240 MPEG-4/AAC -> FLV", "ten-minutes.mp4", "long.flv",
                         {{"vcodec", "flv"}, {"b", "500000"}, {"acodec", "libmp3lame"}, {"ar", "44100"}}};
    std::vector<long> rss;
    const std::string line = RunJob(longJob, &rss);
    std::printf("long run %s\n  %s\n", longJob.title, line.c_str());
    if (rss.size() >= 10) {
      const long at10 = rss[rss.size() / 10], at50 = rss[rss.size() / 2], atEnd = rss.back();
      std::printf("  resident memory: %ld MB at 10%%, %ld MB at 50%%, %ld MB at the end (growth %+ld KB)\n", at10 / 1024,
                  at50 / 1024, atEnd / 1024, atEnd - at10);
    }
  }
  return 0;
}
