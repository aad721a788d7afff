// zelvo-cli: the headless front end. Each file named on the command line
// becomes one conversion task, built as the window's Start builds it (the
// user's stored choices for the format, the row's edits from the options),
// and the tasks run on the component's worker threads while a progress line
// follows them.
#include <QGuiApplication>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/row_effects.h"
#include "component/converter.h"
#include "media/av_entries.h"
#include "media/dispatcher.h"
#include "media/engine_log.h"
#include "media/library_loader.h"
#include "media/media_probe.h"
#include "media/utils.h"
#include "settings/app_settings.h"
#include "settings/files_record.h"
#include "settings/format_catalogue.h"
#include "settings/global_object.h"
#include "settings/ini_store.h"
#include "settings/option_builder.h"
#include "settings/output_naming.h"
#include "settings/settings_keys.h"

namespace {

namespace fs = std::filesystem;
using namespace zelvo;

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130;

std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted = true; }

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void PrintHelp() {
  std::printf(
      "Usage: zelvo-cli [options] FILE...\n"
      "Converts each FILE with the chosen format, as the window's Start does,\n"
      "using the per-format choices stored by the window.\n"
      "\n"
      "  --format CODE|TEXT     format code or a (unique part of a) caption; default: the stored one\n"
      "  --list-formats         print codes, captions, container and encoders\n"
      "  --info FILE            print what the probe reads from FILE\n"
      "  --output-dir DIR       write the outputs there (this run only)\n"
      "  --jobs N               convert N files at once (default 1)\n"
      "Edits of each file:\n"
      "  --trim-start T         start of the kept range (HH:MM:SS.mmm or seconds)\n"
      "  --trim-length T        length of the kept range\n"
      "  --crop T,L,B,R         source pixels removed at top, left, bottom, right (made even)\n"
      "  --zoom full|lbox|pan|center\n"
      "  --watermark FILE.bmp   picture watermark; --watermark-pos X,Y  --watermark-alpha 0..255\n"
      "                         --watermark-style 1|2\n"
      "  --text TEXT            text watermark; --font NAME  --font-size N  --text-colour RRGGBB\n"
      "                         --text-pos X,Y\n"
      "  --brightness N  --contrast N  --saturation N  --exposure N\n"
      "Parameters of this run (not stored):\n"
      "  --size WxH|\"as source\"  --vcodec NAME  --acodec NAME  --vbitrate KBITS  --abitrate KBITS\n"
      "  --fps RATE  --sample-rate HZ  --channels N  --volume PERCENT\n"
      "  --help, --version\n"
      "Exit status: 0 all converted, 1 some failed, 2 usage error, 130 interrupted.\n");
}

// The settings of this run: the stored INI, with this run's parameters laid
// over the format's keys; writes go to the file (the output folder fallback).
class OverlayIni final : public IniStore {
 public:
  explicit OverlayIni(IniStore& base) : base_(base) {}
  void Set(std::string section, std::string key, std::string value) {
    values_[{Lower(section), Lower(key)}] = std::move(value);
  }
  std::optional<std::string> Read(std::string_view section, std::string_view key) const override {
    auto it = values_.find({Lower(std::string(section)), Lower(std::string(key))});
    if (it != values_.end()) return it->second;
    return base_.Read(section, key);
  }
  using IniStore::Write;
  bool Write(std::string_view section, std::span<const IniEntry> entries) override { return base_.Write(section, entries); }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  IniStore& base_;
  std::map<std::pair<std::string, std::string>, std::string> values_;
};

std::int64_t ParseTime(const std::string& option, const std::string& text) {
  std::int64_t us = 0;
  if (text.empty() || lib::avutil.av_parse_time(&us, text.c_str(), 1) < 0 || us < 0)
    throw UsageError(option + ": not a time: \"" + text + "\" (HH:MM:SS.mmm or seconds)");
  return us;
}

int ParseInt(const std::string& option, const std::string& text, int low, int high) {
  if (!IsIntegerText(text)) throw UsageError(option + ": Please enter numerical.");
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v < low || v > high) throw UsageError(Format("%s: %ld is outside %d..%d", option.c_str(), v, low, high));
  return static_cast<int>(v);
}

std::vector<int> ParseInts(const std::string& option, const std::string& text, size_t count) {
  std::vector<int> values;
  std::string rest = text;
  while (!rest.empty() || values.size() < count) {
    const std::string part = SplitFirst(rest, ",", true);
    values.push_back(ParseInt(option, part, -100000, 100000));
    if (rest.empty()) break;
  }
  if (values.size() != count) throw UsageError(Format("%s: expected %zu numbers separated by commas", option.c_str(), count));
  return values;
}

struct Run {
  std::optional<std::string> format;
  std::string outputDir;
  int jobs = 1;
  LvFilesRecord edits;  // applied to every file
  bool zoomGiven = false;
  std::vector<std::pair<std::string, std::string>> parameters;  // settings key -> value for the format section
  std::vector<std::string> files;
};

int ResolveFormat(const std::string& text) {
  if (IsIntegerText(text)) {
    const int code = std::atoi(text.c_str());
    if (FormatCaption(code).empty()) throw UsageError("--format: no format has the code " + text);
    return code;
  }
  if (auto exact = FormatCodeOfCaption(text)) return *exact;
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  const std::string wanted = lower(text);
  std::vector<int> matches;
  for (int code : AllFormatCodes())
    if (lower(FormatCaption(code)).find(wanted) != std::string::npos) matches.push_back(code);
  if (matches.size() == 1) return matches[0];
  if (matches.empty()) throw UsageError("--format: no format caption contains \"" + text + "\"");
  std::string list;
  for (int m : matches) list += Format("\n  %d %s", m, FormatCaption(m).c_str());
  throw UsageError("--format: \"" + text + "\" matches several formats:" + list);
}

Run ParseArguments(int argc, char** argv, std::vector<std::string>& actions) {
  Run run;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) throw UsageError(std::string(argv[i]) + ": needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    LvFilesRecord& e = run.edits;
    if (a == "--help" || a == "-h") actions.push_back("help");
    else if (a == "--version") actions.push_back("version");
    else if (a == "--list-formats") actions.push_back("list");
    else if (a == "--info") actions.push_back("info:" + value(i));
    else if (a == "--format") run.format = value(i);
    else if (a == "--output-dir") run.outputDir = value(i);
    else if (a == "--jobs") run.jobs = ParseInt(a, value(i), 1, 16);
    else if (a == "--trim-start") e.TrimStart = ParseTime(a, value(i));
    else if (a == "--trim-length") e.TrimLength = ParseTime(a, value(i));
    else if (a == "--crop") {
      const auto v = ParseInts(a, value(i), 4);
      for (int x : v)
        if (x < 0) throw UsageError("--crop: margins cannot be negative");
      e.CropTop = v[0] & ~1;
      e.CropLeft = v[1] & ~1;
      e.CropBottom = v[2] & ~1;
      e.CropRight = v[3] & ~1;
    } else if (a == "--zoom") {
      const std::string z = value(i);
      if (z != "full" && z != "lbox" && z != "pan" && z != "center") throw UsageError("--zoom: one of full, lbox, pan, center");
      e.Zoom = z;
      run.zoomGiven = true;
    } else if (a == "--watermark") {
      e.PictureFile = value(i);
      if (!fs::is_regular_file(e.PictureFile)) throw UsageError("--watermark: no such file: " + e.PictureFile);
    } else if (a == "--watermark-pos") {
      const auto v = ParseInts(a, value(i), 2);
      e.PictureX = v[0];
      e.PictureY = v[1];
    } else if (a == "--watermark-alpha") e.PictureAlpha = ParseInt(a, value(i), 0, 255);
    else if (a == "--watermark-style") e.PictureBlend = ParseInt(a, value(i), 1, 2);
    else if (a == "--text") e.WatermarkText = value(i);
    else if (a == "--font") e.WatermarkFont.Name = value(i);
    else if (a == "--font-size") e.WatermarkFont.Size = ParseInt(a, value(i), 1, 500);
    else if (a == "--text-colour" || a == "--text-color") {
      const std::string c = value(i);
      char* end = nullptr;
      const unsigned long rgb = std::strtoul(c.c_str(), &end, 16);
      if (c.size() != 6 || *end) throw UsageError(a + ": a colour is six hexadecimal digits, RRGGBB");
      // Stored as 0x00BBGGRR.
      e.WatermarkFont.Color = static_cast<std::uint32_t>(((rgb & 0xff) << 16) | (rgb & 0xff00) | ((rgb >> 16) & 0xff));
    } else if (a == "--text-pos") {
      const auto v = ParseInts(a, value(i), 2);
      e.TextX = v[0];
      e.TextY = v[1];
    } else if (a == "--brightness") e.Brightness = ParseInt(a, value(i), 0, 510);
    else if (a == "--contrast") e.Contrast = ParseInt(a, value(i), -255, 255);
    else if (a == "--saturation") e.Saturation = ParseInt(a, value(i), 0, 510);
    else if (a == "--exposure") e.Exposure = ParseInt(a, value(i), -255, 255);
    else if (a == "--size") {
      const std::string s = value(i);
      if (s != "as source") {
        const FrameSizeCheck check = CheckFrameSize(s);
        if (check.Outcome == FrameSizeCheck::Invalid) throw UsageError("--size: Frame Size is not a valid value!");
        run.parameters.emplace_back(std::string(keys::kParaVideoSize), check.Text);
      } else {
        run.parameters.emplace_back(std::string(keys::kParaVideoSize), "as source");
      }
    } else if (a == "--vcodec" || a == "--acodec") {
      const std::string name = value(i);
      const AVCodec* codec = lib::avcodec.avcodec_find_encoder_by_name(name.c_str());
      const AVMediaType want = a == "--vcodec" ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
      if (!codec || codec->type != want) throw UsageError(a + ": no " + (want == AVMEDIA_TYPE_VIDEO ? "video" : "audio") + " encoder \"" + name + "\"");
      run.parameters.emplace_back(a == "--vcodec" ? std::string(keys::kParaVideoEncoder) : std::string(keys::kParaAudioEncoder), name);
    } else if (a == "--vbitrate") run.parameters.emplace_back(std::string(keys::kParaVideoBitRate), std::to_string(ParseInt(a, value(i), 1, 100000)));
    else if (a == "--abitrate") run.parameters.emplace_back(std::string(keys::kParaAudioBitRate), std::to_string(ParseInt(a, value(i), 1, 10000)));
    else if (a == "--fps") {
      const std::string r = value(i);
      if (!IsNumberText(r)) throw UsageError("--fps: Please enter numerical.");
      run.parameters.emplace_back(std::string(keys::kParaFrameRate), r);
    } else if (a == "--sample-rate") run.parameters.emplace_back(std::string(keys::kParaSampleRate), std::to_string(ParseInt(a, value(i), 1000, 384000)));
    else if (a == "--channels") run.parameters.emplace_back(std::string(keys::kParaChannel), std::to_string(ParseInt(a, value(i), 1, 8)));
    else if (a == "--volume") {
      const int percent = ParseInt(a, value(i), 0, 400);
      run.parameters.emplace_back(std::string(keys::kParaVolume), std::to_string(percent * 256 / 100));
    } else if (!a.empty() && a[0] == '-' && a != "-") throw UsageError("unknown option " + a + " (see --help)");
    else run.files.push_back(a);
  }
  return run;
}

std::string Clock(std::int64_t us) {
  if (us < 0) return "--:--:--";
  const std::int64_t s = us / 1000000;
  return Format("%02lld:%02lld:%02lld", static_cast<long long>(s / 3600), static_cast<long long>(s / 60 % 60),
                static_cast<long long>(s % 60));
}

struct FileResult {
  std::string source, destination;
  enum { Pending, Done, Stopped, Failed } state = Pending;
  std::string message;
};

int ListFormats(const IniStore& formatIni) {
  const auto catalogue = DeviceCatalogue();
  for (size_t cat = 0; cat < catalogue.size(); ++cat) {
    std::printf("%s\n", std::string(catalogue[cat].Caption).c_str());
    for (size_t item = 0; item < catalogue[cat].Items.size(); ++item) {
      const int code = FormatCodeOf(static_cast<int>(cat), static_cast<int>(item));
      const CatalogueFormat f = ReadCatalogueFormat(formatIni, code);
      auto first = [&](FormatParameter p) {
        const ParameterList& l = f[p];
        if (!l.Enabled || l.Items.empty()) return std::string("-");
        return l.Items[static_cast<size_t>(std::clamp(l.DefaultIndex, 0, static_cast<int>(l.Items.size()) - 1))];
      };
      std::printf("  %5d  %-60s  %-8s  %s / %s\n", code, std::string(catalogue[cat].Items[item]).c_str(), f.Format.c_str(),
                  first(FormatParameter::VideoEncoder).c_str(), first(FormatParameter::AudioEncoder).c_str());
    }
  }
  return kExitOk;
}

int PrintInfo(const std::string& file) {
  MediaProbe probe;
  if (!probe.ProbeFile(file)) {
    std::fprintf(stderr, "zelvo-cli: %s\n", probe.LastErrMsg().c_str());
    return kExitFailed;
  }
  std::string text;
  probe.GetInfoText(text);
  for (char c : text)
    if (c != '\r') std::putchar(c);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> actions;
  std::string err;
  if (!LoadMediaLibraries(DefaultLibraryFolder(), kConversionLibraries, err)) {
    std::fprintf(stderr, "zelvo-cli: %s\n", err.c_str());
    return kExitFailed;
  }
  EngineLog::Logger().SetLogLevel(LogLevel::llError);
  Run run;
  try {
    run = ParseArguments(argc, argv, actions);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "zelvo-cli: %s\n", e.what());
    return kExitUsage;
  }
  GlobalObject global;
  InitializeGlobalObject(global);
  IniFile settingsFile(global.SettingsIniPath());
  IniFile formatIni(global.FormatIniPath());
  for (const std::string& a : actions) {
    if (a == "help") {
      PrintHelp();
      return kExitOk;
    }
    if (a == "version") {
      std::printf("%s%s\n", global.ProductName().c_str(), GlobalObject::ReadVersionText().c_str());
      return kExitOk;
    }
  }
  for (const std::string& a : actions) {
    if (a == "list") return ListFormats(formatIni);
    if (a.rfind("info:", 0) == 0) return PrintInfo(a.substr(5));
  }
  if (run.files.empty()) {
    PrintHelp();
    return kExitUsage;
  }

  int code = 0;
  try {
    code = run.format ? ResolveFormat(*run.format) : ReadAppSettings(settingsFile).FormatCode;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "zelvo-cli: %s\n", e.what());
    return kExitUsage;
  }
  if (FormatCaption(code).empty()) code = kDefaultFormatCode;
  OverlayIni settings(settingsFile);
  for (const auto& [key, value] : run.parameters) settings.Set(FormatSection(code), key, value);
  if (!run.outputDir.empty()) {
    std::error_code ec;
    fs::create_directories(run.outputDir, ec);
    if (!fs::is_directory(run.outputDir)) {
      std::fprintf(stderr, "zelvo-cli: --output-dir: cannot create %s\n", run.outputDir.c_str());
      return kExitUsage;
    }
    settings.Set(std::string(keys::kSettingsSection), std::string(keys::kOutputDir), fs::absolute(run.outputDir).string());
  }
  const CatalogueFormat format = ReadCatalogueFormat(formatIni, code);
  const std::string suffix = "." + format.FileExt;

  Converter converter;
  FixedAnswer keepSourceSize(false);
  std::vector<FileResult> results;
  std::vector<LvFilesRecord> rows;
  std::vector<int> taskOfFile;
  for (const std::string& file : run.files) {
    FileResult r;
    r.source = file;
    if (!fs::is_regular_file(file)) {
      r.state = FileResult::Failed;
      r.message = fs::exists(file) ? "not a file" : "no such file";
      results.push_back(r);
      taskOfFile.push_back(-1);
      continue;
    }
    MediaProbe& probe = converter.Probe();
    if (!probe.ProbeFile(file)) {
      r.state = FileResult::Failed;
      r.message = probe.LastErrMsg();
      results.push_back(r);
      taskOfFile.push_back(-1);
      continue;
    }
    LvFilesRecord row = run.edits;
    row.SourceFile = file;
    if (!run.zoomGiven) row.Zoom = RowZoomOf(settings, code);
    InputOptions input;
    InitInputOptions(input);
    input.FileName = file;
    input.ForceFormat = probe.ForceFormat();
    if (row.TrimStart >= 0) input.StartTime = row.TrimStart;
    r.destination = DestinationName(settings, probe.GetFileName(), suffix,
                                    [](const std::string& m) { std::fprintf(stderr, "zelvo-cli: %s\n", m.c_str()); });
    row.OutputFile = r.destination;
    OutputOptions output;
    InitOutputOptions(output);
    output.FileName = r.destination;
    try {
      BuildConversionOptions(formatIni, settings, row, code, output, SourceVideoOf(probe), input, keepSourceSize);
    } catch (const std::exception& e) {
      r.state = FileResult::Failed;
      r.message = e.what();
      results.push_back(r);
      taskOfFile.push_back(-1);
      probe.CloseFile();
      continue;
    }
    probe.CloseFile();
    const int task = converter.AddTask(file, &input);
    if (task < 0) {
      r.state = FileResult::Failed;
      r.message = converter.LastErrMsg();
      results.push_back(r);
      taskOfFile.push_back(-1);
      continue;
    }
    output.CustomHook = RowHasEffects(row);
    if (row.TrimLength > 0) output.RecordingTime = row.TrimLength;
    if (!converter.SetOutputFile(task, r.destination, &output)) {
      r.state = FileResult::Failed;
      r.message = converter.LastErrMsg();
      converter.RemoveTask(task);
      results.push_back(r);
      taskOfFile.push_back(-1);
      continue;
    }
    results.push_back(r);
    rows.push_back(row);
    taskOfFile.push_back(task);
  }

  // Task index -> position in results.
  std::vector<size_t> fileOfTask(static_cast<size_t>(converter.TaskCount()));
  for (size_t f = 0; f < taskOfFile.size(); ++f)
    if (taskOfFile[f] >= 0) fileOfTask[static_cast<size_t>(taskOfFile[f])] = f;
  // Text watermarks are drawn with Qt's fonts, which need an application
  // object; it is made only then (its start-up is not free). The front end
  // never shows a window, so it needs no display.
  std::unique_ptr<QGuiApplication> qt;
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  if (std::any_of(rows.begin(), rows.end(), [](const LvFilesRecord& r) { return !r.WatermarkText.empty(); })) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt's own notes (a missing runtime folder and the like) are not ours to show.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
      if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "zelvo-cli: %s\n", text.toLocal8Bit().constData());
    });
    qt = std::make_unique<QGuiApplication>(qtArgc, qtArgv);
  }
  const EffectsDrawer effects(rows);
  converter.SetOnCustomHook([&effects](Converter&, HookInfo* h) { effects.Draw(h->TaskIndex, *h->Bitmap); });

  const bool terminal = isatty(STDOUT_FILENO) != 0;
  const auto started = std::chrono::steady_clock::now();
  std::atomic<bool> ended{false};
  std::mutex resultLock;
  converter.SetOnTerminate([&](Converter&, const TerminateInfo& info) {
    if (info.TaskIndex < 0) {
      ended = true;
      return;
    }
    std::lock_guard<std::mutex> guard(resultLock);
    FileResult& r = results[fileOfTask[static_cast<size_t>(info.TaskIndex)]];
    if (info.Exception) {
      r.state = FileResult::Failed;
      r.message = info.ExceptionMsg;
    } else {
      r.state = info.Finished ? FileResult::Done : FileResult::Stopped;
    }
  });
  std::int64_t lastPlainReport = 0;
  converter.SetOnProgress([&](Converter& c, ProgressInfo* p) {
    const size_t f = fileOfTask[static_cast<size_t>(p->TaskIndex)];
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double percent = p->TotalDuration > 0 ? std::min(100.0, 100.0 * static_cast<double>(p->CurrentDuration) / static_cast<double>(p->TotalDuration)) : 0;
    const double speed = elapsed > 0 ? static_cast<double>(p->CurrentDuration) / 1e6 / elapsed : 0;
    const std::string left = speed > 0 && p->TotalDuration > 0
                                 ? Clock(static_cast<std::int64_t>((static_cast<double>(p->TotalDuration - p->CurrentDuration)) / speed))
                                 : "--:--:--";
    const std::string line = Format("[%zu/%zu] %s %5.1f%%  %s/%s  %s  %.1fx  left %s", f + 1, results.size(),
                                    fs::path(results[f].source).filename().string().c_str(), percent,
                                    Clock(p->CurrentDuration).c_str(), Clock(p->TotalDuration).c_str(),
                                    FormatFileSize(p->CurrentSize).c_str(), speed, left.c_str());
    if (terminal) {
      std::printf("\r%-100s", line.c_str());
      std::fflush(stdout);
    } else if (p->CurrentDuration - lastPlainReport >= 5000000 || p->FileIndex == -1) {
      lastPlainReport = p->CurrentDuration;
      std::printf("%s\n", line.c_str());
    }
    (void)c;
  });
  converter.SetProgressInterval(terminal ? 250 : 1000);

  struct sigaction sa{};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  bool stopped = false;
  if (converter.TaskCount() > 0) {
    converter.StartTask(run.jobs);
    while (!ended) {
      ProcessPendingMessages();
      if (g_interrupted && !stopped) {
        stopped = true;
        if (terminal) std::printf("\n");
        std::fprintf(stderr, "zelvo-cli: interrupted, stopping...\n");
        converter.Stop(true);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (terminal) std::printf("\n");
  }
  converter.ClearTasks();

  int failed = 0;
  for (const FileResult& r : results) {
    switch (r.state) {
      case FileResult::Done: std::printf("done     %s -> %s\n", r.source.c_str(), r.destination.c_str()); break;
      case FileResult::Stopped: std::printf("stopped  %s -> %s\n", r.source.c_str(), r.destination.c_str()); break;
      case FileResult::Failed:
      case FileResult::Pending:
        ++failed;
        std::printf("failed   %s: %s\n", r.source.c_str(), r.message.c_str());
        break;
    }
  }
  if (g_interrupted) return kExitInterrupted;
  return failed ? kExitFailed : kExitOk;
}
