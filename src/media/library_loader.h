// Run-time loading and binding of the media libraries, the C library and SDL.
//
// One process-wide loader knows the eight libraries, builds their file names,
// loads them in a fixed order from a folder chosen by the caller (falling back
// to the system's search order), binds every entry point into the tables of
// av_entries.h / sdl_entries.h, and keeps a status per library and the text of
// the last failure.
//
// Threads: loading and unloading run in the main thread, before workers start
// and after they end; the loader holds no lock. CodecLock() is the one lock
// that workers share (see below).
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>

namespace zelvo {

// Load order, and index into the item and status tables.
enum class MediaLibrary : int {
  libAVCodec = 0,
  libAVDevice = 1,
  libAVFilter = 2,
  libAVFormat = 3,
  libAVUtil = 4,
  libSwScale = 5,
  libMSVCRT = 6,  // the C library
  libSDL = 7,
};
constexpr int kMediaLibraryCount = 8;

// A set of libraries: bit n stands for library n.
using MediaLibrarySet = std::uint32_t;
constexpr MediaLibrarySet LibBit(MediaLibrary lib) { return 1u << static_cast<int>(lib); }
constexpr MediaLibrarySet kConversionLibraries =
    LibBit(MediaLibrary::libAVCodec) | LibBit(MediaLibrary::libAVFilter) |
    LibBit(MediaLibrary::libAVFormat) | LibBit(MediaLibrary::libAVUtil) |
    LibBit(MediaLibrary::libSwScale) | LibBit(MediaLibrary::libMSVCRT);
constexpr MediaLibrarySet kPlayerLibraries = kConversionLibraries | LibBit(MediaLibrary::libSDL);

// Raised by a binding procedure; its message is the failure text.
class LibraryLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The static description of one library. The Linux file name is
// "lib" + Name + ".so" followed by "." + Version when Version >= 0.
struct LibraryItem {
  MediaLibrary Library;
  const char* Name;
  int Version;
  void (*LoadProc)(const std::string& fileName, void* handle);
  void (*UnloadProc)();
};

// The run-time state of one library.
struct LibraryStatus {
  MediaLibrary Library{};
  std::string DllName;    // when not empty, replaces the built file name; may hold a folder
  void* Handle = nullptr;  // dlopen handle, null when not loaded
  bool Loaded = false;     // true only after binding ran to its end
};

// One bound name: where its address is stored, and whether it is data.
struct EntrySpec {
  const char* Name;
  void* Slot;  // address of a pointer-sized slot
  bool Variable;
};

// Looks every name up in the module and stores it; every entry is required.
// Raises LibraryLoadError "Load function %s@%s error: %s" or
// "Load variable %s@%s error: %s" naming the first missing entry.
void BindEntries(void* handle, const std::string& fileName, std::span<const EntrySpec> entries);

class LibraryLoader {
 public:
  // The process-wide loader (created on first use).
  static LibraryLoader& Instance();

  const std::string& LastError() const { return lastError_; }
  const std::string& LibraryPath() const { return libraryPath_; }
  void SetLibraryPath(const std::string& folder) { libraryPath_ = folder; }

  std::string LibraryFileName(MediaLibrary lib) const;
  bool LoadLib(MediaLibrary lib);
  bool LoadLibs(MediaLibrarySet set);
  bool LibLoaded(MediaLibrary lib) const;
  bool LibsLoaded(MediaLibrarySet set) const;
  void UnloadLib(MediaLibrary lib);
  void UnloadLibs(MediaLibrarySet set);

  LibraryStatus& Status(MediaLibrary lib) { return status_[static_cast<int>(lib)]; }
  const LibraryStatus& Status(MediaLibrary lib) const { return status_[static_cast<int>(lib)]; }
  static const LibraryItem& Item(MediaLibrary lib);

  // When set (the default), loading avutil attaches the engine log.
  bool HookLog() const { return hookLog_; }

  LibraryLoader(const LibraryLoader&) = delete;
  LibraryLoader& operator=(const LibraryLoader&) = delete;

 private:
  LibraryLoader();
  void* LoadModule(const std::string& dir, const std::string& file);

  LibraryStatus status_[kMediaLibraryCount];
  std::string lastError_;
  std::string libraryPath_;
  bool hookLog_ = true;
};

// The folder "LibAV" beside the running executable (no trailing "/").
std::string DefaultLibraryFolder();

// The components' door to the loader: set the folder, load the set, and on
// failure copy the loader's text into lastErrMsg.
bool LoadMediaLibraries(const std::string& folder, MediaLibrarySet set, std::string& lastErrMsg);
bool IsMediaLibraryLoaded(MediaLibrarySet set);

// Held around every codec open and close and around stream analysis of inputs,
// by the engine, the probe and the player. Never held while waiting for
// anything else.
std::recursive_mutex& CodecLock();

}  // namespace zelvo
