// The per-row record of the batch list: the file, its destination and the
// edits the trim, crop and effects dialogs write; the option builder and the
// conversion's frame hook read it. Plain data, copied by value.
#pragma once

#include <cstdint>
#include <string>

#include "settings/ini_store.h"

namespace zelvo {

// The watermark text's font as the effects dialog chose it. Colours are
// 0x00BBGGRR, the order the window toolkit's colour values used.
struct FontDescription {
  std::string Name = "MS Sans Serif";
  int Size = 8;  // points
  std::uint32_t Color = 0;  // black
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
};

struct LvFilesRecord {
  std::int32_t SelIndex = 0;  // position within the add dialog's multi-selection
  std::string SourceFile;
  std::string OutputFile;     // the destination derived when the row was added
  std::int32_t DurationSec = 0;
  std::int64_t TrimStart = 0;   // microseconds; 0 means from the beginning
  std::int64_t TrimLength = 0;  // microseconds; 0 means to the end
  // "full", "lbox", "pan" or "center" (the crop dialog also knows "orig" and
  // "cent"). A new row takes the format's stored zoom (RowZoomOf).
  std::string Zoom = "lbox";
  // Source pixels removed on each side, even.
  std::int32_t CropTop = 0;
  std::int32_t CropLeft = 0;
  std::int32_t CropBottom = 0;
  std::int32_t CropRight = 0;
  // The crop dialog's fields as entered.
  std::int32_t CropUpView = 0;
  std::int32_t CropLeftView = 0;
  std::int32_t CropDownView = 0;
  std::int32_t CropRightView = 0;
  std::string WatermarkText;  // empty for none
  FontDescription WatermarkFont;
  std::int32_t TextX = 0, TextY = 0;
  std::int32_t TextXPercent = 0, TextYPercent = 0;  // 0..100
  std::string PictureFile;  // empty for none
  std::int32_t PictureX = 0, PictureY = 0;
  std::int32_t PictureXPercent = 0, PictureYPercent = 0;  // 0..100
  std::int32_t PictureAlpha = 168;  // 0..255
  std::int32_t PictureBlend = 1;    // 1 or 2
  std::int32_t Brightness = 255;    // 255: unchanged
  std::int32_t Contrast = 0;        // 0: unchanged
  std::int32_t Saturation = 255;    // 255: unchanged
  std::int32_t Exposure = 0;        // 0: unchanged
  bool ProcessText = false;         // draw the text before the colour effects
  bool ProcessPicture = false;      // draw the picture before the colour effects
};

// The zoom a new row of format code gets: the settings INI's "paraZoom" of
// the format's section, "lbox" when the user never chose one.
std::string RowZoomOf(const IniStore& settingsIni, int code);

}  // namespace zelvo
