// The format catalogue: the category and item tables of the format list, the
// format INI's per-format lists, and the user's per-format choices in the
// settings INI. A format is known by its code, category index * 100 + item
// index; both INI files keep it in section "formatInfo" + code.
//
// The list offers the device table; its codes are the sections of the format
// INI delivered with the program. The general table's three categories are
// the device table's categories 19, 23 and 24 under other indexes.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ini_store.h"

namespace zelvo {

struct CatalogueCategory {
  std::string_view Caption;
  std::span<const std::string_view> Items;
};

std::span<const CatalogueCategory> DeviceCatalogue();   // 25 categories
std::span<const CatalogueCategory> GeneralCatalogue();  // 3 categories
// The device category that a general category stands for (19, 23, 24); -1 for none.
int DeviceCategoryOfGeneral(int generalCategory);

inline constexpr int FormatCodeOf(int category, int item) { return category * 100 + item; }
std::string FormatSection(int code);  // "formatInfo" + code in decimal
// Every format code of the device table, in list order.
std::vector<int> AllFormatCodes();
// The device table's caption of a code; empty when the code names no item.
std::string FormatCaption(int code);
// The code of a caption of the device table (blanks around name ignored).
std::optional<int> FormatCodeOfCaption(std::string_view name);

// Item captions by category and item index; an empty text means no item.
class NameTable {
 public:
  static constexpr int kSize = 51;
  void Clear();
  // Sets the captions of a table's categories; other entries stay.
  void Fill(std::span<const CatalogueCategory> table);
  const std::string& Name(int category, int item) const;  // empty outside the table

 private:
  std::array<std::array<std::string, kSize>, kSize> names_;
};

// What a row of the format list stands for.
struct ItemInfo {
  bool IsItem = false;     // a format row
  bool CanExpand = false;  // a category row
  bool Collapsed = true;   // meaningful for category rows
  int Number = 0;          // category index of a category row, format code of an item row
};

struct FormatListRow {
  std::string Caption;
  ItemInfo Info;
};

// Clears and fills the name table from the device table and returns the list:
// every category row, followed by its item rows when its "lstformat" flag
// (default: collapsed) says it is expanded.
std::vector<FormatListRow> BuildFormatList(const IniStore& settings, NameTable& names);
// The item rows of one category, inserted after it when it is expanded.
std::vector<FormatListRow> CategoryItemRows(const NameTable& names, int category);
// Writes the collapsed flag of every category row under "lstformat".
bool SaveListState(IniStore& settings, std::span<const FormatListRow> rows);

// Display names of the lists to the texts the engine gets; nullopt for a text
// that maps to nothing (the previous choice then stays).
std::optional<std::string> VideoEncoderName(std::string_view displayName);
std::optional<std::string> AudioEncoderName(std::string_view displayName);
std::optional<std::string> ChannelValue(std::string_view item);
// "100%" gives 256: the percentages 25..200 in steps of 25 and 250..400 in
// steps of 50, scaled so that 256 is the unchanged volume.
std::optional<int> VolumeValue(std::string_view item);

// The nine parameter lists, in the order they are loaded.
enum class FormatParameter {
  VideoSize, VideoBitRate, FrameRate, VideoEncoder, AudioBitRate, SampleRate, AudioEncoder, Channel, Volume
};
inline constexpr int kFormatParameterCount = 9;
inline constexpr std::array<FormatParameter, kFormatParameterCount> kFormatParameters = {
    FormatParameter::VideoSize,   FormatParameter::VideoBitRate, FormatParameter::FrameRate,
    FormatParameter::VideoEncoder, FormatParameter::AudioBitRate, FormatParameter::SampleRate,
    FormatParameter::AudioEncoder, FormatParameter::Channel,     FormatParameter::Volume};

struct ParameterKeys {
  std::string_view List;   // format INI: the comma-separated items
  std::string_view Index;  // format INI: the default item; settings INI: the chosen item
  std::string_view Value;  // settings INI: the value the engine gets
};
const ParameterKeys& KeysOf(FormatParameter parameter);

// One combo of the parameter panel, without any toolkit.
struct ParameterList {
  std::vector<std::string> Items;
  bool Enabled = false;
  int DefaultIndex = 0;  // the catalogue's default item
  int Selected = -1;     // the chosen item; -1 when none is
  std::string Text;      // editable combos: the shown text when it is no item
};

// A list value split at every comma, pieces untrimmed; "null" gives nothing.
// The five audio lists and the video encoder list are also off when empty.
std::optional<std::vector<std::string>> SplitList(FormatParameter parameter, std::string_view value);

// A format's catalogue entry.
struct CatalogueFormat {
  std::string Format;   // engine format or target, "null" when missing
  std::string FileExt;  // without the point, "mp4" when missing
  std::array<ParameterList, kFormatParameterCount> Lists;  // items, enabled, default index
  const ParameterList& operator[](FormatParameter p) const { return Lists[static_cast<int>(p)]; }
  ParameterList& operator[](FormatParameter p) { return Lists[static_cast<int>(p)]; }
};
// A code without a section gives disabled lists.
CatalogueFormat ReadCatalogueFormat(const IniStore& formatIni, int code);

inline constexpr std::array<std::string_view, 3> kZoomItems = {"Full Screen", "Letter Box", "Pan and Scan"};
inline constexpr std::array<std::string_view, 3> kZoomValues = {"full", "lbox", "pan"};

struct FormatPanel {
  CatalogueFormat Catalogue;  // the lists with the user's choices selected
  ParameterList Zoom;
  bool VideoEnabled = false;  // the video encoder list has items
  bool AudioEnabled = false;  // the audio encoder list has items
};

// The panel of a format: the catalogue's lists with the user's choices
// selected. A choice the user has not made yet shows the catalogue's default.
FormatPanel LoadFormatPanel(const IniStore& formatIni, const IniStore& settingsIni, int code);

// The value the engine gets for a per-format key ("paraVideoSize" ...): the
// user's stored choice; for a choice not made yet, what choosing the
// catalogue's default item would store; def when neither exists.
std::string ReadFormatChoice(const IniStore& formatIni, const IniStore& settingsIni, int code,
                             std::string_view valueKey, std::string_view def);

// The settings entries that choosing item index (shown as text) of a list
// writes: the index and, when it maps to one, the engine value. Choosing
// "h264" also copies the format INI's H.264 keys that pass their checks.
std::vector<IniEntry> ChoiceEntries(const IniStore& formatIni, int code, FormatParameter parameter, int index,
                                    std::string_view text);
bool WriteChoice(IniStore& settingsIni, const IniStore& formatIni, int code, FormatParameter parameter, int index,
                 std::string_view text);
// "full", "lbox" or "pan" for zoom items 0 to 2; other items write nothing (false).
bool WriteZoomChoice(IniStore& settingsIni, int code, int zoomIndex);

// A typed frame size, as committed when the box is left: "as source" writes
// nothing; a text without an "x" or with a part that is no integer (or is
// negative) is refused; odd or zero parts are made even (toward zero, 0
// becoming 2).
struct FrameSizeCheck {
  enum Result { AsSource, Invalid, Valid, Corrected } Outcome;
  std::string Text;  // the text to store (the corrected one for Corrected)
};
FrameSizeCheck CheckFrameSize(std::string_view text);
bool IsIntegerText(std::string_view text);
bool IsNumberText(std::string_view text);

// Selects every catalogue default into panel and writes every choice of the
// format at once, as the panel's "Default" button does. False when the
// settings INI could not be written.
bool ResetToCatalogueDefaults(IniStore& settingsIni, const IniStore& formatIni, int code, FormatPanel& panel);

}  // namespace zelvo
