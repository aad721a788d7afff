// Small shared routines: texts for times, sizes, library errors and media
// types; metadata and file helpers; the library file names of wide paths.
// None of them keeps state; all are safe to call from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct AVDictionary;

namespace zelvo {

constexpr std::int64_t kNoPts = INT64_MIN;  // the libraries' no-value marker

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "%.2d:%.2d:%.2d.%.3d" of hours, minutes, seconds, milliseconds; "N/A" for kNoPts.
std::string FormatTimeUS(std::int64_t t);
// fileName + ": " + the text for a library error code.
std::string ErrorText(const std::string& fileName, int code);
// "%.2f GB" / "MB" / "KB" above each unit, else "%d Byte".
std::string FormatFileSize(std::int64_t size);
// 0 "Video", 1 "Audio", 2 "Data", 3 "Subtitle", 4 "Attachment", else "Unknown".
std::string MediaTypeName(int type);
// The value the library's lookup finds for key, else def. Needs avutil.
std::string MetadataValue(const AVDictionary* metadata, const std::string& key, const std::string& def);

// Days since 1899-12-30 (the date system the texts are formatted in) of a Unix
// time, shifted by the local zone's standard-time offset (without daylight
// saving).
double UnixToLocalDateTime(std::int64_t seconds);
// "yyyy-mm-dd hh:nn:ss" of such a day number.
std::string FormatDateTime(double days);

// Size of an existing regular file; -1 when missing, a folder or unreadable.
std::int64_t FileSize64(const std::string& name);
// The part before the first separator (all of text when there is none); with
// remove, text keeps what follows the separator (empty when there was none).
std::string SplitFirst(std::string& text, const std::string& separator, bool remove);

// The name to hand the libraries for a path: names the libraries' own name
// handling would misread (characters outside printable ASCII, or a ":" that
// does not start a protocol URL) become "unicode:utf8:" + name and are opened
// by the program's own I/O (unicode_io.h); others pass unchanged.
std::string LibraryFileNameOf(const std::string& name);
bool IsUnicodeName(const std::string& libraryName);
// The path a library name stands for ("unicode:utf8:" removed).
std::string DisplayFileName(const std::string& libraryName);

struct AvFreeDeleter {
  void operator()(void* p) const;
};
using AvBuffer = std::unique_ptr<std::uint8_t, AvFreeDeleter>;
// Reads a whole file into a buffer from the library's allocator with a zero
// byte after the data; size is bytes read + 1. Returns 0, -1 when the file
// cannot be opened, -12 when the buffer cannot be allocated.
int ReadWholeFile(const std::string& fileName, AvBuffer& buffer, std::int64_t& size);

inline int Clip(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }
struct Rational { int num; int den; };
// A double as a rational with both terms at most max (reduced by the library).
Rational DoubleToRational(double d, int max);

}  // namespace zelvo
