// The built-in encoder presets and the translation of the libx264 option
// names of older preset texts to the present encoder's options.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelvo {

struct OptionsPreset {
  const char* Name;
  const char* Options;  // one "name=value" per line
};

// The 40 rows, in order.
const std::vector<OptionsPreset>& OptionsPresets();
// The row with this name, ignoring case; null when none.
const OptionsPreset* FindOptionsPreset(const std::string& name);

struct PresetLine {
  std::string line;  // as written, for messages
  std::string name;
  std::string value;
};

// True when a preset text for libx264 uses option names or values of the
// older libx264 wrapper (flags2 bits, "directpred", "+parti4x4" partitions ...).
bool IsLegacyX264Preset(const std::vector<PresetLine>& lines);

// Rewrites such a text for the present libx264 encoder with the same meaning.
// The older wrapper started every parameter the text did not set from the
// generic codec defaults of its time (no B-frames, CAVLC, no 8x8 transform,
// no weighted prediction, temporal direct prediction, no trellis, no chroma
// motion estimation, no deblocking without "+loop"); today's encoder starts
// from its own defaults instead, so the result states every one of those
// parameters explicitly. Names that moved to private options are renamed;
// the old "me_method" value "full" becomes "esa". Each output line keeps the
// line it came from.
std::vector<PresetLine> TranslateLegacyX264Preset(const std::vector<PresetLine>& lines);

}  // namespace zelvo
