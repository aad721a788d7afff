// Every file, section and key name of the two INI files, in one place.
//
// INI names are compared without regard to case (Windows INI semantics), so
// "snapOutPutDir" written by one window and "SnapOutPutDir" read by another
// are the same key; the spellings below are the ones this program writes.
#pragma once

#include <array>
#include <string_view>

namespace zelvo::keys {

// File names, beside the executable (or in the configuration folder).
inline constexpr std::string_view kSettingsIniName = "zelvoflvvideoconverter.ini";
inline constexpr std::string_view kFormatIniName = "zelvoflvformat.ini";

// Sections of the settings INI; per-format sections are kFormatSectionPrefix
// followed by the format code in decimal, in both files.
inline constexpr std::string_view kSettingsSection = "settings";
inline constexpr std::string_view kListStateSection = "lstformat";  // key: category index
inline constexpr std::string_view kFormatSectionPrefix = "formatInfo";

// Section "settings".
inline constexpr std::string_view kOutputDir = "OutPutDir";
inline constexpr std::string_view kSnapOutputDir = "SnapOutPutDir";
inline constexpr std::string_view kFormatCode = "FormatCode";
inline constexpr std::string_view kFormatName = "FormatName";
inline constexpr std::string_view kOutputFormat = "OutPutFormat";
inline constexpr std::string_view kSkinIndex = "skinIndex";
inline constexpr std::string_view kVolume = "volume";
inline constexpr std::string_view kMute = "mute";
inline constexpr std::string_view kPriority = "priority";
inline constexpr std::string_view kSnapFullSize = "snapFullSize";
inline constexpr std::string_view kSnapSmallSize = "snapSmallSize";
inline constexpr std::string_view kSnapBmp = "snapBmp";
inline constexpr std::string_view kSnapJpg = "snapJpg";
inline constexpr std::string_view kJpegQuality = "jpgCmp";

// Format INI: the engine format and the file extension of a format.
inline constexpr std::string_view kFormat = "Format";
inline constexpr std::string_view kFileExt = "FileExt";

// The nine parameter lists (format INI), their default item indexes (format
// INI) or chosen item indexes (settings INI), and the chosen values handed to
// the engine (settings INI).
inline constexpr std::string_view kVideoSize = "VideoSize";
inline constexpr std::string_view kVideoBitRate = "VideoBitRate";
inline constexpr std::string_view kFrameRate = "FrameRate";
inline constexpr std::string_view kVideoEncoder = "VideoEncoder";
inline constexpr std::string_view kAudioBitRate = "AudioBitRate";
inline constexpr std::string_view kSampleRate = "SampleRate";
inline constexpr std::string_view kAudioEncoder = "AudioEncoder";
inline constexpr std::string_view kChannel = "Channel";
inline constexpr std::string_view kVolumeList = "Volume";

inline constexpr std::string_view kIVideoSize = "iVideoSize";
inline constexpr std::string_view kIVideoBitRate = "iVideoBitRate";
inline constexpr std::string_view kIFrameRate = "iFrameRate";
inline constexpr std::string_view kIVideoEncoder = "iVideoEncoder";
inline constexpr std::string_view kIAudioBitRate = "iAudioBitRate";
inline constexpr std::string_view kISampleRate = "iSampleRate";
inline constexpr std::string_view kIAudioEncoder = "iAudioEncoder";
inline constexpr std::string_view kIChannel = "iChannel";
inline constexpr std::string_view kIVolume = "iVolume";

inline constexpr std::string_view kParaVideoSize = "paraVideoSize";
inline constexpr std::string_view kParaVideoBitRate = "paraVideoBitRate";
inline constexpr std::string_view kParaFrameRate = "paraFrameRate";
inline constexpr std::string_view kParaVideoEncoder = "paraVideoEncoder";
inline constexpr std::string_view kParaAudioBitRate = "paraAudioBitRate";
inline constexpr std::string_view kParaSampleRate = "paraSampleRate";
inline constexpr std::string_view kParaAudioEncoder = "paraAudioEncoder";
inline constexpr std::string_view kParaChannel = "paraChannel";
inline constexpr std::string_view kParaVolume = "paraVolume";
inline constexpr std::string_view kParaZoom = "paraZoom";

// H.264 tuning keys: read from the format INI and copied into the settings INI
// when the "h264" encoder is chosen.
inline constexpr std::string_view kParaBitExact = "paraBitExact";
inline constexpr std::string_view kParaMaxBitrate = "paraMaxBitrate";
inline constexpr std::string_view kParaBufferSize = "paraBufferSize";
inline constexpr std::string_view kParaLevel = "paraLevel";
inline constexpr std::string_view kParaQscale = "paraQscale";
inline constexpr std::string_view kParaGop = "paraGop";
inline constexpr std::string_view kParaCoder = "paraCoder";
inline constexpr std::array<std::string_view, 7> kH264Keys = {
    kParaBitExact, kParaMaxBitrate, kParaBufferSize, kParaLevel, kParaQscale, kParaGop, kParaCoder};

// Marks a list that does not apply; "as source" keeps the source's value.
inline constexpr std::string_view kNull = "null";
inline constexpr std::string_view kAsSource = "as source";

}  // namespace zelvo::keys
