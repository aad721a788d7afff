#include "media/unicode_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "media/utils.h"

namespace zelvo {

namespace {
constexpr int kBufferSize = 32768;
}

std::unique_ptr<UnicodeFile> UnicodeFile::Open(const std::string& libraryName, Mode mode, int& error) {
  const std::string path = DisplayFileName(libraryName);
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::Write: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case Mode::ReadWrite: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    error = AVERROR(errno);
    return nullptr;
  }
  struct stat st{};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = AVERROR(EISDIR);
    return nullptr;
  }
  auto* buffer = static_cast<unsigned char*>(lib::avutil.av_malloc(kBufferSize));
  if (!buffer) {
    ::close(fd);
    error = AVERROR(ENOMEM);
    return nullptr;
  }
  const bool writing = mode != Mode::Read;
  std::unique_ptr<UnicodeFile> file(new UnicodeFile(fd, nullptr));
  file->pb_ = lib::avformat.avio_alloc_context(buffer, kBufferSize, writing ? 1 : 0, file.get(),
                                               writing ? nullptr : &UnicodeFile::Read,
                                               writing ? &UnicodeFile::Write : nullptr, &UnicodeFile::Seek);
  if (!file->pb_) {
    lib::avutil.av_free(buffer);
    error = AVERROR(ENOMEM);
    return nullptr;
  }
  error = 0;
  return file;
}

UnicodeFile::~UnicodeFile() {
  if (pb_) {
    if (pb_->write_flag) lib::avformat.avio_flush(pb_);
    // The library may have replaced the buffer: free the one it holds now.
    lib::avutil.av_freep(&pb_->buffer);
    lib::avformat.avio_context_free(&pb_);
  }
  if (fd_ >= 0) ::close(fd_);
}

int UnicodeFile::Read(void* opaque, std::uint8_t* buf, int size) {
  auto* self = static_cast<UnicodeFile*>(opaque);
  ssize_t n;
  do {
    n = ::read(self->fd_, buf, static_cast<size_t>(size));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return AVERROR(errno);
  if (n == 0) return AVERROR_EOF;
  return static_cast<int>(n);
}

int UnicodeFile::Write(void* opaque, std::uint8_t* buf, int size) {
  auto* self = static_cast<UnicodeFile*>(opaque);
  int done = 0;
  while (done < size) {
    ssize_t n = ::write(self->fd_, buf + done, static_cast<size_t>(size - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    done += static_cast<int>(n);
  }
  return size;
}

std::int64_t UnicodeFile::Seek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<UnicodeFile*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) {
    struct stat st{};
    return ::fstat(self->fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : AVERROR(errno);
  }
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
  off_t pos = ::lseek(self->fd_, static_cast<off_t>(offset), whence);
  return pos < 0 ? AVERROR(errno) : static_cast<std::int64_t>(pos);
}

int OpenInputFile(FormatContextPtr preallocated, const std::string& libraryName, const AVInputFormat* format,
                  AVDictionary** options, OpenedInput& out) {
  out.ctx.reset();  // the container before its file
  out.io.reset();
  std::unique_ptr<UnicodeFile> io;
  if (IsUnicodeName(libraryName)) {
    int error = 0;
    io = UnicodeFile::Open(libraryName, UnicodeFile::Mode::Read, error);
    if (!io) return error;
    preallocated->pb = io->Context();
    preallocated->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  AVFormatContext* ic = preallocated.release();
  int ret = lib::avformat.avformat_open_input(&ic, libraryName.c_str(), format, options);
  if (ret < 0) return ret;  // the library freed the context; io goes with this scope
  out.io = std::move(io);
  out.ctx.reset(ic);
  return 0;
}

int OpenOutputFile(AVFormatContext* oc, const std::string& libraryName, std::unique_ptr<UnicodeFile>& io) {
  if (IsUnicodeName(libraryName)) {
    int error = 0;
    io = UnicodeFile::Open(libraryName, UnicodeFile::Mode::Write, error);
    if (!io) return error;
    oc->pb = io->Context();
    oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    return 0;
  }
  return lib::avformat.avio_open2(&oc->pb, libraryName.c_str(), AVIO_FLAG_WRITE, &oc->interrupt_callback, nullptr);
}

}  // namespace zelvo
