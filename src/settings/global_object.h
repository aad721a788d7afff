// The application-wide facts every window needs: product name and version
// text for captions, the paths of the two INI files, the help and web
// addresses. The main window creates one object when it is created and frees
// it when it closes; nothing else replaces it.
#pragma once

#include <string>
#include <string_view>

namespace zelvo {

class GlobalObject {
 public:
  const std::string& HelpUrl() const { return helpUrl_; }
  const std::string& SettingsIniPath() const { return settingsIniPath_; }
  const std::string& FormatIniPath() const { return formatIniPath_; }
  const std::string& ProductName() const { return productName_; }
  const std::string& VersionText() const { return versionText_; }
  const std::string& WebUrl() const { return webUrl_; }

  // Each keeps the previous value when the argument is empty.
  void SetHelpUrl(std::string_view url);
  void SetProductName(std::string_view name);
  void SetVersionText(std::string_view text);
  void SetWebUrl(std::string_view url);
  // Each keeps the previous path unless the argument is longer than 3 characters.
  void SetSettingsIniPath(std::string_view path);
  void SetFormatIniPath(std::string_view path);

  // The last n characters of text; all of it when it is shorter.
  static std::string RightStr(std::string_view text, std::size_t n);
  // The program's version for captions: a blank, the major version, a point,
  // then minor, patch and tweak numbers with no separator, and a blank
  // (version 2.6.1.135 gives " 2.61135 ").
  static std::string ReadVersionText();

 private:
  std::string helpUrl_;
  std::string settingsIniPath_;
  std::string formatIniPath_;
  std::string productName_;
  std::string versionText_;
  std::string webUrl_;
};

inline constexpr std::string_view kProductName = "Zelvo FLV Video Converter";
// The version text the object starts with; the main window replaces it with
// ReadVersionText() when it is first shown.
inline constexpr std::string_view kStartupVersionText = " ver 1.60 ";
inline constexpr std::string_view kHelpUrl = "https://zelvo.example/help/";
inline constexpr std::string_view kWebUrl = "https://zelvo.example/";

struct IniLocations {
  std::string SettingsIniPath;
  std::string FormatIniPath;
};

// The user's home folder: $HOME when absolute, else the password database's.
std::string HomeFolder();
// The folder of the running executable, with a trailing "/".
std::string ExecutableFolder();
// "$XDG_CONFIG_HOME/zelvo/" when that variable holds an absolute path, else
// "<home>/.config/zelvo/" (home from $HOME, else the password database).
std::string ConfigFolder();
// Where the INI files live for an executable in exeFolder (trailing "/"):
// the settings INI beside the executable when files can be created there,
// else in configFolder (created on demand); the format INI beside the
// executable, else in the install's data folder (exeFolder/../share/zelvo/)
// when it is there.
IniLocations ResolveIniLocations(const std::string& exeFolder, const std::string& configFolder);

// The start-up sequence: the INI paths of the running executable, the product
// name, the start-up version text and the two addresses.
void InitializeGlobalObject(GlobalObject& global);

}  // namespace zelvo
