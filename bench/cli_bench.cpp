// The standard conversion jobs through the headless front end, against the
// same conversions done in this process by the component and engine alone
// (options built the same way), in the same run: wall and CPU seconds, speed
// and peak memory of each, and the front end's overhead.
//
//   cli_bench [--job N]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "component/converter.h"
#include "media/engine_log.h"
#include "media/library_loader.h"
#include "media/media_probe.h"
#include "media/utils.h"
#include "settings/files_record.h"
#include "settings/format_catalogue.h"
#include "settings/global_object.h"
#include "settings/ini_store.h"
#include "settings/option_builder.h"
#include "settings/settings_keys.h"
#include "test_media.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace zelvo;

struct Job {
  const char* title;
  const char* input;  // as engine_bench writes them
  int format;
  std::vector<std::pair<std::string, std::string>> cli;   // command-line parameters
  std::vector<std::pair<std::string, std::string>> keys;  // the same as settings keys
};

std::string Dir() { return ZELVO_BENCH_DIR "/engine"; }

const std::vector<Job>& Jobs() {
  static const std::vector<Job> jobs = {
      {"720p -> iPod MPEG-4 320x240 768k 29.97 fps, AAC 128k", "hd720.mp4", 0,
       {{"--size", "320x240"}, {"--vbitrate", "768"}, {"--fps", "29.97"}, {"--abitrate", "128"}, {"--sample-rate", "44100"}, {"--channels", "2"}},
       {{"paraVideoSize", "320x240"}, {"paraVideoBitRate", "768"}, {"paraFrameRate", "29.97"}, {"paraAudioBitRate", "128"},
        {"paraSampleRate", "44100"}, {"paraChannel", "2"}}},
      {"VGA AVI -> FLV 320x240 768k 25 fps, MP3 96k", "vga.avi", 1900,
       {{"--size", "320x240"}, {"--vbitrate", "768"}, {"--fps", "25"}, {"--abitrate", "96"}},
       {{"paraVideoSize", "320x240"}, {"paraVideoBitRate", "768"}, {"paraFrameRate", "25"}, {"paraAudioBitRate", "96"}}},
      {"720p -> iPod H.264 640x480 1250k", "hd720.mp4", 1, {{"--size", "640x480"}, {"--vbitrate", "1250"}},
       {{"paraVideoSize", "640x480"}, {"paraVideoBitRate", "1250"}}},
      {"1080p -> H.264 1280x720 4000k", "hd1080.mp4", 2303, {{"--size", "1280x720"}, {"--vbitrate", "4000"}},
       {{"paraVideoSize", "1280x720"}, {"paraVideoBitRate", "4000"}}},
      {"720p -> MP3 128k", "hd720.mp4", 2400, {{"--abitrate", "128"}}, {{"paraAudioBitRate", "128"}}},
  };
  return jobs;
}

struct Measure {
  double wall = 0, cpu = 0, mb = 0;
  bool ok = false;
};

double Cpu(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The same conversion by the component and engine alone, in this program
// started afresh (as the front end is), so that both pay for starting a
// process and loading the libraries.
int EngineRun(const Job& job, const std::string& input, const std::string& outDir) {
  std::string err;
  if (!LoadMediaLibraries(DefaultLibraryFolder(), kConversionLibraries, err)) return 1;
  EngineLog::Logger().SetLogLevel(LogLevel::llError);
  const std::string ini = outDir + "/settings.ini";
  {
    std::ofstream out(ini);
    out << "[" << FormatSection(job.format) << "]\n";
    for (const auto& [k, v] : job.keys) out << k << "=" << v << "\n";
    out << "[settings]\nOutPutDir=" << outDir << "\n";
  }
  IniFile settings(ini);
  GlobalObject global;
  InitializeGlobalObject(global);
  IniFile formatIni(global.FormatIniPath());
  Converter c;
  MediaProbe& probe = c.Probe();
  if (!probe.ProbeFile(input)) return 1;
  LvFilesRecord row;
  row.SourceFile = input;
  row.Zoom = RowZoomOf(settings, job.format);
  InputOptions in;
  in.FileName = input;
  OutputOptions out;
  const CatalogueFormat f = ReadCatalogueFormat(formatIni, job.format);
  out.FileName = outDir + "/engine." + f.FileExt;
  FixedAnswer no(false);
  BuildConversionOptions(formatIni, settings, row, job.format, out, SourceVideoOf(probe), in, no);
  probe.CloseFile();
  const int t = c.AddTask(input, &in);
  if (t < 0 || !c.SetOutputFile(t, out.FileName, &out)) return 1;
  bool failed = false;
  c.SetOnTerminate([&](Converter&, const TerminateInfo& i) { failed = failed || i.Exception; });
  c.StartTask(0);
  return failed ? 1 : 0;
}

Measure Spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  Measure m;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return m;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage u{};
  wait4(pid, &status, 0, &u);
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.cpu = Cpu(u);
  m.mb = u.ru_maxrss / 1024.0;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

Measure ThroughCli(const Job& job, const std::string& input, const std::string& outDir) {
  std::vector<std::string> args = {ZELVO_CLI, "--format", std::to_string(job.format), "--output-dir", outDir};
  for (const auto& [o, v] : job.cli) {
    args.push_back(o);
    args.push_back(v);
  }
  args.push_back(input);
  return Spawn(args);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--engine-run") == 0) {
    const int job = std::atoi(argv[2]);
    const std::string input = Dir() + "/" + Jobs()[static_cast<size_t>(job)].input;
    return EngineRun(Jobs()[static_cast<size_t>(job)], input, argv[3]);
  }
  int only = 0;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--job") == 0) only = std::atoi(argv[i + 1]);
  const auto& jobs = Jobs();
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (only && static_cast<int>(i) + 1 != only) continue;
    const std::string input = Dir() + "/" + jobs[i].input;
    if (!fs::exists(input)) {
      std::fprintf(stderr, "%s is missing: run engine_bench once first, it writes the inputs\n", input.c_str());
      return 1;
    }
    const std::string out = Dir() + "/cli-job" + std::to_string(i + 1);
    fs::remove_all(out);
    fs::create_directories(out);
    MediaProbe probe;
    double media = 0;
    {
      std::string err;
      LoadMediaLibraries(DefaultLibraryFolder(), kConversionLibraries, err);
      FileStreamInfo fi;
      if (probe.ProbeFile(input)) {
        probe.GetFileStreamInfo(fi);
        media = static_cast<double>(fi.Duration) / 1e6;
      }
    }
    const Measure e = Spawn({"/proc/self/exe", "--engine-run", std::to_string(i), out});
    const Measure c = ThroughCli(jobs[i], input, out);
    std::printf("job %zu %s\n", i + 1, jobs[i].title);
    auto line = [&](const char* who, const Measure& m) {
      std::printf("  %-12s wall %6.2f s  cpu %6.2f s  %5.1fx real time  peak %5.0f MB%s\n", who, m.wall, m.cpu,
                  m.wall > 0 ? media / m.wall : 0, m.mb, m.ok ? "" : "  (failed)");
    };
    line("engine", e);
    line("zelvo-cli", c);
    std::printf("  front-end overhead: wall %+.1f%%, cpu %+.1f%%\n", e.wall > 0 ? (c.wall - e.wall) * 100 / e.wall : 0,
                e.cpu > 0 ? (c.cpu - e.cpu) * 100 / e.cpu : 0);
    std::fflush(stdout);
  }
  return 0;
}
