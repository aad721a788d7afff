// Where a conversion writes: the output folder from the settings, and a file
// name derived from the source that never overwrites an existing file.
#pragma once

#include <functional>
#include <string>

#include "settings/ini_store.h"

namespace zelvo {

// Called when the stored output folder cannot be created, with the message
// to show; the default folder is used (and stored) instead.
using FolderWarning = std::function<void(const std::string& message)>;

// folder + source name without extension + "_(new)" + suffix, or the first
// free "_(new_N)" + suffix. The suffix carries its point (".mp4").
std::string DestinationName(IniStore& settings, const std::string& sourcePath, const std::string& suffix,
                            const FolderWarning& warn = {});

}  // namespace zelvo
