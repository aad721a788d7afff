#include "media/library_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "media/av_entries.h"
#include "media/sdl_entries.h"
#include "test_media.h"

namespace fs = std::filesystem;
using zelvo::LibraryLoader;
using zelvo::MediaLibrary;

namespace {

// Every test leaves the process-wide loader as the other tests expect it:
// no overrides, system search order, the player set loaded.
class LoaderTest : public ::testing::Test {
 protected:
  LibraryLoader& loader = LibraryLoader::Instance();
  void SetUp() override { zelvo::test::LoadMediaLibrariesForTests(); }
  void TearDown() override {
    for (int i = 0; i < zelvo::kMediaLibraryCount; ++i) loader.Status(static_cast<MediaLibrary>(i)).DllName.clear();
    loader.UnloadLib(MediaLibrary::libAVDevice);
    loader.SetLibraryPath("");
    std::string err;
    ASSERT_TRUE(zelvo::LoadMediaLibraries("", zelvo::kPlayerLibraries, err)) << err;
  }
  static std::string TempDir(const std::string& name) {
    fs::path p = fs::path(ZELVO_TEST_BINARY_DIR) / "loader" / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p.string();
  }
};

TEST_F(LoaderTest, BuildsLinuxFileNamesAndHonoursOverrides) {
  const struct { MediaLibrary lib; std::string name; } kCases[] = {
      {MediaLibrary::libAVCodec, "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR)},
      {MediaLibrary::libAVDevice, "libavdevice.so." + std::to_string(LIBAVDEVICE_VERSION_MAJOR)},
      {MediaLibrary::libAVFilter, "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR)},
      {MediaLibrary::libAVFormat, "libavformat.so." + std::to_string(LIBAVFORMAT_VERSION_MAJOR)},
      {MediaLibrary::libAVUtil, "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR)},
      {MediaLibrary::libSwScale, "libswscale.so." + std::to_string(LIBSWSCALE_VERSION_MAJOR)},
      {MediaLibrary::libMSVCRT, "libc.so.6"},
      {MediaLibrary::libSDL, "libSDL2-2.0.so.0"},
  };
  for (const auto& c : kCases) EXPECT_EQ(loader.LibraryFileName(c.lib), c.name);
  loader.Status(MediaLibrary::libSDL).DllName = "/opt/x/libSDL-other.so";
  EXPECT_EQ(loader.LibraryFileName(MediaLibrary::libSDL), "/opt/x/libSDL-other.so");
}

TEST_F(LoaderTest, MissingModuleNamesTheFullPathTried) {
  const std::string dir = TempDir("empty");
  loader.SetLibraryPath(dir);  // no trailing "/": the loader adds one
  loader.Status(MediaLibrary::libAVDevice).DllName = "libzelvo-missing.so.3";
  EXPECT_FALSE(loader.LoadLib(MediaLibrary::libAVDevice));
  EXPECT_EQ(loader.Status(MediaLibrary::libAVDevice).Handle, nullptr);
  EXPECT_FALSE(loader.LibLoaded(MediaLibrary::libAVDevice));
  const std::string expected = "Load library " + dir + "/libzelvo-missing.so.3 error: ";
  EXPECT_EQ(loader.LastError().substr(0, expected.size()), expected) << loader.LastError();
  EXPECT_NE(loader.LastError().find("libzelvo-missing.so.3"), loader.LastError().size() - 1);
}

TEST_F(LoaderTest, FolderWithoutTheLibrariesFallsBackToTheSystem) {
  loader.SetLibraryPath(TempDir("no-libs"));
  EXPECT_TRUE(loader.LoadLib(MediaLibrary::libAVDevice)) << loader.LastError();
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(zelvo::lib::avdevice.avdevice_register_all), &info), 0);
  EXPECT_EQ(std::string(info.dli_fname).find("/no-libs/"), std::string::npos);
}

TEST_F(LoaderTest, ModuleLackingABoundNameIsFreedAgain) {
  loader.Status(MediaLibrary::libAVDevice).DllName = ZELVO_STUB_LIBRARY;  // has a folder part
  loader.SetLibraryPath("/nonexistent-folder");
  EXPECT_FALSE(loader.LoadLib(MediaLibrary::libAVDevice));
  EXPECT_EQ(loader.Status(MediaLibrary::libAVDevice).Handle, nullptr);
  EXPECT_FALSE(loader.Status(MediaLibrary::libAVDevice).Loaded);
  EXPECT_EQ(zelvo::lib::avdevice.avdevice_register_all, nullptr);
  const std::string expected = std::string("Load function avdevice_register_all@") + ZELVO_STUB_LIBRARY + " error: ";
  EXPECT_EQ(loader.LastError().substr(0, expected.size()), expected) << loader.LastError();
  EXPECT_NE(loader.LastError().find("undefined symbol"), std::string::npos) << loader.LastError();
}

TEST_F(LoaderTest, BindingReportsMissingFunctionsAndVariablesByKind) {
  void* handle = dlopen(ZELVO_STUB_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  void* function = nullptr;
  void* variable = nullptr;
  const zelvo::EntrySpec good[] = {{"zelvo_stub_function", &function, false}, {"zelvo_stub_variable", &variable, true}};
  zelvo::BindEntries(handle, "stub.so", good);
  EXPECT_EQ(*static_cast<int*>(variable), 42);
  EXPECT_EQ(reinterpret_cast<int (*)(int)>(function)(1), 2);

  const zelvo::EntrySpec badVariable[] = {{"zelvo_stub_function", &function, false}, {"no_such_variable", &variable, true}};
  try {
    zelvo::BindEntries(handle, "stub.so", badVariable);
    ADD_FAILURE() << "a missing variable must raise";
  } catch (const zelvo::LibraryLoadError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Load variable no_such_variable@stub.so error: ", 0), 0u) << e.what();
  }
  dlclose(handle);
}

TEST_F(LoaderTest, FailingMemberUnloadsTheWholeSet) {
  ASSERT_TRUE(zelvo::IsMediaLibraryLoaded(zelvo::kConversionLibraries));
  loader.UnloadLib(MediaLibrary::libSDL);
  loader.Status(MediaLibrary::libSDL).DllName = "libzelvo-no-sdl.so.0";
  std::string err;
  EXPECT_FALSE(zelvo::LoadMediaLibraries("", zelvo::kPlayerLibraries, err));
  EXPECT_EQ(err.rfind("Load library libzelvo-no-sdl.so.0 error: ", 0), 0u) << err;
  // The shared members went with it, also those loaded before this call.
  EXPECT_FALSE(zelvo::IsMediaLibraryLoaded(zelvo::kConversionLibraries));
  EXPECT_FALSE(zelvo::IsMediaLibraryLoaded(zelvo::kPlayerLibraries));
  for (int i = 0; i < zelvo::kMediaLibraryCount; ++i)
    EXPECT_EQ(loader.Status(static_cast<MediaLibrary>(i)).Handle, nullptr) << i;
  EXPECT_EQ(zelvo::lib::avcodec.avcodec_open2, nullptr);
  EXPECT_EQ(zelvo::lib::sdl.SDL_Init, nullptr);
}

TEST_F(LoaderTest, PlayerSetAfterConversionSetOnlyAddsSdl) {
  loader.UnloadLib(MediaLibrary::libSDL);
  void* codecHandle = loader.Status(MediaLibrary::libAVCodec).Handle;
  std::string err;
  ASSERT_TRUE(zelvo::LoadMediaLibraries("", zelvo::kPlayerLibraries, err)) << err;
  EXPECT_EQ(loader.Status(MediaLibrary::libAVCodec).Handle, codecHandle);
  EXPECT_TRUE(loader.LibLoaded(MediaLibrary::libSDL));
  EXPECT_FALSE(loader.LibLoaded(MediaLibrary::libAVDevice));  // in no set
}

// Counts the loaded objects whose file name ends in `soname`, and returns the
// path of the last one.
int CountLoaded(const std::string& soname, std::string* path) {
  struct Search { std::string soname; int count = 0; std::string path; } s{soname, 0, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        std::string name = info->dlpi_name ? info->dlpi_name : "";
        if (name.size() >= s->soname.size() && name.compare(name.size() - s->soname.size(), s->soname.size(), s->soname) == 0) {
          ++s->count;
          s->path = name;
        }
        return 0;
      },
      &s);
  if (path) *path = s.path;
  return s.count;
}

// Runs in the death-test child: loads from the folder, checks where the code
// came from, and exits 0 when all is as expected.
[[noreturn]] void LoadFromFolderInFreshProcess(const fs::path& dir) {
        LibraryLoader& l = LibraryLoader::Instance();
        l.SetLibraryPath(dir.string());
        bool ok = l.LoadLib(MediaLibrary::libAVCodec) && l.LoadLib(MediaLibrary::libAVUtil);
        Dl_info info{};
        dladdr(reinterpret_cast<void*>(zelvo::lib::avcodec.avcodec_open2), &info);
        std::string codecPath = info.dli_fname ? info.dli_fname : "";
        std::string utilPath;
        int utilCopies = CountLoaded("libavutil.so.57", &utilPath);
        std::string env = getenv("LD_LIBRARY_PATH") ? getenv("LD_LIBRARY_PATH") : "";
        size_t first = env.find(dir.string()), again = env.find(dir.string(), first + 1);
        bool good = ok && codecPath == (dir / "libavcodec.so.59").string() && utilCopies == 1 &&
                    utilPath == (dir / "libavutil.so.57").string() && first != std::string::npos &&
                    again == std::string::npos;
        if (!good) fprintf(stderr, "ok=%d codec=%s util=%s copies=%d env=%s err=%s\n", ok, codecPath.c_str(),
                           utilPath.c_str(), utilCopies, env.c_str(), l.LastError().c_str());
        std::exit(good ? 0 : 1);
      }

// In a fresh process (nothing loaded yet, as at program start): a LibAV folder
// holding the libraries is used, its own dependencies come from it too, and
// the folder enters the library search path once.
TEST(LoaderFolderTest, LibrariesAndTheirDependenciesLoadFromTheFolder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const fs::path dir = fs::path(ZELVO_TEST_BINARY_DIR) / "loader" / "LibAV";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const char* kCopied[] = {"libavutil.so.57", "libswresample.so.4", "libavcodec.so.59"};
  for (const char* name : kCopied)
    fs::copy_file(fs::canonical(fs::path("/usr/lib/x86_64-linux-gnu") / name), dir / name,
                  fs::copy_options::overwrite_existing);
  EXPECT_EXIT(LoadFromFolderInFreshProcess(dir), ::testing::ExitedWithCode(0), "");
}

}  // namespace
