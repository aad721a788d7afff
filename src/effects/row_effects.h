// A batch row's edits drawn onto one picture: the text and picture
// watermarks, colour adjustment and exposure, in the order the row's two
// "process" flags choose. The conversion hook draws them on every frame of a
// task with effects, the edit dialogs on their preview pictures.
//
// Threads: any thread; the caller holds the picture's canvas lock (the
// conversion component already holds it around its hook). Text drawing uses
// Qt's font machinery, so a QGuiApplication must exist.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "media/bitmap.h"

namespace zelvo {

// The watermark text's font as the dialogs set it.
struct WatermarkFontInfo {
  std::string Name = "MS Sans Serif";  // a missing family falls back to the system's sans serif
  int Size = 8;                        // points, at 96 pixels per inch
  std::uint32_t Colour = 0x000000;     // 0xRRGGBB
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
};

// The effects' view of a batch row: exactly the fields drawing reads, with
// the row's values when it is added. Positions are pixels of the decoded
// source picture and apply unscaled.
struct RowEffects {
  std::string WatermarkText;  // UTF-8; empty = no text
  WatermarkFontInfo WatermarkFont;
  int TextX = 0, TextY = 0;   // top-left of the text cell
  std::string PictureFile;    // a Windows bitmap (.bmp); empty = no picture
  int PictureX = 0, PictureY = 0;
  int PictureAlpha = 168;     // 0..255
  int PictureBlend = 1;       // 1 mix by alpha, anything else multiply
  int Brightness = 255;       // 255 with Contrast 0 and Saturation 255: no colour step
  int Contrast = 0;
  int Saturation = 255;
  int Exposure = 0;           // 0: no exposure step
  bool ProcessText = false;     // draw the text before the colour steps
  bool ProcessPicture = false;  // draw the picture before the colour steps

  // Whether drawing would change anything; only then is a task's custom hook on.
  bool HasEffects() const;
};

// The conversion hook gives the canvas the whole font; the trim and crop
// previews copy its colour, name, size and style. The font view above holds
// exactly those four, so both draw the same.
enum class FontMode { WholeFont, FourAttributes };

// What a picture file that cannot be read raises; the frame's drawing stops there.
class PictureLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Draws text once with its cell's top-left at (x, y), no background box;
// what falls outside the picture is clipped.
void DrawTextOverlay(Bitmap& picture, const WatermarkFontInfo& font, int x, int y, const std::string& text);

// Loads a picture file as 24 bits per pixel into picture; throws PictureLoadError.
void LoadPicture(const std::string& path, Bitmap& picture);

// Draws the row's effects onto picture. Throws PictureLoadError when the
// row's picture file cannot be read; the steps before it stay drawn.
void DrawRowEffects(Bitmap& picture, const RowEffects& row, FontMode fontMode);

}  // namespace zelvo
