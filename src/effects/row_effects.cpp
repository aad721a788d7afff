#include "effects/row_effects.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "effects/picture_operations.h"

namespace zelvo {

namespace {

// The bitmap's own memory as a QImage; nothing is copied, so painting on it
// paints on the bitmap.
QImage Wrap(Bitmap& picture) {
  return QImage(picture.Bits(), picture.Width(), picture.Height(), picture.Stride(), QImage::Format_BGR888);
}

QImage LoadImage24(const std::string& path) {
  QImageReader reader(QString::fromStdString(path));
  QImage image = reader.read();
  if (image.isNull())
    throw PictureLoadError("Cannot load the picture \"" + path + "\": " + reader.errorString().toStdString());
  // Same bytes as our bitmaps; an alpha channel in the file is dropped, not composed.
  return image.convertToFormat(QImage::Format_BGR888);
}

}  // namespace

bool RowEffects::HasEffects() const {
  return Brightness != 255 || Contrast != 0 || Saturation != 255 || Exposure != 0 || !WatermarkText.empty() ||
         !PictureFile.empty();
}

void DrawTextOverlay(Bitmap& picture, const WatermarkFontInfo& font, int x, int y, const std::string& text) {
  if (text.empty() || picture.Width() <= 0 || picture.Height() <= 0) return;
  QImage image = Wrap(picture);
  QFont qfont(QString::fromStdString(font.Name));
  // Points at 96 pixels per inch, rounded as the font height of the
  // dialogs' preview, so a size looks the same on every screen.
  qfont.setPixelSize(std::max(1, static_cast<int>(std::lround(font.Size * 96.0 / 72.0))));
  qfont.setBold(font.Bold);
  qfont.setItalic(font.Italic);
  qfont.setUnderline(font.Underline);
  qfont.setStrikeOut(font.StrikeOut);
  QPainter painter(&image);
  painter.setFont(qfont);
  painter.setPen(QColor::fromRgb(font.Colour & 0xFFFFFFu));
  // (x, y) is the top of the text cell; Qt places text by its baseline.
  painter.drawText(QPointF(x, y + painter.fontMetrics().ascent()), QString::fromStdString(text));
}

void LoadPicture(const std::string& path, Bitmap& picture) {
  const QImage image = LoadImage24(path);
  picture.SetSize(image.width(), image.height());
  const auto rowBytes = static_cast<std::size_t>(image.width()) * 3;
  for (int y = 0; y < image.height(); ++y) std::memcpy(picture.ScanLine(y), image.constScanLine(y), rowBytes);
}

void DrawRowEffects(Bitmap& picture, const RowEffects& row, FontMode /*fontMode: same font either way*/) {
  const auto text = [&] {
    if (!row.WatermarkText.empty()) DrawTextOverlay(picture, row.WatermarkFont, row.TextX, row.TextY, row.WatermarkText);
  };
  const auto colours = [&] {
    const bool adjust = row.Brightness != 255 || row.Contrast != 0 || row.Saturation != 255;
    const auto exposure = static_cast<float>(row.Exposure);
    if (adjust && row.Exposure != 0)
      AdjustColoursAndExposure(picture, row.Brightness, row.Contrast, row.Saturation, exposure);
    else if (adjust)
      AdjustColours(picture, row.Brightness, row.Contrast, row.Saturation);
    else if (row.Exposure != 0)
      AdjustExposure(picture, exposure);
  };
  const auto overlayPicture = [&] {
    if (row.PictureFile.empty()) return;
    // Read for every picture, so a file changed during a run is picked up.
    const QImage source = LoadImage24(row.PictureFile);
    BlendPicture(picture, PictureRows{source.constBits(), source.width(), source.height(), static_cast<int>(source.bytesPerLine())},
                 row.PictureX, row.PictureY, row.PictureAlpha, row.PictureBlend);
  };

  // A set flag draws its overlay before the colour steps, which then change it.
  if (row.ProcessText && !row.ProcessPicture) {
    text();
    colours();
    overlayPicture();
  } else if (!row.ProcessText && row.ProcessPicture) {
    overlayPicture();
    colours();
    text();
  } else if (row.ProcessText && row.ProcessPicture) {
    text();
    overlayPicture();
    colours();
  } else {
    colours();
    text();
    overlayPicture();
  }
}

}  // namespace zelvo
