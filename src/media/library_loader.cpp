#include "media/library_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "media/av_entries.h"
#include "media/engine_log.h"
#include "media/sdl_entries.h"
#include "media/utils.h"

namespace zelvo {

namespace lib {
AVCodecEntries avcodec;
AVDeviceEntries avdevice;
AVFilterEntries avfilter;
AVFormatEntries avformat;
AVUtilEntries avutil;
SwScaleEntries swscale;
CrtEntries crt;
SdlEntries sdl;
}  // namespace lib

void BindEntries(void* handle, const std::string& fileName, std::span<const EntrySpec> entries) {
  for (const EntrySpec& e : entries) {
    dlerror();
    void* address = dlsym(handle, e.Name);
    if (address == nullptr) {
      const char* why = dlerror();
      throw LibraryLoadError(Format(e.Variable ? "Load variable %s@%s error: %s" : "Load function %s@%s error: %s",
                                    e.Name, fileName.c_str(), why ? why : "symbol is null"));
    }
    std::memcpy(e.Slot, &address, sizeof address);
  }
}

namespace {

// One binding procedure per library, generated from its name list. A table
// is published only once every entry is bound.
#define ZELVO_SPEC(name) EntrySpec{#name, &t.name, false},
#define ZELVO_BINDER(Func, Table, Global, LIST)                               \
  void Bind##Func(const std::string& fileName, void* handle) {                \
    lib::Table t;                                                             \
    const EntrySpec specs[] = {LIST(ZELVO_SPEC)};                             \
    BindEntries(handle, fileName, specs);                                     \
    lib::Global = t;                                                          \
  }                                                                           \
  void Unbind##Func() { lib::Global = lib::Table{}; }

ZELVO_BINDER(AVCodec, AVCodecEntries, avcodec, ZELVO_AVCODEC_FUNCTIONS)
ZELVO_BINDER(AVDevice, AVDeviceEntries, avdevice, ZELVO_AVDEVICE_FUNCTIONS)
ZELVO_BINDER(AVFilter, AVFilterEntries, avfilter, ZELVO_AVFILTER_FUNCTIONS)
ZELVO_BINDER(AVFormat, AVFormatEntries, avformat, ZELVO_AVFORMAT_FUNCTIONS)
ZELVO_BINDER(AVUtil, AVUtilEntries, avutil, ZELVO_AVUTIL_FUNCTIONS)
ZELVO_BINDER(SwScale, SwScaleEntries, swscale, ZELVO_SWSCALE_FUNCTIONS)
ZELVO_BINDER(Crt, CrtEntries, crt, ZELVO_CRT_FUNCTIONS)
ZELVO_BINDER(Sdl, SdlEntries, sdl, ZELVO_SDL_FUNCTIONS)

#undef ZELVO_BINDER
#undef ZELVO_SPEC

// Major versions of the headers the program was built with.
const LibraryItem kItems[kMediaLibraryCount] = {
    {MediaLibrary::libAVCodec, "avcodec", LIBAVCODEC_VERSION_MAJOR, BindAVCodec, UnbindAVCodec},
    {MediaLibrary::libAVDevice, "avdevice", LIBAVDEVICE_VERSION_MAJOR, BindAVDevice, UnbindAVDevice},
    {MediaLibrary::libAVFilter, "avfilter", LIBAVFILTER_VERSION_MAJOR, BindAVFilter, UnbindAVFilter},
    {MediaLibrary::libAVFormat, "avformat", LIBAVFORMAT_VERSION_MAJOR, BindAVFormat, UnbindAVFormat},
    {MediaLibrary::libAVUtil, "avutil", LIBAVUTIL_VERSION_MAJOR, BindAVUtil, UnbindAVUtil},
    {MediaLibrary::libSwScale, "swscale", LIBSWSCALE_VERSION_MAJOR, BindSwScale, UnbindSwScale},
    {MediaLibrary::libMSVCRT, "c", 6, BindCrt, UnbindCrt},
    {MediaLibrary::libSDL, "SDL2-2.0", 0, BindSdl, UnbindSdl},
};

// RTLD_NOW: a missing symbol fails the load, not a later call. RTLD_NODELETE:
// unloading releases the handle and clears the tables, but the code stays
// mapped, so nothing the library made (objects, registered callbacks, its own
// static allocations) is left dangling by an unload during the process.
constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;

bool IsRegularFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The DT_NEEDED names of a 64-bit ELF shared object; empty when the file is
// not one. Used to load a module's own dependencies from its folder first.
std::vector<std::string> NeededLibraries(const std::string& path) {
  std::vector<std::string> result;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return result;
  auto readAt = [fd](void* buf, size_t n, off_t off) {
    return ::pread(fd, buf, n, off) == static_cast<ssize_t>(n);
  };
  Elf64_Ehdr eh{};
  if (readAt(&eh, sizeof eh, 0) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_phentsize == sizeof(Elf64_Phdr) && eh.e_phnum < 256) {
    std::vector<Elf64_Phdr> ph(eh.e_phnum);
    if (readAt(ph.data(), ph.size() * sizeof(Elf64_Phdr), static_cast<off_t>(eh.e_phoff))) {
      auto fileOffset = [&ph](Elf64_Addr vaddr) -> off_t {
        for (const auto& p : ph)
          if (p.p_type == PT_LOAD && vaddr >= p.p_vaddr && vaddr < p.p_vaddr + p.p_filesz)
            return static_cast<off_t>(vaddr - p.p_vaddr + p.p_offset);
        return -1;
      };
      for (const auto& p : ph) {
        if (p.p_type != PT_DYNAMIC || p.p_filesz > (1u << 20)) continue;
        std::vector<Elf64_Dyn> dyn(p.p_filesz / sizeof(Elf64_Dyn));
        if (!readAt(dyn.data(), dyn.size() * sizeof(Elf64_Dyn), static_cast<off_t>(p.p_offset))) break;
        Elf64_Addr strtab = 0;
        Elf64_Xword strsz = 0;
        std::vector<Elf64_Xword> needed;
        for (const auto& d : dyn) {
          if (d.d_tag == DT_NULL) break;
          if (d.d_tag == DT_NEEDED) needed.push_back(d.d_un.d_val);
          if (d.d_tag == DT_STRTAB) strtab = d.d_un.d_ptr;
          if (d.d_tag == DT_STRSZ) strsz = d.d_un.d_val;
        }
        off_t strOff = fileOffset(strtab);
        if (strOff < 0 || strsz == 0 || strsz > (16u << 20)) break;
        std::string table(strsz, '\0');
        if (!readAt(table.data(), strsz, strOff)) break;
        for (auto n : needed)
          if (n < strsz) result.emplace_back(table.c_str() + n);
        break;
      }
    }
  }
  ::close(fd);
  return result;
}

// Loads the dependencies of a module that sit in its folder before the module
// itself; the dynamic linker then reuses them (matched by their SONAME)
// instead of the system's copies. These handles are kept for the process's
// lifetime, like the modules of a library folder on other systems.
void PreloadDependencies(const std::string& dir, const std::string& path, std::set<std::string>& seen) {
  for (const std::string& dep : NeededLibraries(path)) {
    const std::string full = dir + dep;
    if (!seen.insert(dep).second || !IsRegularFile(full)) continue;
    PreloadDependencies(dir, full, seen);
    dlopen(full.c_str(), kOpenFlags);
  }
}

// The library folder goes into the library search path of child processes
// once; the entries are compared whole, as Linux file names are case-sensitive.
void AddToLibrarySearchPath(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const char* old = std::getenv("LD_LIBRARY_PATH");
  std::string current = old ? old : "";
  std::string rest = current;
  while (!rest.empty())
    if (SplitFirst(rest, ":", true) == dir) return;
  std::string value = current.empty() ? dir : dir + ":" + current;
  ::setenv("LD_LIBRARY_PATH", value.c_str(), 1);
}

}  // namespace

LibraryLoader& LibraryLoader::Instance() {
  static LibraryLoader loader;
  return loader;
}

LibraryLoader::LibraryLoader() {
  for (int i = 0; i < kMediaLibraryCount; ++i) status_[i].Library = static_cast<MediaLibrary>(i);
}

const LibraryItem& LibraryLoader::Item(MediaLibrary lib) { return kItems[static_cast<int>(lib)]; }

std::string LibraryLoader::LibraryFileName(MediaLibrary lib) const {
  const LibraryStatus& st = Status(lib);
  if (!st.DllName.empty()) return st.DllName;
  const LibraryItem& item = Item(lib);
  std::string name = std::string("lib") + item.Name + ".so";
  if (item.Version >= 0) name += "." + std::to_string(item.Version);
  return name;
}

void* LibraryLoader::LoadModule(const std::string& dir, const std::string& file) {
  const std::string full = dir + file;
  if (!dir.empty() && IsRegularFile(full)) {
    AddToLibrarySearchPath(dir);
    std::set<std::string> seen{file};
    PreloadDependencies(dir, full, seen);
    return dlopen(full.c_str(), kOpenFlags);
  }
  return dlopen(file.c_str(), kOpenFlags);
}

bool LibraryLoader::LoadLib(MediaLibrary lib) {
  LibraryStatus& st = Status(lib);
  const std::string fileName = LibraryFileName(lib);
  if (st.Handle == nullptr) {
    std::string dir, file = fileName;
    if (auto slash = fileName.rfind('/'); slash != std::string::npos) {
      dir = fileName.substr(0, slash + 1);
      file = fileName.substr(slash + 1);
    }
    if (dir.empty() && !libraryPath_.empty()) {
      dir = libraryPath_;
      if (dir.back() != '/') dir += '/';
    }
    dlerror();
    st.Handle = LoadModule(dir, file);
    if (st.Handle == nullptr) {
      const char* why = dlerror();
      lastError_ = Format("Load library %s error: %s", (dir + file).c_str(), why ? why : "unknown error");
      return false;
    }
  }
  if (!st.Loaded) {
    try {
      Item(lib).LoadProc(fileName, st.Handle);
      st.Loaded = true;
    } catch (const std::exception& e) {
      lastError_ = e.what();
    }
  }
  if (!st.Loaded) {
    UnloadLib(lib);
    return false;
  }
  if (lib == MediaLibrary::libAVUtil && hookLog_) EngineLog::Logger().AttachLibraryLog();
  return true;
}

bool LibraryLoader::LoadLibs(MediaLibrarySet set) {
  if (set == 0) throw std::invalid_argument("LoadLibs: empty library set");
  for (int i = 0; i < kMediaLibraryCount; ++i) {
    if ((set & (1u << i)) == 0) continue;
    if (!LoadLib(static_cast<MediaLibrary>(i))) {
      UnloadLibs(set);
      return false;
    }
  }
  return true;
}

bool LibraryLoader::LibLoaded(MediaLibrary lib) const {
  const LibraryStatus& st = Status(lib);
  return st.Handle != nullptr && st.Loaded;
}

bool LibraryLoader::LibsLoaded(MediaLibrarySet set) const {
  for (int i = 0; i < kMediaLibraryCount; ++i)
    if ((set & (1u << i)) != 0 && !LibLoaded(static_cast<MediaLibrary>(i))) return false;
  return true;
}

void LibraryLoader::UnloadLib(MediaLibrary lib) {
  LibraryStatus& st = Status(lib);
  if (st.Loaded) {
    if (lib == MediaLibrary::libAVUtil) EngineLog::Logger().DetachLibraryLog();
    Item(lib).UnloadProc();
    st.Loaded = false;
  }
  if (st.Handle != nullptr) {
    dlclose(st.Handle);
    st.Handle = nullptr;
  }
}

void LibraryLoader::UnloadLibs(MediaLibrarySet set) {
  for (int i = 0; i < kMediaLibraryCount; ++i)
    if ((set & (1u << i)) != 0) UnloadLib(static_cast<MediaLibrary>(i));
}

std::string DefaultLibraryFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "LibAV";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1) + "LibAV";
}

bool LoadMediaLibraries(const std::string& folder, MediaLibrarySet set, std::string& lastErrMsg) {
  LibraryLoader& loader = LibraryLoader::Instance();
  loader.SetLibraryPath(folder);
  bool ok = loader.LoadLibs(set);
  if (!ok) lastErrMsg = loader.LastError();
  return ok;
}

bool IsMediaLibraryLoaded(MediaLibrarySet set) { return LibraryLoader::Instance().LibsLoaded(set); }

std::recursive_mutex& CodecLock() {
  static std::recursive_mutex lock;
  return lock;
}

}  // namespace zelvo
