// What drawing a row's effects costs per 1280x720 frame with everything on:
// colour adjustment, exposure, a text watermark and a 200x100 picture
// watermark read from its file, and each step alone. One thread.
//
//   effects_bench [--frames N]
#include <QGuiApplication>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "effects/picture_operations.h"
#include "effects/row_effects.h"

namespace {

using Clock = std::chrono::steady_clock;

void FillFrame(zelvo::Bitmap& b) {
  for (int y = 0; y < b.Height(); ++y) {
    std::uint8_t* p = b.ScanLine(y);
    for (int x = 0; x < b.Width(); ++x, p += 3) {
      p[0] = static_cast<std::uint8_t>(x * 3 + y);
      p[1] = static_cast<std::uint8_t>(y * 2);
      p[2] = static_cast<std::uint8_t>(x ^ y);
    }
  }
}

struct Figures {
  double best, median;
};

// Milliseconds per call; the frame is refilled outside the timing so every
// call works on a fresh picture.
Figures Measure(int frames, zelvo::Bitmap& frame, const std::function<void()>& draw) {
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    FillFrame(frame);
    const auto t0 = Clock::now();
    draw();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return {ms.front(), ms[ms.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 300;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--frames") == 0) frames = std::max(1, std::atoi(argv[i + 1]));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);

  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("effects_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string picture = (dir / "watermark.bmp").string();
  QImage art(200, 100, QImage::Format_RGB888);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 200; ++x) art.setPixelColor(x, y, QColor(x, y * 2, 255 - x));
  if (!art.save(QString::fromStdString(picture), "BMP")) {
    std::fprintf(stderr, "cannot write %s\n", picture.c_str());
    return 1;
  }

  zelvo::RowEffects row;
  row.Brightness = 300;
  row.Contrast = 25;
  row.Saturation = 320;
  row.Exposure = 60;
  row.WatermarkText = "Zelvo watermark 2024";
  row.WatermarkFont.Name = "DejaVu Sans";
  row.WatermarkFont.Size = 24;
  row.WatermarkFont.Colour = 0xFFEE00;
  row.WatermarkFont.Bold = true;
  row.TextX = 40, row.TextY = 600;
  row.PictureFile = picture;
  row.PictureX = 1040, row.PictureY = 40;
  row.PictureAlpha = 168;

  zelvo::Bitmap frame(1280, 720);
  zelvo::Bitmap loaded;
  zelvo::LoadPicture(picture, loaded);
  struct Step {
    const char* name;
    std::function<void()> draw;
  };
  const std::vector<Step> steps = {
      {"DrawRowEffects, all on", [&] { zelvo::DrawRowEffects(frame, row, zelvo::FontMode::WholeFont); }},
      {"  AdjustColours", [&] { zelvo::AdjustColours(frame, row.Brightness, row.Contrast, row.Saturation); }},
      {"  AdjustColoursAndExposure", [&] { zelvo::AdjustColoursAndExposure(frame, row.Brightness, row.Contrast, row.Saturation, static_cast<float>(row.Exposure)); }},
      {"  AdjustExposure", [&] { zelvo::AdjustExposure(frame, static_cast<float>(row.Exposure)); }},
      {"  text", [&] { zelvo::DrawTextOverlay(frame, row.WatermarkFont, row.TextX, row.TextY, row.WatermarkText); }},
      {"  picture file load", [&] { zelvo::LoadPicture(picture, loaded); }},
      {"  BlendPicture 200x100", [&] { zelvo::BlendPicture(frame, loaded, row.PictureX, row.PictureY, row.PictureAlpha, row.PictureBlend); }},
  };
  std::printf("1280x720 frame, %d frames each, one thread (ms per frame)\n", frames);
  std::printf("%-28s %8s %8s\n", "", "best", "median");
  for (const Step& s : steps) {
    const Figures f = Measure(frames, frame, s.draw);
    std::printf("%-28s %8.3f %8.3f\n", s.name, f.best, f.median);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
