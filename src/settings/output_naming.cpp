#include "settings/output_naming.h"

#include <filesystem>

#include "settings/app_settings.h"
#include "settings/settings_keys.h"

namespace zelvo {

namespace fs = std::filesystem;

namespace {

bool EnsureFolder(const std::string& folder) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return true;
  fs::create_directories(folder, ec);
  return fs::is_directory(folder, ec);
}

}  // namespace

std::string DestinationName(IniStore& settings, const std::string& sourcePath, const std::string& suffix,
                            const FolderWarning& warn) {
  std::string folder = ReadString(settings, keys::kSettingsSection, keys::kOutputDir, DefaultOutputFolder());
  if (folder.empty()) folder = DefaultOutputFolder();
  if (!EnsureFolder(folder)) {
    const std::string fallback = DefaultOutputFolder();
    if (warn) warn("Cannot create output directory:" + folder + ".It will create default directory " + fallback + "!");
    EnsureFolder(fallback);
    WriteString(settings, keys::kSettingsSection, keys::kOutputDir, fallback);
    folder = fallback;
  }
  if (folder.back() != '/') folder += '/';
  const std::string base = folder + fs::path(sourcePath).stem().string();
  std::error_code ec;
  std::string candidate = base + "_(new)" + suffix;
  for (int n = 1; fs::exists(candidate, ec); ++n) candidate = base + "_(new_" + std::to_string(n) + ")" + suffix;
  return candidate;
}

}  // namespace zelvo
