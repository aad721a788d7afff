// zelvo-cli: the headless front end.
#include <cstdio>
#include <cstring>
#include <string>

#include "media/library_loader.h"
#include "media/media_probe.h"

namespace {

void PrintUsage() {
  std::printf(
      "Usage: zelvo-cli [options]\n"
      "  --info FILE     print what the probe reads from a media file\n"
      "  --version       print the program version\n"
      "  --help          print this text\n");
}

int PrintInfo(const char* file) {
  std::string err;
  if (!zelvo::LoadMediaLibraries(zelvo::DefaultLibraryFolder(), zelvo::kConversionLibraries, err)) {
    std::fprintf(stderr, "zelvo-cli: %s\n", err.c_str());
    return 1;
  }
  zelvo::MediaProbe probe;
  if (!probe.ProbeFile(file)) {
    std::fprintf(stderr, "zelvo-cli: %s\n", probe.LastErrMsg().c_str());
    return 1;
  }
  std::string text;
  probe.GetInfoText(text);
  // The report ends its lines with CR LF; a terminal wants LF.
  for (char c : text)
    if (c != '\r') std::putchar(c);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--info") == 0) return PrintInfo(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Zelvo FLV Video Converter %s\n", ZELVO_VERSION);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage();
    return 0;
  }
  PrintUsage();
  return 2;
}
