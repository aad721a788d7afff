// The conversion option builder: at Start, one call per checked row turns the
// chosen format (its engine format in the format INI), the user's per-format
// choices (settings INI, falling back to the catalogue's default items) and
// the row's zoom and crop into the task's option records.
//
// Stateless: every call reads the INI files afresh. Main thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "component/converter.h"
#include "media/media_probe.h"
#include "settings/files_record.h"
#include "settings/global_object.h"
#include "settings/ini_store.h"

namespace zelvo {

// How the builder asks the user a Yes/No question. The windows show a message
// box; a headless caller answers it itself.
class YesNoQuestion {
 public:
  virtual ~YesNoQuestion() = default;
  virtual bool AskYesNo(std::string_view caption, std::string_view text) = 0;
};

// A headless answer: the same every time.
class FixedAnswer final : public YesNoQuestion {
 public:
  explicit FixedAnswer(bool yes) : yes_(yes) {}
  bool AskYesNo(std::string_view, std::string_view) override { return yes_; }

 private:
  bool yes_;
};

// Asked when the stored frame size is unusable; Yes takes 320x240, No the
// source's size.
inline constexpr std::string_view kFrameSizeQuestionCaption = "Warning";
inline constexpr std::string_view kFrameSizeQuestionText = "Error output Video Size.Use the default size 320x240?";

// A stored value the builder must have as a number and cannot read (a
// "paraVolume" that is no integer). The Start in progress is abandoned and
// the text shown.
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the builder needs to know of the source: its first video stream.
struct SourceVideo {
  int VideoStreamCount = 0;
  int Width = 0, Height = 0;
  std::int32_t BitRate = -1;  // bit/s; -1 or 0 when unknown
};
// The facts of the file the probe has open.
SourceVideo SourceVideoOf(MediaProbe& probe);

// Fills output (freshly initialised, FileName set) and input (freshly
// initialised). May throw ConvertError.
void BuildConversionOptions(const IniStore& formatIni, const IniStore& settingsIni, const LvFilesRecord& row,
                            int formatCode, OutputOptions& output, const SourceVideo& source, InputOptions& input,
                            YesNoQuestion& question);
// The same on the two INI files of the global object and the probe's file.
void BuildConversionOptions(const GlobalObject& global, const LvFilesRecord& row, int formatCode,
                            OutputOptions& output, MediaProbe& probe, InputOptions& input, YesNoQuestion& question);

// Engine names stored by older versions for encoders the libraries no longer
// have, mapped to today's; other names come back unchanged.
std::string CurrentAudioEncoderName(std::string_view stored);

}  // namespace zelvo
