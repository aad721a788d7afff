#include "settings/app_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "settings/format_catalogue.h"
#include "settings/global_object.h"
#include "settings/settings_keys.h"
#include "temp_folder.h"

using namespace zelvo;
using zelvo::test::TempFolder;
using zelvo::test::WriteFileBytes;

namespace {

TEST(AppSettings, DefaultsWithoutASettingsFile) {
  TempFolder folder;
  const AppSettings a = ReadAppSettings(IniFile(folder.File("none.ini")));
  EXPECT_EQ(a.OutputDir, DefaultOutputFolder());
  EXPECT_EQ(std::filesystem::path(a.OutputDir), std::filesystem::path(HomeFolder()) / "videoconverter");
  EXPECT_EQ(a.SnapOutputDir, a.OutputDir);
  EXPECT_EQ(a.FormatCode, 1);
  EXPECT_EQ(a.OutputFormat, 0);
  EXPECT_EQ(a.SkinIndex, 0);
  EXPECT_EQ(a.Volume, 0);
  EXPECT_FALSE(a.Mute);
  EXPECT_EQ(a.Priority, WorkPriority::Normal);
  EXPECT_TRUE(a.SnapFullSize && a.SnapSmallSize && a.SnapBmp && a.SnapJpg);
  EXPECT_EQ(a.JpegQuality, 30);
  // What the window shows and what a conversion uses are one catalogue item.
  EXPECT_EQ(FormatCodeOfCaption(a.FormatName), a.FormatCode);
}

TEST(AppSettings, OddStoredValues) {
  const struct {
    const char* key;
    const char* stored;
    int volume;
    std::optional<WorkPriority> priority;
    int quality;
    bool mute;
  } kCases[] = {
      // key        stored   volume priority               quality mute
      {"volume", "200", 64, WorkPriority::Normal, 30, false},
      {"volume", "-1", 64, WorkPriority::Normal, 30, false},
      {"volume", "128", 128, WorkPriority::Normal, 30, false},
      {"volume", "loud", 0, WorkPriority::Normal, 30, false},
      {"priority", "7", 0, std::nullopt, 30, false},
      {"priority", "-1", 0, std::nullopt, 30, false},
      {"priority", "0", 0, WorkPriority::Idle, 30, false},
      {"priority", "3", 0, WorkPriority::Lowest, 30, false},
      {"priority", "low", 0, WorkPriority::Normal, 30, false},
      {"jpgCmp", "0", 0, WorkPriority::Normal, 1, false},
      {"jpgCmp", "500", 0, WorkPriority::Normal, 100, false},
      {"mute", "2", 0, WorkPriority::Normal, 30, true},
      {"mute", "yes", 0, WorkPriority::Normal, 30, false},
  };
  TempFolder folder;
  const std::string path = folder.File("odd.ini");
  for (const auto& c : kCases) {
    WriteFileBytes(path, std::string("[settings]\n") + c.key + "=" + c.stored + "\n");
    const AppSettings a = ReadAppSettings(IniFile(path));
    EXPECT_EQ(a.Volume, c.volume) << c.key << "=" << c.stored;
    EXPECT_EQ(a.Priority, c.priority) << c.key << "=" << c.stored;
    EXPECT_EQ(a.JpegQuality, c.quality) << c.key << "=" << c.stored;
    EXPECT_EQ(a.Mute, c.mute) << c.key << "=" << c.stored;
  }
}

TEST(AppSettings, KeysWrittenWithOtherCapitalsAreTheSameKeys) {
  TempFolder folder;
  IniFile ini(folder.File("caps.ini"));
  // Preferences writes "snapOutPutDir", the snapshot code reads "SnapOutPutDir".
  ASSERT_TRUE(WriteString(ini, keys::kSettingsSection, "snapOutPutDir", "/srv/snaps"));
  ASSERT_TRUE(WriteString(ini, keys::kSettingsSection, "Priority", "0"));
  const AppSettings a = ReadAppSettings(IniFile(folder.File("caps.ini")));
  EXPECT_EQ(a.SnapOutputDir, "/srv/snaps");
  EXPECT_EQ(a.Priority, WorkPriority::Idle);
}

TEST(AppSettings, WritersOfTheChosenFormatAndTheJpegQuality) {
  TempFolder folder;
  IniFile ini(folder.File("w.ini"));
  ASSERT_TRUE(WriteChosenFormat(ini, 1900, FormatCaption(1900)));
  EXPECT_FALSE(WriteJpegQuality(ini, 0));
  ASSERT_TRUE(WriteJpegQuality(ini, 85));
  const AppSettings a = ReadAppSettings(IniFile(folder.File("w.ini")));
  EXPECT_EQ(a.FormatCode, 1900);
  EXPECT_EQ(a.FormatName, "Flash Video Format (*.flv)");
  EXPECT_EQ(a.JpegQuality, 85);
}

}  // namespace
