// Section "settings" of the settings INI: the user's folders, chosen format,
// skin, player volume and mute, work priority and snapshot options, each with
// its default for a missing or unreadable value.
#pragma once

#include <optional>
#include <string>

#include "settings/ini_store.h"

namespace zelvo {

// Work priority of the conversion worker, as stored (the Preferences radio items).
enum class WorkPriority { Idle = 0, Normal = 1, Lower = 2, Lowest = 3 };

struct AppSettings {
  std::string OutputDir;      // "OutPutDir"
  std::string SnapOutputDir;  // "SnapOutPutDir"
  int FormatCode = 0;
  std::string FormatName;
  int OutputFormat = 0;       // item index of the hidden output-format combo
  int SkinIndex = 0;          // 0..6; other values select no theme
  int Volume = 0;             // 0..128
  bool Mute = false;
  // nullopt for a stored value outside 0..3: the worker keeps the priority it has.
  std::optional<WorkPriority> Priority;
  bool SnapFullSize = true;
  bool SnapSmallSize = true;
  bool SnapBmp = true;
  bool SnapJpg = true;
  int JpegQuality = 30;       // "jpgCmp", 1..100
};

// "videoconverter" in the user's home folder: the default output and snapshot folder.
std::string DefaultOutputFolder();

// The format a fresh installation starts with. The window shows its name and
// a conversion uses its code, so the two name the same catalogue item.
inline constexpr int kDefaultFormatCode = 1;
std::string DefaultFormatName();

// Every key of section "settings". A missing or non-numeric value gives the
// default; a volume outside 0..128 gives 64; a JPEG quality outside 1..100 is
// brought into that range.
AppSettings ReadAppSettings(const IniStore& ini);

// The chosen format: name and code, written together.
bool WriteChosenFormat(IniStore& ini, int code, const std::string& name);
// Writes jpgCmp only for a quality greater than 0.
bool WriteJpegQuality(IniStore& ini, int quality);

}  // namespace zelvo
