// Option holders for the engine's generic option parser: one codec context
// per media type, a format context and a scaler context hold the values the
// user set by name; the names are remembered in order so they can be applied
// to every codec or format context created later.
//
// Threads: owned by one engine instance and used from the thread driving it.
#pragma once

#include <string>
#include <vector>

#include "media/handles.h"

namespace zelvo {

constexpr int kOptionMediaTypes = 5;  // video, audio, data, subtitle, attachment

// An accepted option as the user wrote it, with the holders it was set on
// (bit n: codec holder of media type n; kFormatHolder; kScalerHolder). The
// text is what gets applied later, so relative flag values ("+loop") apply to
// each new context's own defaults rather than to the holder's.
struct RememberedOption {
  std::string Name;
  std::string Value;
  unsigned Holders = 0;
};
constexpr unsigned kFormatHolder = 1u << kOptionMediaTypes;
constexpr unsigned kScalerHolder = 1u << (kOptionMediaTypes + 1);

struct OptionContexts {
  std::vector<std::string> OptNames;  // accepted names, in the order set
  std::vector<RememberedOption> Remembered;  // the same, with their texts
  CodecContextPtr CodecOpts[kOptionMediaTypes];
  FormatContextPtr FormatOpts;
  SwsContextPtr SwsOpts;
};

void InitOptionContexts(OptionContexts& o);
// Allocates the holders; the scaler holder carries the given scaler flags.
void AllocOptionContexts(OptionContexts& o, int swsFlags);
void FreeOptionContexts(OptionContexts& o);

// Sets a generic option by name on the holders that know it (codec options of
// each media type whose flags match, else the format, else the scaler, else
// the name without an "a"/"v"/"s" prefix on that kind's codec holder).
// False for empty texts, unknown names, and invalid values (which are logged
// "Invalid value \"%s\" for option \"%s\"\n" at error level).
bool OptDefault(OptionContexts& o, const std::string& name, const std::string& value);

// Sets on the target object (a codec, format or scaler context) every
// remembered option that was set on the given holder, that the target knows
// (its private options included) and whose flags include `flags`; in the
// order set, so a later value wins.
void SetContextOpts(const OptionContexts& o, void* target, void* holder, int flags);

}  // namespace zelvo
