#include "settings/format_catalogue.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "settings/settings_keys.h"

namespace zelvo {

namespace {

// Category and item captions of the format list.
constexpr std::string_view kDevice0[] = {
    "iPod Video MPEG-4 (*.mp4)",
    "iPod Video H.264 (*.mp4)",
    "iPod MPEG-4 Excellent (320 x 240)(*.mp4)",
    "iPod MPEG-4 Normal (320 x 240)(*.mp4)",
    "iPod MPEG-4 Mini (320 x 240)(*.mp4)",
    "iPod Touch MPEG-4 Excellent (*.mp4)",
    "iPod Touch MPEG-4 (480 x 320) (*.mp4)",
    "iPod Touch MPEG-4 (320 x 240) (*.mp4)",
    "iPod Touch MPEG-4 Wide Screen (*.mp4)",
};

constexpr std::string_view kDevice1[] = {
    "iPhone MPEG-4 Extra Video (*.mp4)",
    "iPhone MPEG-4 Wide Screen (*.mp4)",
    "iPhone MPEG-4 Movie (*.mp4)",
    "iPhone Movie for 480p TV Out (*.mp4)",
    "iPhone Movie for 576p TV Out (*.mp4)",
};

constexpr std::string_view kDevice2[] = {
    "Apple TV (640 x 480) MPEG-4 Excellent (*.mp4)",
    "Apple TV (640 x 480) MPEG-4 Normal (*.mp4)",
    "Apple TV (640 x 480) MPEG-4 Mini (*.mp4)",
    "Apple H.264 (320 x 240) (*.mp4)",
    "Apple H.264 480P (640 x 480) (*.mp4)",
    "Apple H.264 720p (1280 x 720) (*.mp4)",
};

constexpr std::string_view kDevice3[] = {
    "GPhone MPEG-4 Movie (*.mp4)",
};

constexpr std::string_view kDevice4[] = {
    "PSP MPEG-4 Excellent Quality (*.mp4)",
    "PSP MPEG-4 Normal Quality (*.mp4)",
    "PSP MPEG-4 Mini Size (*.mp4)",
    "PSP H.264/AVC Video (*.mp4)",
    "PSP Video (480P) (*.mp4)",
};

constexpr std::string_view kDevice5[] = {
    "PS3 MPEG-4 Video (480P) (*.mp4)",
    "PS3 MPEG-4 Video (480P) Excellent (*.mp4)",
    "PS3 MPEG-4 Video (720P) (*.mp4)",
    "PS3 MPEG-4 Video (1080P) (*.mp4)",
};

constexpr std::string_view kDevice6[] = {
    "Microsoft Zune MPEG-4 Video (*.mp4)",
    "Microsoft Zune MPEG-4 AVC Video (*.mp4)",
    "Microsoft Zune Windows Media Video (*.wmv)",
};

constexpr std::string_view kDevice7[] = {
    "Sony Walkman MPEG-4 Video (*.mp4)",
    "Sony Walkman AVC Video (*.mp4)",
    "Sony Walkman WMV Video (*.wmv)",
};

constexpr std::string_view kDevice8[] = {
    "Archos H.264 Video (*.mp4)",
    "Archos MPEG4 Video (*.mp4)",
    "Archos 105 Video (*.wmv)",
    "Archos 404/405 Video (*.avi)",
    "Archos 504/604 Video (*.avi)",
    "Archos 605/705/TV+ Video (*.avi)",
    "Archos AV500/700 Video (*.avi)",
};

constexpr std::string_view kDevice9[] = {
    "Creative Zen H.264 Video (*.mp4)",
    "Creative Zen MPEG4 Video (*.mp4)",
    "Creative Zen Xvid Video (*.avi)",
    "Creative Zen X-Fi Video (*.avi)",
    "Creative Zen Vison Video (*.avi)",
    "Creative Zen Vison M Video (*.avi)",
    "Creative Zen Vison W Video (*.avi)",
};

constexpr std::string_view kDevice10[] = {
    "iRiver H.264 Video (*.mp4)",
    "iRiver MPEG4 Video (*.mp4)",
    "iRiver WMV Video (*.wmv)",
    "iRiver Xvid Video (*.avi)",
    "iRiver E10 Video (*.avi)",
    "iRiver U10/Clix Video (*.avi)",
    "iRiver B20/X20/Clix 2/E100/Lplayer Video (*.avi)",
    "iRiver Spinn/D28/DICPLE D30 Video (*.avi)",
    "iRiver P10/P20 Video (*.avi)",
    "iRiver PMP-120/140/IMP-1000/1100 Video (*.avi)",
};

constexpr std::string_view kDevice11[] = {
    "Sandisk Sansa AVI Video (*.avi)",
    "Sandisk Sansa WMV Video (*.wmv)",
    "Sandisk Sansa MPEG-4 Video (*.mp4)",
};

constexpr std::string_view kDevice12[] = {
    "Microsoft Xbox WMV Video (*.wmv)",
    "Microsoft Xbox AVI Video (*.avi)",
    "Microsoft Xbox MPEG-4 Video (*.mp4)",
};

constexpr std::string_view kDevice13[] = {
    "Nitendeo Wii AVI Video (*.avi)",
    "Nitendeo Wii MOV Video (*.mov)",
};

constexpr std::string_view kDevice14[] = {
    "Mobile Phone 3GP h263 Video(*.3gp)",
    "Mobile Phone 3GP MPEG-4 Video(*.3gp)",
    "Mobile Phone 3GP2 h263 Video(*.3gp)",
    "Mobile Phone 3GP2 MPEG-4 Video(*.3gp)",
    "Mobile Phone MPEG-4 Video(*.mp4)",
    "Nokia N Series MPEG-4 Video(*.mp4)",
};

constexpr std::string_view kDevice15[] = {
    "BlackBerry MPEG-4 Video(*.mp4)",
};

constexpr std::string_view kDevice16[] = {
    "Nokia N Series MPEG-4 Video (*.mp4)",
};

constexpr std::string_view kDevice17[] = {
    "Dell Axim 51 Video (*.wmv)",
    "Dell Axim 51V Video (*.wmv)",
    "HP iPAQ hw6500 Series Video (*.wmv)",
    "HP iPAQ hx2000/rx3000/rx1900 Series Video (*.wmv)",
    "HP iPAQ hx4700 Series Video (*.wmv)",
    "Palm Treo Series Video (*.wmv)",
    "HTC Touch Diamond Video (*.wmv)",
    "General Pocket PC Video (*.wmv)",
};

constexpr std::string_view kDevice18[] = {
    "MOV - Quick Time Video (*.mov)",
};

constexpr std::string_view kDevice20[] = {
    "Toshiba Gigabeat WMV Movie (*.wmv)",
};

constexpr std::string_view kDevice21[] = {
    "HD AVI Video (*.avi)",
    "HD Divx Video (*.avi)",
    "HD H.264/MPEG-4 AVC Video (*.mp4)",
    "HD MOV Video (*.mov)",
    "HD WMV Video (*.wmv)",
    "HD MPEG-4 Video (*.mp4)",
    "HD Xvid Video (*.avi)",
    "HD MPEG2-PS Video (*.mpg)",
    "HD MPEG2-TS Video (*.ts)",
};

constexpr std::string_view kDevice22[] = {
    "MKV - Matroska Video (*.mkv)",
};

constexpr std::string_view kFlashVideo[] = {
    "Flash Video Format (*.flv)",
    "Flash SWF Format (*.swf)",
};

constexpr std::string_view kGeneralVideo[] = {
    "MPEG-1 Video (*.mpg)",
    "MPEG-2 Video (*.mpg)",
    "MPEG-4 Video (*.mp4)",
    "H.264/MPEG-4 AVC Video (*.mp4)",
    "AVI Video (*.avi)",
    "WMV Video (*.wmv)",
    "Divx Video (*.avi)",
    "Xvid Video (*.avi)",
    "DV - NTSC -Digital Video Format (*.dv)",
    "DV - PAL -Digital Video Format (*.dv)",
};

constexpr std::string_view kGeneralAudio[] = {
    "MP3 MPEG Layer-3 Audio (*.mp3)",
    "AAC Advenced Audio Codec (*.aac)",
    "M4A MPEG-4 Audio (*.m4a)",
    "WMA - Windows Meida Audio (*.wma)",
    "WAV - Waveform Audio (*.wav)",
    "OGG Vorbis Audio Codec (*.ogg)",
    "AC-3 Audio Codec (*.ac3)",
};

constexpr CatalogueCategory kDeviceTable[] = {
    {"Apple iPod", kDevice0},
    {"Apple iPhone", kDevice1},
    {"Apple TV", kDevice2},
    {"GPhone", kDevice3},
    {"Sony PSP", kDevice4},
    {"Sony PS3", kDevice5},
    {"Microsoft Zune", kDevice6},
    {"Sony Walkman", kDevice7},
    {"Archos", kDevice8},
    {"Creative Zen", kDevice9},
    {"iRiver", kDevice10},
    {"Sandisk Sansa", kDevice11},
    {"Microsoft xbox 360", kDevice12},
    {"Nitendeo WII", kDevice13},
    {"Mobile Phone", kDevice14},
    {"BlackBerry", kDevice15},
    {"Nokia", kDevice16},
    {"Windows Mobile", kDevice17},
    {"Quick Time Video - MOV", kDevice18},
    {"Flash Video", kFlashVideo},
    {"Toshiba Gigabeat", kDevice20},
    {"HD Video", kDevice21},
    {"Matroska Video - MKV", kDevice22},
    {"General Video formates", kGeneralVideo},
    {"General Audio formates", kGeneralAudio},
};

constexpr CatalogueCategory kGeneralTable[] = {
    {"Flash Video", kFlashVideo},
    {"General Video formates", kGeneralVideo},
    {"General Audio formates", kGeneralAudio},
};

// The general table's categories are these device categories.
constexpr int kGeneralToDevice[] = {19, 23, 24};

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

struct NameMapping {
  std::string_view Display;
  std::string_view Engine;
};

// Display names are compared without regard to case; blanks around an item
// are ignored, so an item written with a stray blank ("pcm_mulaw ") still maps.
std::optional<std::string> MapName(std::span<const NameMapping> table, std::string_view displayName) {
  const std::string_view name = TrimBlanks(displayName);
  for (const NameMapping& m : table)
    if (EqualsIgnoringCase(m.Display, name)) return std::string(m.Engine);
  return std::nullopt;
}

// "wmv3" and "msmpeg4v1" have no encoder in the libraries; the catalogue does
// not offer them. "3gp", "3g2", "mov", "flv", "swf" and "wmv3" leave the
// choice to the output format's own default encoder.
constexpr NameMapping kVideoEncoders[] = {
    {"mpeg-4", "mpeg4"},         {"xvid", "libxvid"},       {"h264", "libx264"},
    {"3gp", "3gp"},              {"3g2", "3g2"},            {"mov", "mov"},
    {"wmv1", "wmv1"},            {"wmv2", "wmv2"},          {"wmv3", "wmv3"},
    {"flv", "flv"},              {"swf", "swf"},            {"msmpeg4", "msmpeg4"},
    {"msmpeg4v1", "msmpeg4v1"},  {"msmpeg4v2", "msmpeg4v2"}, {"mpeg1video", "mpeg1video"},
    {"mpeg2video", "mpeg2video"}, {"h263", "h263"},          {"h263p", "h263p"},
    {"rawvideo", "rawvideo"},    {"rv10", "rv10"},          {"rv20", "rv20"},
    {"dvvideo", "dvvideo"},      {"huffyuv", "huffyuv"},    {"ljpeg", "ljpeg"},
    {"mjpeg", "mjpeg"},          {"svq1", "svq1"},          {"zlib", "zlib"},
};

constexpr NameMapping kAudioEncoders[] = {
    {"mp3", "libmp3lame"},
    // The libraries' own Vorbis encoder is experimental and refuses to open
    // at normal strictness; libvorbis is the one that works.
    {"ogg", "libvorbis"},
    {"mp2", "mp2"},
    // libfaac left the libraries long ago; their native AAC encoder replaces it.
    {"aac", "aac"},
    {"ac-3", "ac3"},
    // There never was a libflac encoder in the libraries; the native one is "flac".
    {"flac", "flac"},
    {"amr_nb", "libopencore_amrnb"},
    {"pcm_s16", "pcm_s16le"},
    {"pcm_u16", "pcm_u16le"},
    {"pcm_alaw", "pcm_alaw"},
    {"pcm_mulaw", "pcm_mulaw"},
    {"adpcm_ms", "adpcm_ms"},
    {"adpcm_ima_wav", "adpcm_ima_wav"},
    {"wma1", "wmav1"},
    {"wma2", "wmav2"},
};

constexpr ParameterKeys kParameterKeys[kFormatParameterCount] = {
    {keys::kVideoSize, keys::kIVideoSize, keys::kParaVideoSize},
    {keys::kVideoBitRate, keys::kIVideoBitRate, keys::kParaVideoBitRate},
    {keys::kFrameRate, keys::kIFrameRate, keys::kParaFrameRate},
    {keys::kVideoEncoder, keys::kIVideoEncoder, keys::kParaVideoEncoder},
    {keys::kAudioBitRate, keys::kIAudioBitRate, keys::kParaAudioBitRate},
    {keys::kSampleRate, keys::kISampleRate, keys::kParaSampleRate},
    {keys::kAudioEncoder, keys::kIAudioEncoder, keys::kParaAudioEncoder},
    {keys::kChannel, keys::kIChannel, keys::kParaChannel},
    {keys::kVolumeList, keys::kIVolume, keys::kParaVolume},
};

// What the panel shows for an editable list whose choice was never stored and
// whose catalogue entry has no default item.
std::string_view FallbackText(FormatParameter parameter) {
  switch (parameter) {
    case FormatParameter::VideoSize: return "320x240";
    case FormatParameter::VideoBitRate: return "768";
    case FormatParameter::SampleRate: return "44100";
    case FormatParameter::AudioBitRate: return "96";
    default: return {};
  }
}

bool IsEditable(FormatParameter parameter) { return !FallbackText(parameter).empty(); }

bool IsValidIndex(const ParameterList& list, int index) {
  return index >= 0 && static_cast<std::size_t>(index) < list.Items.size();
}

// The catalogue's default item of a list that is on.
std::optional<std::string> DefaultItem(const ParameterList& list) {
  if (!list.Enabled || !IsValidIndex(list, list.DefaultIndex)) return std::nullopt;
  return list.Items[static_cast<std::size_t>(list.DefaultIndex)];
}

int IndexOf(const ParameterList& list, std::string_view text) {
  const auto it = std::find(list.Items.begin(), list.Items.end(), text);
  return it == list.Items.end() ? -1 : static_cast<int>(it - list.Items.begin());
}

void Select(ParameterList& list, int index) {
  list.Selected = IsValidIndex(list, index) ? index : -1;
  list.Text = list.Selected >= 0 ? list.Items[static_cast<std::size_t>(index)] : std::string();
}

// An editable list shows the item equal to text, or the text itself.
void SelectText(ParameterList& list, std::string text) {
  list.Selected = IndexOf(list, text);
  list.Text = std::move(text);
}

// The checks of the H.264 keys before they are copied.
bool PassesH264Check(std::string_view key, std::string_view value) {
  if (key == keys::kParaBitExact) return EqualsIgnoringCase(value, "true");
  const std::optional<int> number = ParseInteger(value);
  if (!number) return false;
  return key == keys::kParaCoder ? *number >= 0 : *number > 0;
}

ParameterList ZoomList(const IniStore& settingsIni, const std::string& section) {
  ParameterList zoom;
  zoom.Items.assign(kZoomItems.begin(), kZoomItems.end());
  const std::string value = ReadString(settingsIni, section, keys::kParaZoom, kZoomValues[0]);
  zoom.Enabled = value != keys::kNull && !value.empty();
  if (zoom.Enabled) {
    const auto it = std::find(kZoomValues.begin(), kZoomValues.end(), value);
    Select(zoom, it == kZoomValues.end() ? -1 : static_cast<int>(it - kZoomValues.begin()));
  }
  return zoom;
}

}  // namespace

std::span<const CatalogueCategory> DeviceCatalogue() { return kDeviceTable; }
std::span<const CatalogueCategory> GeneralCatalogue() { return kGeneralTable; }

int DeviceCategoryOfGeneral(int generalCategory) {
  if (generalCategory < 0 || generalCategory >= static_cast<int>(std::size(kGeneralToDevice))) return -1;
  return kGeneralToDevice[generalCategory];
}

std::string FormatSection(int code) { return std::string(keys::kFormatSectionPrefix) + std::to_string(code); }

std::vector<int> AllFormatCodes() {
  std::vector<int> codes;
  const auto table = DeviceCatalogue();
  for (std::size_t c = 0; c < table.size(); ++c)
    for (std::size_t i = 0; i < table[c].Items.size(); ++i)
      codes.push_back(FormatCodeOf(static_cast<int>(c), static_cast<int>(i)));
  return codes;
}

std::string FormatCaption(int code) {
  if (code < 0) return {};
  const int category = code / 100, item = code % 100;
  if (category >= static_cast<int>(std::size(kDeviceTable))) return {};
  const CatalogueCategory& c = kDeviceTable[category];
  if (item >= static_cast<int>(c.Items.size())) return {};
  return std::string(c.Items[static_cast<std::size_t>(item)]);
}

std::optional<int> FormatCodeOfCaption(std::string_view name) {
  name = TrimBlanks(name);
  for (std::size_t c = 0; c < std::size(kDeviceTable); ++c)
    for (std::size_t i = 0; i < kDeviceTable[c].Items.size(); ++i)
      if (kDeviceTable[c].Items[i] == name) return FormatCodeOf(static_cast<int>(c), static_cast<int>(i));
  return std::nullopt;
}

void NameTable::Clear() {
  for (auto& row : names_)
    for (std::string& name : row) name.clear();
}

void NameTable::Fill(std::span<const CatalogueCategory> table) {
  for (std::size_t c = 0; c < table.size() && c < static_cast<std::size_t>(kSize); ++c)
    for (std::size_t i = 0; i < table[c].Items.size() && i < static_cast<std::size_t>(kSize); ++i)
      names_[c][i] = table[c].Items[i];
}

const std::string& NameTable::Name(int category, int item) const {
  static const std::string kNone;
  if (category < 0 || category >= kSize || item < 0 || item >= kSize) return kNone;
  return names_[static_cast<std::size_t>(category)][static_cast<std::size_t>(item)];
}

std::vector<FormatListRow> BuildFormatList(const IniStore& settings, NameTable& names) {
  names.Clear();
  names.Fill(kDeviceTable);
  std::vector<FormatListRow> rows;
  for (int c = 0; c < static_cast<int>(std::size(kDeviceTable)); ++c) {
    FormatListRow row{std::string(kDeviceTable[c].Caption), ItemInfo{}};
    row.Info.CanExpand = true;
    row.Info.Number = c;
    row.Info.Collapsed = ReadBool(settings, keys::kListStateSection, std::to_string(c), true);
    rows.push_back(std::move(row));
    if (!rows.back().Info.Collapsed) {
      std::vector<FormatListRow> items = CategoryItemRows(names, c);
      rows.insert(rows.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
  }
  return rows;
}

std::vector<FormatListRow> CategoryItemRows(const NameTable& names, int category) {
  std::vector<FormatListRow> rows;
  // Items 0 to 49: the last column of the table is never listed.
  for (int item = 0; item < NameTable::kSize - 1; ++item) {
    const std::string& name = names.Name(category, item);
    if (name.empty()) continue;
    FormatListRow row{name, ItemInfo{}};
    row.Info.IsItem = true;
    row.Info.Collapsed = false;
    row.Info.Number = FormatCodeOf(category, item);
    rows.push_back(std::move(row));
  }
  return rows;
}

bool SaveListState(IniStore& settings, std::span<const FormatListRow> rows) {
  std::vector<IniEntry> entries;
  for (const FormatListRow& row : rows)
    if (!row.Info.IsItem) entries.push_back({std::to_string(row.Info.Number), row.Info.Collapsed ? "1" : "0"});
  return entries.empty() || settings.Write(keys::kListStateSection, entries);
}

std::optional<std::string> VideoEncoderName(std::string_view displayName) {
  return MapName(kVideoEncoders, displayName);
}

std::optional<std::string> AudioEncoderName(std::string_view displayName) {
  return MapName(kAudioEncoders, displayName);
}

std::optional<std::string> ChannelValue(std::string_view item) {
  if (item == keys::kAsSource) return std::string(keys::kAsSource);
  if (item == "mono 1 channel") return "1";
  if (item == "stereo 2 channels") return "2";
  return std::nullopt;
}

std::optional<int> VolumeValue(std::string_view item) {
  if (item.empty()) return std::nullopt;
  const std::optional<int> percent = ParseInteger(item.substr(0, item.size() - 1));
  if (!percent) return std::nullopt;
  constexpr int kPercentages[] = {25, 50, 75, 100, 125, 150, 175, 200, 250, 300, 350, 400};
  if (std::find(std::begin(kPercentages), std::end(kPercentages), *percent) == std::end(kPercentages))
    return std::nullopt;
  return *percent * 256 / 100;
}

const ParameterKeys& KeysOf(FormatParameter parameter) { return kParameterKeys[static_cast<int>(parameter)]; }

std::optional<std::vector<std::string>> SplitList(FormatParameter parameter, std::string_view value) {
  if (value == keys::kNull) return std::nullopt;
  if (value.empty() && static_cast<int>(parameter) >= static_cast<int>(FormatParameter::VideoEncoder))
    return std::nullopt;
  std::vector<std::string> items;
  for (;;) {
    const std::size_t comma = value.find(',');
    items.emplace_back(value.substr(0, comma));
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

CatalogueFormat ReadCatalogueFormat(const IniStore& formatIni, int code) {
  const std::string section = FormatSection(code);
  CatalogueFormat format;
  format.Format = ReadString(formatIni, section, keys::kFormat, keys::kNull);
  format.FileExt = ReadString(formatIni, section, keys::kFileExt, "mp4");
  for (FormatParameter p : kFormatParameters) {
    ParameterList& list = format[p];
    std::optional<std::vector<std::string>> items =
        SplitList(p, ReadString(formatIni, section, KeysOf(p).List, keys::kNull));
    list.Enabled = items.has_value();
    if (items) list.Items = std::move(*items);
    list.DefaultIndex = ReadInteger(formatIni, section, KeysOf(p).Index, 0);
  }
  return format;
}

FormatPanel LoadFormatPanel(const IniStore& formatIni, const IniStore& settingsIni, int code) {
  const std::string section = FormatSection(code);
  FormatPanel panel;
  panel.Catalogue = ReadCatalogueFormat(formatIni, code);
  panel.Zoom = ZoomList(settingsIni, section);
  for (FormatParameter p : kFormatParameters) {
    ParameterList& list = panel.Catalogue[p];
    // A format the user has not touched shows the catalogue's defaults, which
    // are also what a conversion of it uses (ReadFormatChoice).
    if (IsEditable(p)) {
      const std::string def = DefaultItem(list).value_or(std::string(FallbackText(p)));
      SelectText(list, ReadString(settingsIni, section, KeysOf(p).Value, def));
    } else {
      Select(list, ReadInteger(settingsIni, section, KeysOf(p).Index, list.DefaultIndex));
    }
  }
  panel.VideoEnabled = !panel.Catalogue[FormatParameter::VideoEncoder].Items.empty();
  panel.AudioEnabled = !panel.Catalogue[FormatParameter::AudioEncoder].Items.empty();
  return panel;
}

std::string ReadFormatChoice(const IniStore& formatIni, const IniStore& settingsIni, int code,
                             std::string_view valueKey, std::string_view def) {
  if (std::optional<std::string> stored = settingsIni.Read(FormatSection(code), valueKey)) return *stored;
  for (FormatParameter p : kFormatParameters) {
    if (!EqualsIgnoringCase(KeysOf(p).Value, valueKey)) continue;
    const CatalogueFormat catalogue = ReadCatalogueFormat(formatIni, code);
    const std::optional<std::string> item = DefaultItem(catalogue[p]);
    if (!item) break;
    for (IniEntry& entry : ChoiceEntries(formatIni, code, p, catalogue[p].DefaultIndex, *item))
      if (EqualsIgnoringCase(entry.key, valueKey)) return std::move(entry.value);
    break;
  }
  return std::string(def);
}

std::vector<IniEntry> ChoiceEntries(const IniStore& formatIni, int code, FormatParameter parameter, int index,
                                    std::string_view text) {
  const ParameterKeys& k = KeysOf(parameter);
  std::vector<IniEntry> entries{{std::string(k.Index), std::to_string(index)}};
  std::optional<std::string> value;
  switch (parameter) {
    case FormatParameter::VideoEncoder: value = VideoEncoderName(text); break;
    case FormatParameter::AudioEncoder: value = AudioEncoderName(text); break;
    case FormatParameter::Channel: value = ChannelValue(text); break;
    case FormatParameter::Volume:
      if (const std::optional<int> volume = VolumeValue(text)) value = std::to_string(*volume);
      break;
    default: value = std::string(text); break;
  }
  if (value) entries.push_back({std::string(k.Value), std::move(*value)});

  if (parameter == FormatParameter::VideoEncoder && EqualsIgnoringCase(TrimBlanks(text), "h264")) {
    const std::string section = FormatSection(code);
    for (std::string_view key : keys::kH264Keys) {
      const std::optional<std::string> v = formatIni.Read(section, key);
      if (v && !v->empty() && PassesH264Check(key, *v)) entries.push_back({std::string(key), *v});
    }
  }
  return entries;
}

bool WriteChoice(IniStore& settingsIni, const IniStore& formatIni, int code, FormatParameter parameter, int index,
                 std::string_view text) {
  return settingsIni.Write(FormatSection(code), ChoiceEntries(formatIni, code, parameter, index, text));
}

bool WriteZoomChoice(IniStore& settingsIni, int code, int zoomIndex) {
  if (zoomIndex < 0 || zoomIndex >= static_cast<int>(kZoomValues.size())) return false;
  const std::string_view value = kZoomValues[static_cast<std::size_t>(zoomIndex)];
  return WriteString(settingsIni, FormatSection(code), keys::kParaZoom, value);
}

bool IsIntegerText(std::string_view text) { return ParseInteger(text).has_value(); }

bool IsNumberText(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

FrameSizeCheck CheckFrameSize(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.find(keys::kAsSource) != std::string::npos) return {FrameSizeCheck::AsSource, {}};
  const std::size_t x = text.rfind('x');
  if (x == std::string_view::npos) return {FrameSizeCheck::Invalid, {}};
  const std::optional<int> w = ParseInteger(text.substr(0, x));
  const std::optional<int> h = ParseInteger(text.substr(x + 1));
  // A negative size can only come from pasted text; it is no size at all.
  if (!w || !h || *w < 0 || *h < 0) return {FrameSizeCheck::Invalid, {}};
  if (*w % 2 == 0 && *h % 2 == 0 && *w != 0 && *h != 0) return {FrameSizeCheck::Valid, std::string(text)};
  const auto even = [](int v) { return v <= 1 ? 2 : v & ~1; };
  return {FrameSizeCheck::Corrected, std::to_string(even(*w)) + "x" + std::to_string(even(*h))};
}

bool ResetToCatalogueDefaults(IniStore& settingsIni, const IniStore& formatIni, int code, FormatPanel& panel) {
  const std::string section = FormatSection(code);
  panel = FormatPanel{};
  panel.Catalogue = ReadCatalogueFormat(formatIni, code);
  panel.Zoom = ZoomList(settingsIni, section);
  Select(panel.Zoom, 0);
  for (FormatParameter p : kFormatParameters) Select(panel.Catalogue[p], panel.Catalogue[p].DefaultIndex);
  panel.VideoEnabled = !panel.Catalogue[FormatParameter::VideoEncoder].Items.empty();
  panel.AudioEnabled = !panel.Catalogue[FormatParameter::AudioEncoder].Items.empty();

  std::vector<IniEntry> entries;
  const auto add = [&](FormatParameter p, int index, std::string_view text) {
    std::vector<IniEntry> more = ChoiceEntries(formatIni, code, p, index, text);
    entries.insert(entries.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  };
  // Each list as its change handling would write it, in the handlers' order;
  // a list that is off or has no default item writes nothing.
  const auto choose = [&](FormatParameter p, bool (*valid)(std::string_view)) {
    const ParameterList& list = panel.Catalogue[p];
    if (!list.Enabled || list.Selected < 0) return;
    if (valid == nullptr || list.Text == keys::kAsSource || valid(list.Text)) add(p, list.Selected, list.Text);
  };
  const auto number = [](std::string_view t) { return IsIntegerText(t) || IsNumberText(t); };

  choose(FormatParameter::VideoEncoder, nullptr);
  if (ParameterList& size = panel.Catalogue[FormatParameter::VideoSize]; size.Enabled && size.Selected >= 0) {
    const FrameSizeCheck check = CheckFrameSize(size.Text);
    if (check.Outcome == FrameSizeCheck::Valid || check.Outcome == FrameSizeCheck::Corrected) {
      add(FormatParameter::VideoSize, size.Selected, check.Text);
      SelectText(size, check.Text);
    } else if (check.Outcome == FrameSizeCheck::AsSource) {
      // Leaving the box writes nothing for "as source" because choosing it
      // from the list already did; here nothing did, and an older stored size
      // would survive the reset.
      add(FormatParameter::VideoSize, size.Selected, size.Text);
    }
  }
  choose(FormatParameter::FrameRate, nullptr);
  choose(FormatParameter::VideoBitRate, IsIntegerText);
  if (panel.VideoEnabled && panel.Zoom.Enabled)
    entries.push_back({std::string(keys::kParaZoom), std::string(kZoomValues[0])});
  choose(FormatParameter::AudioEncoder, nullptr);
  choose(FormatParameter::AudioBitRate, +number);
  choose(FormatParameter::SampleRate, IsIntegerText);
  choose(FormatParameter::Channel, nullptr);
  choose(FormatParameter::Volume, nullptr);

  return entries.empty() || settingsIni.Write(section, entries);
}

}  // namespace zelvo
