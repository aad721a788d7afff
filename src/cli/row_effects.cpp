#include "cli/row_effects.h"

namespace zelvo {

RowEffects EffectsOf(const LvFilesRecord& row) {
  RowEffects e;
  e.WatermarkText = row.WatermarkText;
  e.WatermarkFont.Name = row.WatermarkFont.Name;
  e.WatermarkFont.Size = row.WatermarkFont.Size;
  // The row keeps colours as 0x00BBGGRR, the effects as 0xRRGGBB.
  const std::uint32_t c = row.WatermarkFont.Color;
  e.WatermarkFont.Colour = ((c & 0xff) << 16) | (c & 0xff00) | ((c >> 16) & 0xff);
  e.WatermarkFont.Bold = row.WatermarkFont.Bold;
  e.WatermarkFont.Italic = row.WatermarkFont.Italic;
  e.WatermarkFont.Underline = row.WatermarkFont.Underline;
  e.WatermarkFont.StrikeOut = row.WatermarkFont.StrikeOut;
  e.TextX = row.TextX;
  e.TextY = row.TextY;
  e.PictureFile = row.PictureFile;
  e.PictureX = row.PictureX;
  e.PictureY = row.PictureY;
  e.PictureAlpha = row.PictureAlpha;
  e.PictureBlend = row.PictureBlend;
  e.Brightness = row.Brightness;
  e.Contrast = row.Contrast;
  e.Saturation = row.Saturation;
  e.Exposure = row.Exposure;
  e.ProcessText = row.ProcessText;
  e.ProcessPicture = row.ProcessPicture;
  return e;
}

EffectsDrawer::EffectsDrawer(const std::vector<LvFilesRecord>& rows) {
  for (const LvFilesRecord& r : rows) rows_.push_back(EffectsOf(r));
}

void EffectsDrawer::Draw(int taskIndex, Bitmap& picture) const {
  if (taskIndex < 0 || taskIndex >= static_cast<int>(rows_.size())) return;
  DrawRowEffects(picture, rows_[static_cast<size_t>(taskIndex)], FontMode::WholeFont);
}

}  // namespace zelvo
