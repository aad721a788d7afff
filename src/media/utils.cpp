#include "media/utils.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

#include "media/av_entries.h"

namespace zelvo {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (n > 0) {
    result.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(result.data(), result.size(), format, args);
    result.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return result;
}

std::string FormatTimeUS(std::int64_t t) {
  if (t == kNoPts) return "N/A";
  std::int64_t s = t / 1000000;
  std::int64_t hours = (s / 60) / 60;
  std::int64_t minutes = (s / 60) % 60;
  std::int64_t seconds = s % 60;
  std::int64_t ms = ((t % 1000000) * 1000) / 1000000;
  return Format("%.2lld:%.2lld:%.2lld.%.3lld", static_cast<long long>(hours), static_cast<long long>(minutes),
                static_cast<long long>(seconds), static_cast<long long>(ms));
}

std::string ErrorText(const std::string& fileName, int code) {
  // Keyed on the libraries' present codes by meaning, so the same texts come out.
  const char* text = nullptr;
  switch (code) {
    case AVERROR(ENOENT): text = "No such file or directory"; break;
    case AVERROR(EIO): text = "I/O error"; break;
    case AVERROR(ENOMEM): text = "Not enough memory"; break;
    case AVERROR_INVALIDDATA: text = "Invalid data found when processing input"; break;
    case AVERROR_EOF: text = "End of file"; break;
    case AVERROR(EDOM): text = "Number syntax expected in filename"; break;
    case AVERROR(EILSEQ):
    case AVERROR_DEMUXER_NOT_FOUND: text = "Unknown format"; break;
    case AVERROR_PROTOCOL_NOT_FOUND: text = "Unsupported network protocol"; break;
    case AVERROR_PATCHWELCOME: text = "Not yet implemented in FFmpeg"; break;
    default: break;
  }
  return fileName + ": " + (text ? std::string(text) : Format("Error number %d occurred", code));
}

std::string FormatFileSize(std::int64_t size) {
  if (size > 1073741824) return Format("%.2f GB", static_cast<double>(size) / 1073741824.0);
  if (size > 1048576) return Format("%.2f MB", static_cast<double>(size) / 1048576.0);
  if (size > 1024) return Format("%.2f KB", static_cast<double>(size) / 1024.0);
  return Format("%lld Byte", static_cast<long long>(size));
}

std::string MediaTypeName(int type) {
  static const char* const kNames[] = {"Video", "Audio", "Data", "Subtitle", "Attachment"};
  return (type >= 0 && type < 5) ? kNames[type] : "Unknown";
}

std::string MetadataValue(const AVDictionary* metadata, const std::string& key, const std::string& def) {
  const AVDictionaryEntry* e = lib::avutil.av_dict_get(metadata, key.c_str(), nullptr, 0);
  return e ? std::string(e->value) : def;
}

double UnixToLocalDateTime(std::int64_t seconds) {
  tzset();
  // glibc's `timezone`: seconds west of UTC in standard time, i.e. the bias.
  double biasMinutes = static_cast<double>(timezone) / 60.0;
  return static_cast<double>(seconds) / 86400.0 + 25569.0 + (-biasMinutes) / 1440.0;
}

std::string FormatDateTime(double days) {
  // Whole seconds since 1970-01-01, then broken down without any zone.
  auto secs = static_cast<std::int64_t>(std::floor((days - 25569.0) * 86400.0 + 0.5));
  time_t t = static_cast<time_t>(secs);
  struct tm tm{};
  gmtime_r(&t, &tm);
  return Format("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
}

std::int64_t FileSize64(const std::string& name) {
  struct stat st{};
  if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

std::string SplitFirst(std::string& text, const std::string& separator, bool remove) {
  size_t pos = separator.empty() ? std::string::npos : text.find(separator);
  if (pos == std::string::npos) {
    std::string head = text;
    if (remove) text.clear();
    return head;
  }
  std::string head = text.substr(0, pos);
  if (remove) text.erase(0, pos + separator.size());
  return head;
}

namespace {

constexpr char kUnicodePrefix[] = "unicode:utf8:";
constexpr size_t kUnicodePrefixLength = sizeof kUnicodePrefix - 1;

// True when the text before the first ":" names a protocol: one of the
// classic list, or one the bound library reports.
bool IsProtocolUrl(const std::string& name) {
  size_t colon = name.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string scheme = name.substr(0, colon);
  static const std::string kList = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";
  if (kList.find(":" + scheme + ":") != std::string::npos) return true;
  if (lib::avformat.avio_enum_protocols == nullptr) return false;
  for (int output = 0; output < 2; ++output) {
    void* opaque = nullptr;
    while (const char* p = lib::avformat.avio_enum_protocols(&opaque, output))
      if (scheme == p) return true;
  }
  return false;
}

bool PassesUnchanged(const std::string& name) {
  for (unsigned char c : name)
    if (c < 0x20 || c > 0x7e || c == ':') return false;
  return true;
}

}  // namespace

std::string LibraryFileNameOf(const std::string& name) {
  if (IsProtocolUrl(name) || PassesUnchanged(name)) return name;
  return kUnicodePrefix + name;
}

bool IsUnicodeName(const std::string& libraryName) {
  return libraryName.size() > kUnicodePrefixLength && libraryName.compare(0, kUnicodePrefixLength, kUnicodePrefix) == 0;
}

std::string DisplayFileName(const std::string& libraryName) {
  return IsUnicodeName(libraryName) ? libraryName.substr(kUnicodePrefixLength) : libraryName;
}

void AvFreeDeleter::operator()(void* p) const {
  if (p) lib::avutil.av_free(p);
}

int ReadWholeFile(const std::string& fileName, AvBuffer& buffer, std::int64_t& size) {
  std::FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) return -1;
  std::fseek(f, 0, SEEK_END);
  long length = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (length < 0) length = 0;
  AvBuffer data(static_cast<std::uint8_t*>(lib::avutil.av_malloc(static_cast<size_t>(length) + 1)));
  if (!data) {
    std::fclose(f);
    return -12;
  }
  size_t got = std::fread(data.get(), 1, static_cast<size_t>(length), f);
  data.get()[got] = 0;
  std::fclose(f);
  size = static_cast<std::int64_t>(got) + 1;
  buffer = std::move(data);
  return 0;
}

Rational DoubleToRational(double d, int max) {
  int exponent = static_cast<int>(std::lround(std::log2(std::fabs(d) + 1e-20)));
  if (exponent < 0) exponent = 0;
  if (exponent > 61) exponent = 61;
  std::int64_t den = std::int64_t{1} << (61 - exponent);
  auto num = static_cast<std::int64_t>(std::floor(d * static_cast<double>(den) + 0.5));
  Rational r{0, 1};
  lib::avutil.av_reduce(&r.num, &r.den, num, den, max);
  return r;
}

}  // namespace zelvo
