#include "settings/app_settings.h"

#include <algorithm>

#include "settings/format_catalogue.h"
#include "settings/global_object.h"
#include "settings/settings_keys.h"

namespace zelvo {

namespace {

constexpr int kMaxVolume = 128;
constexpr int kVolumeForOddValues = 64;

}  // namespace

std::string DefaultOutputFolder() {
  std::string home = HomeFolder();
  if (home.back() != '/') home += '/';
  return home + "videoconverter";
}

std::string DefaultFormatName() { return FormatCaption(kDefaultFormatCode); }

AppSettings ReadAppSettings(const IniStore& ini) {
  const std::string_view s = keys::kSettingsSection;
  AppSettings a;
  a.OutputDir = ReadString(ini, s, keys::kOutputDir, DefaultOutputFolder());
  a.SnapOutputDir = ReadString(ini, s, keys::kSnapOutputDir, DefaultOutputFolder());
  a.FormatCode = ReadInteger(ini, s, keys::kFormatCode, kDefaultFormatCode);
  a.FormatName = ReadString(ini, s, keys::kFormatName, DefaultFormatName());
  a.OutputFormat = ReadInteger(ini, s, keys::kOutputFormat, 0);
  a.SkinIndex = ReadInteger(ini, s, keys::kSkinIndex, 0);
  a.Volume = ReadInteger(ini, s, keys::kVolume, 0);
  if (a.Volume < 0 || a.Volume > kMaxVolume) a.Volume = kVolumeForOddValues;
  a.Mute = ReadBool(ini, s, keys::kMute, false);
  const int priority = ReadInteger(ini, s, keys::kPriority, static_cast<int>(WorkPriority::Normal));
  if (priority >= 0 && priority <= 3) a.Priority = static_cast<WorkPriority>(priority);
  a.SnapFullSize = ReadBool(ini, s, keys::kSnapFullSize, true);
  a.SnapSmallSize = ReadBool(ini, s, keys::kSnapSmallSize, true);
  a.SnapBmp = ReadBool(ini, s, keys::kSnapBmp, true);
  a.SnapJpg = ReadBool(ini, s, keys::kSnapJpg, true);
  // The JPEG encoder takes 1..100; a hand-edited value outside that is brought in.
  a.JpegQuality = std::clamp(ReadInteger(ini, s, keys::kJpegQuality, 30), 1, 100);
  return a;
}

bool WriteChosenFormat(IniStore& ini, int code, const std::string& name) {
  return ini.Write(keys::kSettingsSection, {IniEntry{std::string(keys::kFormatName), name},
                                            IniEntry{std::string(keys::kFormatCode), std::to_string(code)}});
}

bool WriteJpegQuality(IniStore& ini, int quality) {
  if (quality <= 0) return false;
  return WriteInteger(ini, keys::kSettingsSection, keys::kJpegQuality, quality);
}

}  // namespace zelvo
