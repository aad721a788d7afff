#include "settings/global_object.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <sstream>

#include "temp_folder.h"

namespace fs = std::filesystem;
using namespace zelvo;
using zelvo::test::TempFolder;
using zelvo::test::WriteFileBytes;

namespace {

TEST(GlobalObject, SettersKeepTheValueForEmptyTextsAndShortPaths) {
  GlobalObject g;
  g.SetProductName("Zelvo");
  g.SetProductName("");
  EXPECT_EQ(g.ProductName(), "Zelvo");
  g.SetVersionText(" 1.0 ");
  g.SetVersionText("");
  EXPECT_EQ(g.VersionText(), " 1.0 ");
  g.SetHelpUrl("h");
  g.SetHelpUrl("");
  g.SetWebUrl("w");
  g.SetWebUrl("");
  EXPECT_EQ(g.HelpUrl(), "h");
  EXPECT_EQ(g.WebUrl(), "w");

  g.SetSettingsIniPath("/x/a.ini");
  g.SetSettingsIniPath("a.i");
  EXPECT_EQ(g.SettingsIniPath(), "/x/a.ini");
  g.SetSettingsIniPath("ab.i");
  EXPECT_EQ(g.SettingsIniPath(), "ab.i");
  g.SetFormatIniPath("/x/f.ini");
  g.SetFormatIniPath("f.i");
  EXPECT_EQ(g.FormatIniPath(), "/x/f.ini");
}

TEST(GlobalObject, RightPartOfAText) {
  const struct { const char* text; std::size_t n; const char* right; } kCases[] = {
      {"/home/u/videos/", 1, "/"}, {"abc", 2, "bc"}, {"abc", 5, "abc"}, {"", 1, ""}, {"abc", 0, ""},
      {"/Vid\xC3\xA9os", 3, "\xC3\xA9os"}, {"x\xC3\xA9", 1, "\xC3\xA9"},
  };
  for (const auto& c : kCases) EXPECT_EQ(GlobalObject::RightStr(c.text, c.n), c.right) << c.text << " " << c.n;
}

TEST(GlobalObject, VersionTextComesFromTheProjectVersion) {
  // " major.minor" then patch and tweak without separators, blanks around.
  std::istringstream version(ZELVO_PROJECT_VERSION);
  std::string part[4] = {"0", "0", "0", "0"};
  for (std::string& p : part)
    if (!std::getline(version, p, '.')) break;
  EXPECT_EQ(GlobalObject::ReadVersionText(), " " + part[0] + "." + part[1] + part[2] + part[3] + " ");
}

TEST(GlobalObject, StartupValues) {
  GlobalObject g;
  InitializeGlobalObject(g);
  EXPECT_EQ(g.ProductName(), "Zelvo FLV Video Converter");
  EXPECT_EQ(g.VersionText(), " ver 1.60 ");
  EXPECT_FALSE(g.HelpUrl().empty());
  EXPECT_FALSE(g.WebUrl().empty());
  // The test binary's folder is writable and holds the installed catalogue.
  EXPECT_EQ(g.SettingsIniPath(), ExecutableFolder() + "zelvoflvvideoconverter.ini");
  EXPECT_EQ(g.FormatIniPath(), ExecutableFolder() + "zelvoflvformat.ini");
  EXPECT_TRUE(fs::exists(g.FormatIniPath()));
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(IniLocations, ConfigFolderFollowsXdgRules) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(ConfigFolder(), "/cfg/zelvo/");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", "relative/cfg");
    EXPECT_EQ(ConfigFolder(), "/home/someone/.config/zelvo/");
  }
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(ConfigFolder(), "/home/someone/.config/zelvo/");
  }
}

TEST(IniLocations, SettingsBesideTheExecutableOnlyWhenFilesCanBeMadeThere) {
  TempFolder folder;
  const std::string exe = folder.path().string() + "/";
  const std::string config = folder.File("cfg/zelvo") + "/";

  IniLocations here = ResolveIniLocations(exe, config);
  EXPECT_EQ(here.SettingsIniPath, exe + "zelvoflvvideoconverter.ini");
  EXPECT_EQ(here.FormatIniPath, exe + "zelvoflvformat.ini");
  EXPECT_FALSE(fs::exists(config));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 0) << "probe file left";

  // No file can be made in /proc, not even by root.
  IniLocations elsewhere = ResolveIniLocations("/proc", config);
  EXPECT_EQ(elsewhere.SettingsIniPath, config + "zelvoflvvideoconverter.ini");
  EXPECT_TRUE(fs::is_directory(config));
}

TEST(IniLocations, FormatIniFromTheDataFolderWhenNotBesideTheExecutable) {
  TempFolder folder;
  fs::create_directories(folder.path() / "bin");
  fs::create_directories(folder.path() / "share/zelvo");
  const std::string exe = folder.File("bin") + "/";
  WriteFileBytes(folder.File("share/zelvo/zelvoflvformat.ini"), "[formatInfo0]\n");
  EXPECT_EQ(ResolveIniLocations(exe, folder.File("cfg")).FormatIniPath,
            exe + "../share/zelvo/zelvoflvformat.ini");
  WriteFileBytes(exe + "zelvoflvformat.ini", "[formatInfo0]\n");
  EXPECT_EQ(ResolveIniLocations(exe, folder.File("cfg")).FormatIniPath, exe + "zelvoflvformat.ini");
}

}  // namespace
