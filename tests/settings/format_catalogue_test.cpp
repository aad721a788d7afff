#include "settings/format_catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "settings/settings_keys.h"
#include "temp_folder.h"

using namespace zelvo;
using zelvo::test::TempFolder;
using zelvo::test::WriteFileBytes;

namespace {

using Items = std::vector<std::string>;

TEST(CatalogueTables, ShapeOfBothTables) {
  const auto device = DeviceCatalogue();
  ASSERT_EQ(device.size(), 25u);
  const std::size_t kItemCounts[] = {9, 5, 6, 1, 5, 4, 3, 3, 7, 7, 10, 3, 3, 2, 6, 1, 1, 8, 1, 2, 1, 9, 1, 10, 7};
  // The window finds the chosen row by its caption, so captions are unique.
  std::set<std::string_view> captions;
  for (std::size_t c = 0; c < device.size(); ++c) {
    EXPECT_EQ(device[c].Items.size(), kItemCounts[c]) << device[c].Caption;
    for (std::string_view item : device[c].Items) EXPECT_TRUE(captions.insert(item).second) << "twice: " << item;
  }
  EXPECT_EQ(device[23].Items[0], "MPEG-1 Video (*.mpg)");
  EXPECT_EQ(device[24].Items[6], "AC-3 Audio Codec (*.ac3)");

  const auto general = GeneralCatalogue();
  ASSERT_EQ(general.size(), 3u);
  for (int g = 0; g < 3; ++g) {
    const CatalogueCategory& d = device[static_cast<std::size_t>(DeviceCategoryOfGeneral(g))];
    EXPECT_EQ(general[static_cast<std::size_t>(g)].Caption, d.Caption);
    EXPECT_TRUE(std::equal(general[g].Items.begin(), general[g].Items.end(), d.Items.begin(), d.Items.end()));
  }
  EXPECT_EQ(DeviceCategoryOfGeneral(3), -1);
}

TEST(CatalogueTables, CodesSectionsAndCaptions) {
  EXPECT_EQ(FormatSection(0), "formatInfo0");
  EXPECT_EQ(FormatSection(1), "formatInfo1");
  EXPECT_EQ(FormatSection(FormatCodeOf(1, 1)), "formatInfo101");
  EXPECT_EQ(FormatCaption(1), "iPod Video H.264 (*.mp4)");
  EXPECT_EQ(FormatCaption(2406), "AC-3 Audio Codec (*.ac3)");
  for (int code : {-1, 9, 310, 2407, 2500}) EXPECT_EQ(FormatCaption(code), "") << code;
  EXPECT_EQ(FormatCodeOfCaption("  Flash Video Format (*.flv) "), 1900);
  EXPECT_EQ(FormatCodeOfCaption("Apple iPod Video MPEG-4 Movie (*.mp4)"), std::nullopt);
}

TEST(FormatList, BuildsCollapsedCategoriesAndExpandsThoseSavedOpen) {
  TempFolder folder;
  IniFile settings(folder.File("s.ini"));
  NameTable names;
  std::vector<FormatListRow> rows = BuildFormatList(settings, names);
  ASSERT_EQ(rows.size(), 25u);
  for (int c = 0; c < 25; ++c) {
    EXPECT_FALSE(rows[c].Info.IsItem);
    EXPECT_TRUE(rows[c].Info.CanExpand && rows[c].Info.Collapsed);
    EXPECT_EQ(rows[c].Info.Number, c);
  }
  EXPECT_EQ(names.Name(14, 5), "Nokia N Series MPEG-4 Video(*.mp4)");
  EXPECT_EQ(names.Name(3, 1), "");
  EXPECT_EQ(names.Name(51, 0), "");

  // Expand category 3 (one item) and 13 (two items), save, build again.
  rows[3].Info.Collapsed = false;
  rows[13].Info.Collapsed = false;
  ASSERT_TRUE(SaveListState(settings, rows));
  EXPECT_EQ(IniFile(folder.File("s.ini")).Read("lstformat", "3"), "0");
  EXPECT_EQ(IniFile(folder.File("s.ini")).Read("lstformat", "0"), "1");

  rows = BuildFormatList(IniFile(folder.File("s.ini")), names);
  ASSERT_EQ(rows.size(), 28u);
  EXPECT_EQ(rows[4].Caption, "GPhone MPEG-4 Movie (*.mp4)");
  EXPECT_TRUE(rows[4].Info.IsItem);
  EXPECT_FALSE(rows[4].Info.CanExpand);
  EXPECT_EQ(rows[4].Info.Number, 300);
  EXPECT_EQ(rows[15].Info.Number, 1300);
  EXPECT_EQ(rows[16].Info.Number, 1301);
  EXPECT_EQ(rows[17].Info.Number, 14);
  EXPECT_EQ(CategoryItemRows(names, 10).size(), 10u);
  EXPECT_TRUE(CategoryItemRows(names, 30).empty());
}

TEST(FormatMappings, DisplayNamesToEngineValues) {
  const struct { const char* display; std::optional<std::string> engine; } kVideo[] = {
      {"mpeg-4", "mpeg4"}, {"MPEG-4", "mpeg4"}, {"xvid", "libxvid"}, {"h264", "libx264"},
      {"flv", "flv"},      {"wmv2", "wmv2"},    {"mjpeg", "mjpeg"},  {"divx", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& c : kVideo) EXPECT_EQ(VideoEncoderName(c.display), c.engine) << c.display;

  const struct { const char* display; std::optional<std::string> engine; } kAudio[] = {
      {"mp3", "libmp3lame"}, {"ogg", "libvorbis"}, {"aac", "aac"},     {"AAC", "aac"},
      {"flac", "flac"},      {"ac-3", "ac3"},      {"amr_nb", "libopencore_amrnb"},
      {"pcm_s16", "pcm_s16le"}, {"pcm_u16", "pcm_u16le"}, {"pcm_mulaw ", "pcm_mulaw"}, {"pcm_mulaw", "pcm_mulaw"},
      {"wma1", "wmav1"},     {"wma2", "wmav2"},    {"vorbis", std::nullopt},
  };
  for (const auto& c : kAudio) EXPECT_EQ(AudioEncoderName(c.display), c.engine) << c.display;

  EXPECT_EQ(ChannelValue("as source"), "as source");
  EXPECT_EQ(ChannelValue("mono 1 channel"), "1");
  EXPECT_EQ(ChannelValue("stereo 2 channels"), "2");
  EXPECT_EQ(ChannelValue("Stereo 2 channels"), std::nullopt);

  const struct { const char* item; std::optional<int> value; } kVolume[] = {
      {"25%", 64},   {"100%", 256}, {"175%", 448},         {"250%", 640},        {"400%", 1024},
      {"110%", std::nullopt}, {"225%", std::nullopt}, {"100", std::nullopt}, {"%", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& c : kVolume) EXPECT_EQ(VolumeValue(c.item), c.value) << c.item;
}

TEST(FormatLists, SplittingAndTheNullMarker) {
  EXPECT_EQ(SplitList(FormatParameter::VideoSize, "320x240,as source"), (Items{"320x240", "as source"}));
  EXPECT_EQ(SplitList(FormatParameter::VideoSize, "a,,b"), (Items{"a", "", "b"}));
  EXPECT_EQ(SplitList(FormatParameter::Channel, "mono 1 channel, stereo 2 channels"),
            (Items{"mono 1 channel", " stereo 2 channels"}));
  EXPECT_EQ(SplitList(FormatParameter::FrameRate, "null"), std::nullopt);
  EXPECT_EQ(SplitList(FormatParameter::FrameRate, "NULL"), (Items{"NULL"}));
  EXPECT_EQ(SplitList(FormatParameter::VideoBitRate, ""), (Items{""}));
  for (FormatParameter p : {FormatParameter::VideoEncoder, FormatParameter::AudioBitRate, FormatParameter::SampleRate,
                            FormatParameter::AudioEncoder, FormatParameter::Channel, FormatParameter::Volume})
    EXPECT_EQ(SplitList(p, ""), std::nullopt) << static_cast<int>(p);
}

TEST(FormatLists, FrameSizeCommitRules) {
  const struct { const char* text; FrameSizeCheck::Result outcome; const char* stored; } kCases[] = {
      {"320x240", FrameSizeCheck::Valid, "320x240"},   {"321x240", FrameSizeCheck::Corrected, "320x240"},
      {"0x0", FrameSizeCheck::Corrected, "2x2"},       {"1x3", FrameSizeCheck::Corrected, "2x2"},
      {"As Source", FrameSizeCheck::AsSource, ""},     {"320", FrameSizeCheck::Invalid, ""},
      {"x240", FrameSizeCheck::Invalid, ""},           {"abcx240", FrameSizeCheck::Invalid, ""},
      {"320x240x", FrameSizeCheck::Invalid, ""},       {"-320x240", FrameSizeCheck::Invalid, ""},
  };
  for (const auto& c : kCases) {
    const FrameSizeCheck check = CheckFrameSize(c.text);
    EXPECT_EQ(check.Outcome, c.outcome) << c.text;
    EXPECT_EQ(check.Text, c.stored) << c.text;
  }
}

// A small catalogue of its own: a video format with H.264 keys, an audio-only
// format, a format whose lists are all missing.
constexpr const char* kFormatIni =
    "[formatInfo7]\r\n"
    "Format=ipod\r\nFileExt=mp4\r\n"
    "VideoSize=320x240,640x480,as source\r\niVideoSize=1\r\n"
    "VideoBitRate=512,768\r\niVideoBitRate=1\r\n"
    "FrameRate=25,29.97\r\niFrameRate=1\r\n"
    "VideoEncoder=mpeg-4,h264\r\niVideoEncoder=0\r\n"
    "AudioBitRate=96,128\r\niAudioBitRate=1\r\n"
    "SampleRate=44100,48000\r\niSampleRate=0\r\n"
    "AudioEncoder=aac\r\niAudioEncoder=0\r\n"
    "Channel=stereo 2 channels,mono 1 channel\r\niChannel=1\r\n"
    "Volume=50%,100%\r\niVolume=1\r\n"
    "paraGop=12\r\nparaLevel=0\r\nparaCoder=0\r\nparaMaxBitrate=x\r\nparaBitExact=TRUE\r\nparaBufferSize=\r\n"
    "[formatInfo8]\r\n"
    "Format=mp3\r\nFileExt=mp3\r\nVideoSize=null\r\nVideoEncoder=\r\n"
    "AudioBitRate=128\r\nSampleRate=44100\r\nAudioEncoder=mp3\r\nChannel=stereo 2 channels\r\nVolume=100%\r\n";

class FormatPanelTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFileBytes(folder_.File("f.ini"), kFormatIni); }
  std::string SettingsPath() const { return folder_.File("s.ini"); }
  IniFile FormatIni() const { return IniFile(folder_.File("f.ini")); }

  TempFolder folder_;
};

TEST_F(FormatPanelTest, AnUntouchedFormatShowsAndUsesTheCatalogueDefaults) {
  const FormatPanel panel = LoadFormatPanel(FormatIni(), IniFile(SettingsPath()), 7);
  const CatalogueFormat& c = panel.Catalogue;
  EXPECT_EQ(c.Format, "ipod");
  const struct { FormatParameter p; int selected; const char* text; } kExpected[] = {
      {FormatParameter::VideoSize, 1, "640x480"},   {FormatParameter::VideoBitRate, 1, "768"},
      {FormatParameter::FrameRate, 1, "29.97"},     {FormatParameter::VideoEncoder, 0, "mpeg-4"},
      {FormatParameter::AudioBitRate, 1, "128"},    {FormatParameter::SampleRate, 0, "44100"},
      {FormatParameter::AudioEncoder, 0, "aac"},    {FormatParameter::Channel, 1, "mono 1 channel"},
      {FormatParameter::Volume, 1, "100%"},
  };
  for (const auto& e : kExpected) {
    EXPECT_TRUE(c[e.p].Enabled) << static_cast<int>(e.p);
    EXPECT_EQ(c[e.p].Selected, e.selected) << static_cast<int>(e.p);
    EXPECT_EQ(c[e.p].Text, e.text) << static_cast<int>(e.p);
  }
  EXPECT_TRUE(panel.Zoom.Enabled);
  EXPECT_EQ(panel.Zoom.Selected, 0);
  EXPECT_TRUE(panel.VideoEnabled && panel.AudioEnabled);

  IniFile settings(SettingsPath());
  const struct { std::string_view key; const char* value; } kChoices[] = {
      {keys::kParaVideoSize, "640x480"}, {keys::kParaVideoBitRate, "768"}, {keys::kParaFrameRate, "29.97"},
      {keys::kParaVideoEncoder, "mpeg4"}, {keys::kParaAudioEncoder, "aac"}, {keys::kParaAudioBitRate, "128"},
      {keys::kParaSampleRate, "44100"},  {keys::kParaChannel, "1"},         {keys::kParaVolume, "256"},
  };
  for (const auto& e : kChoices) EXPECT_EQ(ReadFormatChoice(FormatIni(), settings, 7, e.key, "def"), e.value) << e.key;
  EXPECT_EQ(ReadFormatChoice(FormatIni(), settings, 7, keys::kParaZoom, "lbox"), "lbox");
  EXPECT_EQ(ReadFormatChoice(FormatIni(), settings, 8, keys::kParaVideoEncoder, ""), "");
  EXPECT_EQ(ReadFormatChoice(FormatIni(), settings, 8, keys::kParaAudioEncoder, ""), "libmp3lame");
}

TEST_F(FormatPanelTest, StoredChoicesAreSelected) {
  IniFile settings(SettingsPath());
  ASSERT_TRUE(settings.Write("formatInfo7", {{"paraVideoSize", "400x300"}, {"paraVideoBitRate", "512"},
                                             {"iFrameRate", "0"}, {"iVideoEncoder", "5"}, {"paraZoom", "center"},
                                             {"paraSampleRate", "48000"}, {"iChannel", "0"}}));
  const FormatPanel panel = LoadFormatPanel(FormatIni(), IniFile(SettingsPath()), 7);
  const CatalogueFormat& c = panel.Catalogue;
  EXPECT_EQ(c[FormatParameter::VideoSize].Selected, -1);
  EXPECT_EQ(c[FormatParameter::VideoSize].Text, "400x300");
  EXPECT_EQ(c[FormatParameter::VideoBitRate].Selected, 0);
  EXPECT_EQ(c[FormatParameter::FrameRate].Selected, 0);
  EXPECT_EQ(c[FormatParameter::VideoEncoder].Selected, -1);
  EXPECT_EQ(c[FormatParameter::SampleRate].Selected, 1);
  EXPECT_EQ(c[FormatParameter::Channel].Selected, 0);
  EXPECT_TRUE(panel.Zoom.Enabled);
  EXPECT_EQ(panel.Zoom.Selected, -1);
  EXPECT_EQ(ReadFormatChoice(FormatIni(), settings, 7, "PARAVIDEOSIZE", "def"), "400x300");

  ASSERT_TRUE(WriteString(settings, "formatInfo7", "paraZoom", "null"));
  EXPECT_FALSE(LoadFormatPanel(FormatIni(), IniFile(SettingsPath()), 7).Zoom.Enabled);
}

TEST_F(FormatPanelTest, AudioOnlyAndUnknownFormatsDisableTheirGroups) {
  const FormatPanel audio = LoadFormatPanel(FormatIni(), IniFile(SettingsPath()), 8);
  EXPECT_FALSE(audio.VideoEnabled);
  EXPECT_TRUE(audio.AudioEnabled);
  EXPECT_FALSE(audio.Catalogue[FormatParameter::VideoEncoder].Enabled);
  EXPECT_FALSE(audio.Catalogue[FormatParameter::FrameRate].Enabled);  // missing key reads "null"

  const FormatPanel none = LoadFormatPanel(FormatIni(), IniFile(SettingsPath()), 99);
  EXPECT_EQ(none.Catalogue.Format, "null");
  EXPECT_EQ(none.Catalogue.FileExt, "mp4");
  for (FormatParameter p : kFormatParameters) {
    EXPECT_FALSE(none.Catalogue[p].Enabled);
    EXPECT_TRUE(none.Catalogue[p].Items.empty());
  }
  EXPECT_FALSE(none.VideoEnabled || none.AudioEnabled);
  EXPECT_EQ(none.Catalogue[FormatParameter::VideoSize].Text, "320x240");
}

TEST_F(FormatPanelTest, ChoosingH264CopiesTheKeysThatPassTheirChecks) {
  IniFile settings(SettingsPath());
  ASSERT_TRUE(WriteString(settings, "formatInfo7", "paraLevel", "13"));
  ASSERT_TRUE(WriteChoice(settings, FormatIni(), 7, FormatParameter::VideoEncoder, 1, "h264"));
  IniFile s(SettingsPath());
  const struct { const char* key; std::optional<std::string> value; } kExpected[] = {
      {"iVideoEncoder", "1"}, {"paraVideoEncoder", "libx264"}, {"paraGop", "12"}, {"paraCoder", "0"},
      {"paraBitExact", "TRUE"}, {"paraLevel", "13"}, {"paraMaxBitrate", std::nullopt},
      {"paraBufferSize", std::nullopt}, {"paraQscale", std::nullopt},
  };
  for (const auto& e : kExpected) EXPECT_EQ(s.Read("formatInfo7", e.key), e.value) << e.key;
}

TEST_F(FormatPanelTest, WritingOneChoice) {
  IniFile settings(SettingsPath());
  const struct {
    FormatParameter p; int index; const char* text; const char* indexKey; const char* valueKey;
    std::optional<std::string> value;
  } kCases[] = {
      {FormatParameter::Volume, 1, "100%", "iVolume", "paraVolume", "256"},
      {FormatParameter::Volume, 0, "110%", "iVolume", "paraVolume", "256"},  // maps to nothing: previous stays
      {FormatParameter::Channel, 0, "stereo 2 channels", "iChannel", "paraChannel", "2"},
      {FormatParameter::AudioEncoder, 0, "ogg", "iAudioEncoder", "paraAudioEncoder", "libvorbis"},
      {FormatParameter::FrameRate, 1, "29.97", "iFrameRate", "paraFrameRate", "29.97"},
      {FormatParameter::VideoSize, 0, "352x288", "iVideoSize", "paraVideoSize", "352x288"},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(WriteChoice(settings, FormatIni(), 7, c.p, c.index, c.text));
    IniFile s(SettingsPath());
    EXPECT_EQ(s.Read("formatInfo7", c.indexKey), std::to_string(c.index)) << c.text;
    EXPECT_EQ(s.Read("formatInfo7", c.valueKey), c.value) << c.text;
  }
  ASSERT_TRUE(WriteZoomChoice(settings, 7, 2));
  EXPECT_FALSE(WriteZoomChoice(settings, 7, 3));
  EXPECT_EQ(IniFile(SettingsPath()).Read("formatInfo7", "paraZoom"), "pan");
}

TEST_F(FormatPanelTest, ResetWritesEveryCatalogueDefault) {
  IniFile settings(SettingsPath());
  ASSERT_TRUE(settings.Write("formatInfo7", {{"paraVideoSize", "1920x1080"}, {"iVolume", "0"}, {"paraVolume", "128"},
                                             {"paraZoom", "lbox"}, {"paraVideoEncoder", "libx264"}}));
  FormatPanel panel;
  ASSERT_TRUE(ResetToCatalogueDefaults(settings, FormatIni(), 7, panel));
  EXPECT_EQ(panel.Zoom.Selected, 0);
  IniFile s(SettingsPath());
  const struct { const char* key; const char* value; } kExpected[] = {
      {"iVideoEncoder", "0"}, {"paraVideoEncoder", "mpeg4"}, {"iVideoSize", "1"},     {"paraVideoSize", "640x480"},
      {"iFrameRate", "1"},    {"paraFrameRate", "29.97"},    {"iVideoBitRate", "1"},  {"paraVideoBitRate", "768"},
      {"paraZoom", "full"},   {"iAudioEncoder", "0"},        {"paraAudioEncoder", "aac"}, {"iAudioBitRate", "1"},
      {"paraAudioBitRate", "128"}, {"iSampleRate", "0"},     {"paraSampleRate", "44100"}, {"iChannel", "1"},
      {"paraChannel", "1"},   {"iVolume", "1"},              {"paraVolume", "256"},
  };
  for (const auto& e : kExpected) EXPECT_EQ(s.Read("formatInfo7", e.key), e.value) << e.key;

  // The panel loaded afterwards shows what the reset showed.
  const FormatPanel loaded = LoadFormatPanel(FormatIni(), s, 7);
  for (FormatParameter p : kFormatParameters) {
    EXPECT_EQ(loaded.Catalogue[p].Selected, panel.Catalogue[p].Selected) << static_cast<int>(p);
    EXPECT_EQ(loaded.Catalogue[p].Text, panel.Catalogue[p].Text) << static_cast<int>(p);
  }
}

TEST_F(FormatPanelTest, ResetOfAnAsSourceDefaultStoresIt) {
  std::string ini = kFormatIni;
  ini.replace(ini.find("iVideoSize=1"), 12, "iVideoSize=2");
  WriteFileBytes(folder_.File("f.ini"), ini);
  IniFile settings(SettingsPath());
  ASSERT_TRUE(WriteString(settings, "formatInfo7", "paraVideoSize", "1920x1080"));
  FormatPanel panel;
  ASSERT_TRUE(ResetToCatalogueDefaults(settings, FormatIni(), 7, panel));
  EXPECT_EQ(IniFile(SettingsPath()).Read("formatInfo7", "paraVideoSize"), "as source");
  EXPECT_EQ(IniFile(SettingsPath()).Read("formatInfo7", "iVideoSize"), "2");
}

TEST_F(FormatPanelTest, ResetOfAnAudioFormatLeavesTheVideoKeysAlone) {
  IniFile settings(SettingsPath());
  FormatPanel panel;
  ASSERT_TRUE(ResetToCatalogueDefaults(settings, FormatIni(), 8, panel));
  IniFile s(SettingsPath());
  for (const char* key : {"iVideoEncoder", "paraVideoEncoder", "paraVideoSize", "paraZoom", "iFrameRate"})
    EXPECT_EQ(s.Read("formatInfo8", key), std::nullopt) << key;
  EXPECT_EQ(s.Read("formatInfo8", "paraAudioEncoder"), "libmp3lame");
  EXPECT_EQ(s.Read("formatInfo8", "paraVolume"), "256");
}

}  // namespace
