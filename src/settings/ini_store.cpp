#include "settings/ini_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <system_error>

// Sections and keys are plain UTF-8 char strings; the text decoding happens
// here, before SimpleIni sees the data, so it needs no converter. Debian's
// header keeps the template's member definitions behind SI_IMPLEMENTATION;
// this is the one file that includes it.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace zelvo {

namespace {

namespace fs = std::filesystem;

// No settings file comes near this; anything larger is not one of ours.
constexpr std::size_t kMaxIniBytes = 16u << 20;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result: a failing close can be the first sign
  // of a write that did not reach the disk.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes a temporary file unless the rename has taken it over.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The bytes of a regular file, or nullopt when it cannot be read or is too large.
std::optional<std::string> ReadFileBytes(const std::string& path) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxIniBytes) return std::nullopt;
  std::string bytes;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > kMaxIniBytes) return std::nullopt;
  }
  return bytes;
}

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) ||
        cp > 0x10FFFF)
      return false;
    p += extra + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 to UTF-8; the five unassigned bytes keep their Latin-1 values,
// as Windows itself converts them.
std::string Windows1252ToUtf8(std::string_view text) {
  static constexpr std::uint16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, (c >= 0x80 && c < 0xA0) ? kHigh[c - 0x80] : c);
  }
  return out;
}

// The INI text of a file's bytes as UTF-8, or nullopt when they are not text.
std::optional<std::string> DecodeIniText(std::string bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  if (bytes.find('\0') != std::string::npos) return std::nullopt;
  if (IsValidUtf8(bytes)) return bytes;
  return Windows1252ToUtf8(bytes);
}

std::string Terminated(std::string_view text) { return std::string(text); }

}  // namespace

struct IniFile::Document {
  CSimpleIniA ini{/*a_bIsUtf8=*/true, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false};

  Document() { ini.SetSpaces(false); }  // "key=value", as Windows writes it

  void Load(const std::string& path) {
    std::optional<std::string> bytes = ReadFileBytes(path);
    if (!bytes) return;
    std::optional<std::string> text = DecodeIniText(std::move(*bytes));
    if (!text || text->empty()) return;
    if (ini.LoadData(text->data(), text->size()) < 0) ini.Reset();
  }
};

IniFile::IniFile(std::string path) : path_(std::move(path)), doc_(std::make_unique<Document>()) {
  doc_->Load(path_);
}

IniFile::~IniFile() = default;

std::optional<std::string> IniFile::Read(std::string_view section, std::string_view key) const {
  const char* value = doc_->ini.GetValue(Terminated(section).c_str(), Terminated(key).c_str(), nullptr);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool IniFile::Write(std::string_view section, std::span<const IniEntry> entries) {
  // A line break inside a value would end the line and corrupt the file.
  for (const IniEntry& entry : entries)
    if (entry.value.find_first_of("\r\n") != std::string::npos || entry.key.empty()) return false;

  auto fresh = std::make_unique<Document>();
  fresh->Load(path_);
  const std::string sectionName(section);
  for (const IniEntry& entry : entries)
    if (fresh->ini.SetValue(sectionName.c_str(), entry.key.c_str(), entry.value.c_str()) < 0) return false;
  std::string text;
  if (fresh->ini.Save(text, /*a_bAddSignature=*/false) < 0) return false;
  if (!ReplaceFileContents(path_, text)) return false;
  doc_ = std::move(fresh);
  return true;
}

std::optional<int> ParseInteger(std::string_view text) {
  // from_chars takes a minus sign but no plus sign.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() == '-') return std::nullopt;
  }
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string ReadString(const IniStore& ini, std::string_view section, std::string_view key, std::string_view def) {
  std::optional<std::string> value = ini.Read(section, key);
  return value ? std::move(*value) : std::string(def);
}

int ReadInteger(const IniStore& ini, std::string_view section, std::string_view key, int def) {
  const std::optional<std::string> value = ini.Read(section, key);
  if (!value) return def;
  return ParseInteger(*value).value_or(def);
}

bool ReadBool(const IniStore& ini, std::string_view section, std::string_view key, bool def) {
  return ReadInteger(ini, section, key, def ? 1 : 0) != 0;
}

bool WriteString(IniStore& ini, std::string_view section, std::string_view key, std::string_view value) {
  return ini.Write(section, {IniEntry{std::string(key), std::string(value)}});
}

bool WriteInteger(IniStore& ini, std::string_view section, std::string_view key, int value) {
  return WriteString(ini, section, key, std::to_string(value));
}

bool WriteBool(IniStore& ini, std::string_view section, std::string_view key, bool value) {
  return WriteString(ini, section, key, value ? "1" : "0");
}

bool ReplaceFileContents(const std::string& path, std::string_view data) {
  std::error_code ec;
  fs::path target(path);
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    fs::path link = fs::read_symlink(target, ec);
    if (ec) return false;
    target = link.is_absolute() ? link : target.parent_path() / link;
  }

  mode_t mode = 0644;
  struct stat st {};
  const bool existed = ::stat(target.c_str(), &st) == 0;
  if (existed) {
    if (!S_ISREG(st.st_mode)) return false;
    mode = st.st_mode & 07777;
  }

  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  FileDescriptor file(::mkostemp(pattern.data(), O_CLOEXEC));
  if (file.get() < 0) return false;
  TemporaryFile temporary(pattern);

  if (!WriteAll(file.get(), data)) return false;
  if (::fchmod(file.get(), mode) != 0) return false;
  // Keeps the owner when root edits a user's file.
  if (existed && (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(file.get(), st.st_uid, st.st_gid) != 0) {
    // Only root may give a file away; for anyone else the file stays theirs.
  }
  if (::fsync(file.get()) != 0) return false;
  if (!file.Close()) return false;
  if (::rename(temporary.path().c_str(), target.c_str()) != 0) return false;
  temporary.Release();

  // Makes the rename itself durable; the data is already safe either way.
  FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return true;
}

}  // namespace zelvo
