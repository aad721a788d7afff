#include "settings/ini_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "temp_folder.h"

namespace fs = std::filesystem;
using namespace zelvo;
using zelvo::test::ReadFileBytes;
using zelvo::test::TempFolder;
using zelvo::test::WriteFileBytes;

namespace {

TEST(IniReadingRules, IntegersAreWholeDecimalTexts) {
  const struct { const char* text; std::optional<int> value; } kCases[] = {
      {"0", 0},          {"64", 64},       {"-1", -1},       {"+7", 7},
      {"2147483647", 2147483647},          {"2147483648", std::nullopt},
      {"", std::nullopt}, {"12abc", std::nullopt}, {"0x10", std::nullopt}, {"1.5", std::nullopt},
      {"+-3", std::nullopt}, {"--3", std::nullopt}, {"+", std::nullopt},  {" 5", std::nullopt},
  };
  for (const auto& c : kCases) EXPECT_EQ(ParseInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(IniReadingRules, TypedReadsFallBackToTheDefault) {
  TempFolder folder;
  WriteFileBytes(folder.File("a.ini"), "[s]\nnum=42\nbad=forty\nempty=\nyes=5\nno=0\ntext=true\n");
  IniFile ini(folder.File("a.ini"));
  EXPECT_EQ(ReadInteger(ini, "s", "num", 1), 42);
  EXPECT_EQ(ReadInteger(ini, "s", "bad", 1), 1);
  EXPECT_EQ(ReadInteger(ini, "s", "missing", 1), 1);
  EXPECT_EQ(ReadInteger(ini, "other", "num", 1), 1);
  // An empty value is a value for texts, and no number for integers.
  EXPECT_EQ(ReadString(ini, "s", "empty", "def"), "");
  EXPECT_EQ(ReadInteger(ini, "s", "empty", 3), 3);
  EXPECT_TRUE(ReadBool(ini, "s", "yes", false));
  EXPECT_FALSE(ReadBool(ini, "s", "no", true));
  EXPECT_TRUE(ReadBool(ini, "s", "text", true));
  EXPECT_FALSE(ReadBool(ini, "s", "text", false));
}

TEST(IniFile, MissingFileReadsDefaultsAndTheFirstWriteCreatesIt) {
  TempFolder folder;
  const std::string path = folder.File("new.ini");
  IniFile ini(path);
  EXPECT_EQ(ini.Read("settings", "volume"), std::nullopt);
  ASSERT_TRUE(WriteInteger(ini, "settings", "volume", 64));
  EXPECT_EQ(ReadFileBytes(path), "[settings]\nvolume=64\n");
  EXPECT_EQ((fs::status(path).permissions() & fs::perms::all),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST(IniFile, ReadsFilesWrittenOnWindows) {
  TempFolder folder;
  const std::string path = folder.File("win.ini");
  // Byte-order mark, CRLF line ends, other capital letters, blanks around
  // "=", a comment, and an ANSI (Windows-1252) e-acute in a folder name.
  WriteFileBytes(path,
                 "\xEF\xBB\xBF; written by Windows\r\n[SETTINGS]\r\nOUTPUTDIR = D:\\Videos\r\nVolume=100\r\n"
                 "\r\n[FormatInfo101]\r\nparaVideoSize=320x240\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.Read("settings", "OutPutDir"), "D:\\Videos");
  EXPECT_EQ(ReadInteger(ini, "Settings", "volume", 0), 100);
  EXPECT_EQ(ini.Read("formatinfo101", "PARAVIDEOSIZE"), "320x240");

  WriteFileBytes(path, "[settings]\r\nSnapOutPutDir=C:\\Vid\xE9os\r\n");
  EXPECT_EQ(IniFile(path).Read("settings", "snapOutPutDir"), "C:\\Vid\xC3\xA9os");
}

TEST(IniFile, WritesKeepOtherKeysCommentsAndTheKeysSpelling) {
  TempFolder folder;
  const std::string path = folder.File("keep.ini");
  WriteFileBytes(path, "; mine\r\n[Settings]\r\nSnapOutPutDir=/a\r\nmute=1\r\n[lstformat]\r\n0=0\r\n");
  IniFile ini(path);
  ASSERT_TRUE(WriteString(ini, "settings", "snapOutPutDir", "/b"));
  const std::string text = ReadFileBytes(path);
  EXPECT_NE(text.find("; mine"), std::string::npos) << text;
  EXPECT_NE(text.find("SnapOutPutDir=/b"), std::string::npos) << text;
  EXPECT_EQ(text.find("snapOutPutDir"), std::string::npos) << text;
  EXPECT_EQ(IniFile(path).Read("SETTINGS", "Mute"), "1");
  EXPECT_EQ(IniFile(path).Read("lstformat", "0"), "0");
}

TEST(IniFile, EveryWriteReachesTheFileAndNoneIsLost) {
  TempFolder folder;
  const std::string path = folder.File("two.ini");
  IniFile first(path), second(path);
  ASSERT_TRUE(WriteString(first, "settings", "a", "1"));
  EXPECT_EQ(IniFile(path).Read("settings", "a"), "1");
  // The second object was made before the first write; its write keeps it.
  ASSERT_TRUE(second.Write("settings", {{"b", "2"}, {"c", "3"}}));
  IniFile fresh(path);
  EXPECT_EQ(fresh.Read("settings", "a"), "1");
  EXPECT_EQ(fresh.Read("settings", "b"), "2");
  EXPECT_EQ(fresh.Read("settings", "c"), "3");
}

TEST(IniFile, RefusesValuesThatWouldBreakTheLine) {
  TempFolder folder;
  const std::string path = folder.File("lines.ini");
  IniFile ini(path);
  ASSERT_TRUE(WriteString(ini, "settings", "OutPutDir", "/a"));
  EXPECT_FALSE(WriteString(ini, "settings", "OutPutDir", "/a\n[x]\ny=1"));
  EXPECT_FALSE(WriteString(ini, "settings", "OutPutDir", "/a\rb"));
  EXPECT_EQ(IniFile(path).Read("settings", "OutPutDir"), "/a");
  EXPECT_EQ(IniFile(path).Read("x", "y"), std::nullopt);
}

TEST(IniFile, ContentThatIsNotTextReadsAsDefaults) {
  TempFolder folder;
  const std::string path = folder.File("noise.ini");
  std::mt19937 random(20240611);
  for (int round = 0; round < 50; ++round) {
    std::string bytes(1 + random() % 4096, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    // Half the rounds without NUL bytes: they pass as ANSI text and must
    // still parse without harm.
    if (round % 2 == 1)
      for (char& b : bytes)
        if (b == '\0') b = '=';
    WriteFileBytes(path, bytes);
    IniFile ini(path);
    EXPECT_EQ(ReadInteger(ini, "settings", "volume", -5), -5);
    EXPECT_EQ(ReadString(ini, "settings", "OutPutDir", "def"), "def");
  }
  WriteFileBytes(path, std::string("[settings]\0volume=3\n", 20));
  IniFile ini(path);
  EXPECT_EQ(ReadInteger(ini, "settings", "volume", -5), -5);
  ASSERT_TRUE(WriteInteger(ini, "settings", "volume", 9));
  EXPECT_EQ(ReadFileBytes(path), "[settings]\nvolume=9\n");
}

// Leftovers of a failed replacement would be the temporary files.
std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicReplacement, AFailedWriteLeavesTheOldFileIntact) {
  TempFolder folder;
  const std::string path = folder.File("settings.ini");
  const std::string old = "[settings]\nOutPutDir=/home/u/videos\nvolume=64\n";
  WriteFileBytes(path, old);
  IniFile ini(path);

  // The disk fills up while the temporary file is written: file size limit
  // smaller than the new contents (works for root too, unlike permissions).
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit limit{}, saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  limit = saved;
  limit.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool written = WriteString(ini, "settings", "OutPutDir", std::string(200, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(written);
  EXPECT_EQ(ReadFileBytes(path), old);
  EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"settings.ini"});
  EXPECT_EQ(ini.Read("settings", "OutPutDir"), "/home/u/videos");
}

TEST(AtomicReplacement, AReadOnlyFolderKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempFolder folder;
  const std::string path = folder.File("settings.ini");
  WriteFileBytes(path, "[settings]\nvolume=64\n");
  fs::permissions(folder.path(), fs::perms::owner_read | fs::perms::owner_exec);
  IniFile ini(path);
  EXPECT_FALSE(WriteInteger(ini, "settings", "volume", 1));
  fs::permissions(folder.path(), fs::perms::owner_all);
  EXPECT_EQ(ReadFileBytes(path), "[settings]\nvolume=64\n");
  EXPECT_EQ(FolderEntries(folder.path()), std::vector<std::string>{"settings.ini"});
}

TEST(AtomicReplacement, KeepsModeAndSymbolicLinks) {
  TempFolder folder;
  fs::create_directory(folder.path() / "real");
  const std::string target = folder.File("real/settings.ini");
  WriteFileBytes(target, "[settings]\nvolume=1\n");
  ::chmod(target.c_str(), 0600);
  const std::string link = folder.File("link.ini");
  fs::create_symlink("real/settings.ini", link);

  IniFile ini(link);
  ASSERT_TRUE(WriteInteger(ini, "settings", "volume", 2));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileBytes(target), "[settings]\nvolume=2\n");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(FolderEntries(folder.path() / "real"), std::vector<std::string>{"settings.ini"});
}

TEST(AtomicReplacement, RefusesToReplaceAFolder) {
  TempFolder folder;
  fs::create_directory(folder.path() / "settings.ini");
  EXPECT_FALSE(ReplaceFileContents(folder.File("settings.ini"), "x"));
  EXPECT_TRUE(fs::is_directory(folder.path() / "settings.ini"));
}

}  // namespace
