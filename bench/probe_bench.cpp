// How much the probe costs over the libraries' own work: for the same few
// hundred small files, ProbeFile + GetInfoText against a bare open + stream
// analysis + close, in the same run, over several rounds.
//
//   probe_bench [--files N] [--rounds R]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/handles.h"
#include "media/library_loader.h"
#include "media/media_probe.h"
#include "media/unicode_io.h"
#include "media/utils.h"
#include "test_media.h"

#ifndef ZELVO_BENCH_DIR
#error "ZELVO_BENCH_DIR must name the folder the bench files go to"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Bump when the mix changes, so that files of an older mix are rewritten.
constexpr int kMixVersion = 1;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// File i of the mix: the five containers in turn; every tenth name leaves
// ASCII so the program's own file I/O is part of the mix.
zelvo::test::ClipOptions MixClip(const std::string& dir, int i) {
  static const struct {
    const char* ext;
    const char* video;
    const char* audio;
  } kKinds[] = {
      {"mp4", "mpeg4", "aac"}, {"mp3", "", "libmp3lame"}, {"wav", "", "pcm_s16le"},
      {"mkv", "mpeg4", "aac"}, {"ts", "mpeg4", "aac"},
  };
  const auto& k = kKinds[i % 5];
  zelvo::test::ClipOptions o;
  o.path = dir + zelvo::Format(i % 10 == 9 ? "/bench-ü-%03d.%s" : "/bench-%03d.%s", i, k.ext);
  o.seconds = 0.5;
  o.videoCodec = k.video;
  o.audioCodec = k.audio;
  o.width = 160;
  o.height = 120;
  o.videoBitRate = 200000;
  o.containerTags = {{"title", zelvo::Format("bench clip %d", i)}, {"artist", "Zelvo Bench"}};
  return o;
}

// Writes the files unless a complete set of this mix is already there.
bool PrepareFiles(const std::string& dir, int count, std::vector<std::string>& paths, double& generatedMs) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  const std::string stampPath = dir + "/complete";
  const std::string stamp = zelvo::Format("mix %d files %d\n", kMixVersion, count);
  std::string found;
  if (std::ifstream in(stampPath); in) std::getline(in, found, '\0');
  paths.clear();
  for (int i = 0; i < count; ++i) paths.push_back(MixClip(dir, i).path);
  generatedMs = 0;
  if (found == stamp) return true;

  fs::remove(stampPath, ec);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::string error;
    if (!zelvo::test::WriteClip(MixClip(dir, i), &error)) {
      std::fprintf(stderr, "probe_bench: %s\n", error.c_str());
      return false;
    }
  }
  generatedMs = Ms(Clock::now() - start);
  std::ofstream(stampPath) << stamp;
  return true;
}

// The probe's work as the program uses it.
bool ProbeAll(const std::vector<std::string>& paths, size_t& textBytes) {
  zelvo::MediaProbe probe;
  std::string text;
  for (const std::string& p : paths) {
    if (!probe.ProbeFile(p)) {
      std::fprintf(stderr, "probe_bench: %s\n", probe.LastErrMsg().c_str());
      return false;
    }
    probe.GetInfoText(text);
    textBytes += text.size();
  }
  probe.CloseFile();
  return true;
}

// The libraries' part of it alone: open, analyse, close.
bool OpenAll(const std::vector<std::string>& paths) {
  namespace lib = zelvo::lib;
  for (const std::string& p : paths) {
    zelvo::OpenedInput input;
    int ret = zelvo::OpenInputFile(zelvo::FormatContextPtr(lib::avformat.avformat_alloc_context()),
                                   zelvo::LibraryFileNameOf(p), nullptr, nullptr, input);
    if (ret >= 0) ret = lib::avformat.avformat_find_stream_info(input.ctx.get(), nullptr);
    if (ret < 0) {
      std::fprintf(stderr, "probe_bench: %s\n", zelvo::ErrorText(p, ret).c_str());
      return false;
    }
  }
  return true;
}

int ArgValue(int argc, char** argv, const char* name, int def) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  return def;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = ArgValue(argc, argv, "--files", 300);
  const int rounds = ArgValue(argc, argv, "--rounds", 3);
  if (count <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: probe_bench [--files N] [--rounds R]\n");
    return 2;
  }
  std::string error;
  if (!zelvo::LoadMediaLibraries("", zelvo::kPlayerLibraries, error)) {
    std::fprintf(stderr, "probe_bench: %s\n", error.c_str());
    return 1;
  }

  std::vector<std::string> paths;
  double generatedMs = 0;
  if (!PrepareFiles(ZELVO_BENCH_DIR, count, paths, generatedMs)) return 1;

  // One untimed pass warms the page cache and the libraries' lazy tables.
  size_t textBytes = 0;
  if (!OpenAll(paths) || !ProbeAll(paths, textBytes)) return 1;

  Clock::duration probeTime{}, openTime{};
  for (int r = 0; r < rounds; ++r) {
    // Alternate which side goes first, so neither always runs on warmer state.
    for (int side = 0; side < 2; ++side) {
      const bool probeSide = (side == 0) == (r % 2 == 0);
      const auto start = Clock::now();
      if (!(probeSide ? ProbeAll(paths, textBytes) : OpenAll(paths))) return 1;
      (probeSide ? probeTime : openTime) += Clock::now() - start;
    }
  }

  const double n = static_cast<double>(count) * rounds;
  const double probeMs = Ms(probeTime) / n, openMs = Ms(openTime) / n;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("files: %d (%s)\n", count,
              generatedMs > 0 ? zelvo::Format("generated in %.0f ms", generatedMs).c_str() : "reused");
  std::printf("rounds: %d\n", rounds);
  std::printf("probe+info: %.3f ms/file\n", probeMs);
  std::printf("library open+analysis: %.3f ms/file\n", openMs);
  std::printf("ratio: %.2f\n", openMs > 0 ? probeMs / openMs : 0.0);
  std::printf("info text: %zu bytes/file\n", textBytes / static_cast<size_t>(count * (rounds + 1)));
  std::printf("peak RSS: %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
