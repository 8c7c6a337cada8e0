// moxel-control: the control panel. Without an argument it lists the applets installed in its
// applet folder; with one it loads that applet library and runs it as the control panel would.
#include <dlfcn.h>

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "applets/common/cpl.h"
#include "platform/qt/display_check.h"

namespace fs = std::filesystem;

namespace {

// One loaded applet library. Unloads itself (after CPL_STOP and CPL_EXIT when it was started).
class AppletLibrary {
 public:
  // Loads `path`; on failure error() says why and proc() is null.
  explicit AppletLibrary(const fs::path& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      const char* why = ::dlerror();
      error_ = "cannot be loaded: " + std::string(why ? why : "unknown error");
      return;
    }
    ::dlerror();
    proc_ = reinterpret_cast<APPLET_PROC>(::dlsym(handle_, MOXEL_CPL_ENTRY_NAME));
    if (!proc_) error_ = "exports no " MOXEL_CPL_ENTRY_NAME;
  }
  ~AppletLibrary() {
    if (started_) {
      for (int32_t i = 0; i < count_; ++i) proc_(window_, CPL_STOP, i, 0);
      proc_(window_, CPL_EXIT, 0, 0);
    }
    if (handle_) ::dlclose(handle_);
  }
  AppletLibrary(const AppletLibrary&) = delete;
  AppletLibrary& operator=(const AppletLibrary&) = delete;

  const std::string& error() const { return error_; }

  // CPL_INIT and CPL_GETCOUNT; false when the library refuses to start.
  bool start(void* window) {
    if (!proc_) return false;
    window_ = window;
    if (proc_(window_, CPL_INIT, 0, 0) == 0) {
      error_ = "refused to start (CPL_INIT answered 0)";
      return false;
    }
    started_ = true;
    count_ = std::max<int32_t>(0, proc_(window_, CPL_GETCOUNT, 0, 0));
    return true;
  }
  int32_t count() const { return count_; }

  NEWCPLINFO inquire(int32_t index) {
    NEWCPLINFO info{};
    proc_(window_, CPL_NEWINQUIRE, index, reinterpret_cast<intptr_t>(&info));
    // The texts are the library's; make sure they end inside their fields.
    info.szName[sizeof info.szName - 1] = '\0';
    info.szInfo[sizeof info.szInfo - 1] = '\0';
    info.szHelpFile[sizeof info.szHelpFile - 1] = '\0';
    return info;
  }
  void run(int32_t index) { proc_(window_, CPL_DBLCLK, index, 0); }

 private:
  void* handle_ = nullptr;
  APPLET_PROC proc_ = nullptr;
  void* window_ = nullptr;
  bool started_ = false;
  int32_t count_ = 0;
  std::string error_;
};

// The installed applet folder, found from where this program lies (<prefix>/bin/moxel-control and
// <prefix>/<libdir>/moxel/applets), so an installation moved to another prefix still finds its
// applets; the folder of the configured prefix otherwise.
fs::path default_applet_dir() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    fs::path beside = self.parent_path() / MOXEL_APPLET_RELDIR;
    if (fs::is_directory(beside, ec)) return beside.lexically_normal();
  }
  return MOXEL_APPLET_DIR;
}

void usage(FILE* out) {
  std::fprintf(out,
               "usage: moxel-control [--dir DIR] [APPLET-LIBRARY]\n"
               "  Without APPLET-LIBRARY, lists the applets found in DIR (default %s).\n"
               "  APPLET-LIBRARY is a path, a file name in DIR, or a short name (flux2 for\n"
               "  DIR/libflux2.so).\n",
               default_applet_dir().c_str());
}

int list_applets(const fs::path& dir) {
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".so" && it->is_regular_file()) files.push_back(it->path());
  if (ec) {
    std::fprintf(stderr, "moxel-control: %s: %s\n", dir.c_str(), ec.message().c_str());
    return 2;
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    AppletLibrary lib(file);
    if (!lib.start(nullptr)) {
      std::fprintf(stderr, "moxel-control: %s: %s\n", file.c_str(), lib.error().c_str());
      continue;
    }
    for (int32_t i = 0; i < lib.count(); ++i) {
      NEWCPLINFO info = lib.inquire(i);
      std::printf("%s\t%s\t%s\n", file.filename().c_str(), info.szName, info.szInfo);
    }
  }
  return 0;
}

fs::path resolve(const std::string& arg, const fs::path& dir) {
  if (arg.find('/') != std::string::npos) return arg;
  if (fs::exists(dir / arg)) return dir / arg;
  if (fs::exists(dir / ("lib" + arg + ".so"))) return dir / ("lib" + arg + ".so");
  return dir / arg;
}

int run_applet(const fs::path& file, int argc, char** argv) {
  AppletLibrary lib(file);
  if (!lib.error().empty()) {
    std::fprintf(stderr, "moxel-control: %s: %s\n", file.c_str(), lib.error().c_str());
    return 2;
  }
  // The applet shows its dialog modally inside the host's application, which needs a display.
  moxel::require_display("moxel-control", "");
  QApplication app(argc, argv);
  moxel::display_found_done();
  if (!lib.start(nullptr)) {
    std::fprintf(stderr, "moxel-control: %s: %s\n", file.c_str(), lib.error().c_str());
    return 2;
  }
  if (lib.count() < 1) {
    std::fprintf(stderr, "moxel-control: %s: holds no applet\n", file.c_str());
    return 2;
  }
  lib.inquire(0);
  lib.run(0);
  return 0;  // CPL_STOP and CPL_EXIT follow as the library is released
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = default_applet_dir();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (a == "--dir") {
      if (++i >= argc) {
        usage(stderr);
        return 2;
      }
      dir = argv[i];
    } else if (a.rfind("--dir=", 0) == 0) {
      dir = a.substr(6);
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "moxel-control: unknown option %s\n", a.c_str());
      usage(stderr);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  if (args.size() > 1) {
    usage(stderr);
    return 2;
  }
  if (args.empty()) return list_applets(dir);
  return run_applet(resolve(args[0], dir), argc, argv);
}
