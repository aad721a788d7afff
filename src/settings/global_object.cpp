#include "settings/global_object.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "settings/settings_keys.h"

#if !defined(ZELVO_VERSION_MAJOR) || !defined(ZELVO_VERSION_MINOR) || !defined(ZELVO_VERSION_PATCH) || \
    !defined(ZELVO_VERSION_TWEAK)
#error "the build must define ZELVO_VERSION_MAJOR, _MINOR, _PATCH and _TWEAK from the project version"
#endif

namespace zelvo {

namespace {

namespace fs = std::filesystem;

// Whether a file can be created in folder: tried, not guessed from the mode
// bits, which say nothing about read-only mounts or (for root) anything at all.
bool CanCreateFilesIn(const std::string& folder) {
  std::string probe = folder + ".zelvo-write-test-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
    return entry->pw_dir;
  return "/tmp";
}

void GlobalObject::SetHelpUrl(std::string_view url) {
  if (!url.empty()) helpUrl_ = url;
}

void GlobalObject::SetProductName(std::string_view name) {
  if (!name.empty()) productName_ = name;
}

void GlobalObject::SetVersionText(std::string_view text) {
  if (!text.empty()) versionText_ = text;
}

void GlobalObject::SetWebUrl(std::string_view url) {
  if (!url.empty()) webUrl_ = url;
}

void GlobalObject::SetSettingsIniPath(std::string_view path) {
  if (path.size() > 3) settingsIniPath_ = path;
}

void GlobalObject::SetFormatIniPath(std::string_view path) {
  if (path.size() > 3) formatIniPath_ = path;
}

std::string GlobalObject::RightStr(std::string_view text, std::size_t n) {
  // Characters, not bytes: step back over UTF-8 continuation bytes.
  std::size_t start = text.size();
  for (std::size_t count = 0; count < n && start > 0; ++count) {
    --start;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  }
  return std::string(text.substr(start));
}

std::string GlobalObject::ReadVersionText() {
  return " " + std::to_string(ZELVO_VERSION_MAJOR) + "." + std::to_string(ZELVO_VERSION_MINOR) +
         std::to_string(ZELVO_VERSION_PATCH) + std::to_string(ZELVO_VERSION_TWEAK) + " ";
}

std::string ExecutableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) return "./";
  return WithTrailingSlash(exe.parent_path().string());
}

std::string ConfigFolder() {
  // Relative values are to be ignored, as the XDG base directory rules say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string base = (xdg != nullptr && xdg[0] == '/') ? std::string(xdg) : HomeFolder() + "/.config";
  return WithTrailingSlash(base) + "zelvo/";
}

IniLocations ResolveIniLocations(const std::string& exeFolder, const std::string& configFolder) {
  const std::string exe = WithTrailingSlash(exeFolder);
  IniLocations locations;
  if (CanCreateFilesIn(exe)) {
    locations.SettingsIniPath = exe + std::string(keys::kSettingsIniName);
  } else {
    const std::string config = WithTrailingSlash(configFolder);
    std::error_code ec;
    fs::create_directories(config, ec);  // a failure shows later as defaults and unsaved choices
    locations.SettingsIniPath = config + std::string(keys::kSettingsIniName);
  }

  const std::string beside = exe + std::string(keys::kFormatIniName);
  const std::string installed = exe + "../share/zelvo/" + std::string(keys::kFormatIniName);
  std::error_code ec;
  locations.FormatIniPath = (!fs::exists(beside, ec) && fs::exists(installed, ec)) ? installed : beside;
  return locations;
}

void InitializeGlobalObject(GlobalObject& global) {
  const IniLocations locations = ResolveIniLocations(ExecutableFolder(), ConfigFolder());
  global.SetSettingsIniPath(locations.SettingsIniPath);
  global.SetFormatIniPath(locations.FormatIniPath);
  global.SetProductName(kProductName);
  global.SetVersionText(kStartupVersionText);
  global.SetHelpUrl(kHelpUrl);
  global.SetWebUrl(kWebUrl);
}

}  // namespace zelvo
