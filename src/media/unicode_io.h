// Files named in the "unicode:utf8:" form are opened by the program and handed
// to the libraries as a custom I/O context (read, write, seek and size), for
// inputs and outputs alike; other names go to the libraries' own protocols.
//
// Threads: an object is used by one thread at a time (its owner's).
#pragma once

#include <memory>
#include <string>

#include "media/handles.h"

namespace zelvo {

class UnicodeFile {
 public:
  enum class Mode { Read, Write, ReadWrite };  // Write and ReadWrite create or truncate

  // Opens the file a library name stands for; null with error set to a
  // library error code on failure.
  static std::unique_ptr<UnicodeFile> Open(const std::string& libraryName, Mode mode, int& error);
  ~UnicodeFile();
  UnicodeFile(const UnicodeFile&) = delete;
  UnicodeFile& operator=(const UnicodeFile&) = delete;

  AVIOContext* Context() const { return pb_; }

 private:
  UnicodeFile(int fd, AVIOContext* pb) : fd_(fd), pb_(pb) {}
  static int Read(void* opaque, std::uint8_t* buf, int size);
  static int Write(void* opaque, std::uint8_t* buf, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);

  int fd_;
  AVIOContext* pb_;  // owned: freed with its buffer in the destructor
};

// An opened input container and, for unicode names, the file behind it. The
// context is closed before the file.
struct OpenedInput {
  std::unique_ptr<UnicodeFile> io;
  InputFormatPtr ctx;
};

// avformat_open_input on a pre-allocated context (which the call consumes,
// also on failure). Returns 0 or the library's error code.
int OpenInputFile(FormatContextPtr preallocated, const std::string& libraryName, const AVInputFormat* format,
                  AVDictionary** options, OpenedInput& out);

// Gives an output context its byte stream: a UnicodeFile for unicode names
// (kept in io), otherwise the libraries' own avio_open2 (close it with
// avio_closep). Returns 0 or the library's error code.
int OpenOutputFile(AVFormatContext* oc, const std::string& libraryName, std::unique_ptr<UnicodeFile>& io);

}  // namespace zelvo
