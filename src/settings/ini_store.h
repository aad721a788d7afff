// INI files with Windows INI semantics: sections and keys compared without
// regard to case, values trimmed, a missing file, section or key reading as
// the caller's default.
//
// The convention of every caller: create an IniFile on the path from the
// global object, read or write the keys it needs, let it go. Nothing is
// cached between handlers; every write reaches the disk before it returns and
// replaces the file atomically, so a crash or a full disk never leaves a
// half-written file behind.
//
// Threads: an IniFile is used by one thread at a time (all INI access runs in
// the main thread).
#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelvo {

struct IniEntry {
  std::string key;
  std::string value;
};

class IniStore {
 public:
  virtual ~IniStore() = default;
  // The value of key in section; nullopt when the section or the key is missing.
  virtual std::optional<std::string> Read(std::string_view section, std::string_view key) const = 0;
  // Stores the entries in section, all in one replacement of the file. False
  // when the file could not be written; the file then keeps its old contents.
  virtual bool Write(std::string_view section, std::span<const IniEntry> entries) = 0;

  bool Write(std::string_view section, std::initializer_list<IniEntry> entries) {
    return Write(section, std::span<const IniEntry>(entries.begin(), entries.size()));
  }
};

// A whole text that is a decimal 32-bit integer (optional sign); nullopt otherwise.
std::optional<int> ParseInteger(std::string_view text);

// Typed reads: a missing key gives def; an integer that does not parse gives
// def; a boolean is an integer, true when not 0.
std::string ReadString(const IniStore& ini, std::string_view section, std::string_view key, std::string_view def);
int ReadInteger(const IniStore& ini, std::string_view section, std::string_view key, int def);
bool ReadBool(const IniStore& ini, std::string_view section, std::string_view key, bool def);

bool WriteString(IniStore& ini, std::string_view section, std::string_view key, std::string_view value);
bool WriteInteger(IniStore& ini, std::string_view section, std::string_view key, int value);
bool WriteBool(IniStore& ini, std::string_view section, std::string_view key, bool value);  // "1" / "0"

// An INI file on disk. The file is read when the object is made; a write
// reads the file again, applies the entries and replaces it, so writes made
// meanwhile through other objects are kept.
//
// Text: UTF-8 with or without a byte-order mark; text that is not valid UTF-8
// is taken as Windows-1252 (files written by Windows programs in the ANSI code
// page). A file that is not text at all (NUL bytes), or is larger than any
// settings file could be, reads as empty and is replaced by the next write.
// Files are written as UTF-8 with "\n" line ends.
class IniFile final : public IniStore {
 public:
  explicit IniFile(std::string path);
  ~IniFile() override;
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  const std::string& Path() const { return path_; }

  std::optional<std::string> Read(std::string_view section, std::string_view key) const override;
  using IniStore::Write;
  bool Write(std::string_view section, std::span<const IniEntry> entries) override;

 private:
  struct Document;
  std::string path_;
  std::unique_ptr<Document> doc_;
};

// Replaces the contents of the file at path: the data goes to a temporary file
// in the same folder, which is flushed to the disk and then renamed over the
// file; the folder is flushed too. On any failure the temporary file is
// removed, the old file is untouched and the result is false. A symbolic link
// keeps pointing at its target, which is replaced. New files get mode 0644, an
// existing file keeps its mode (and, where allowed, its owner).
bool ReplaceFileContents(const std::string& path, std::string_view data);

}  // namespace zelvo
