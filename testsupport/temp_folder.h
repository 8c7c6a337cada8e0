#pragma once
// A fresh folder /tmp/<prefix>-XXXXXX for a test, removed with everything in it at the end.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace moxel::test {

struct TempFolder {
  std::filesystem::path path;
  explicit TempFolder(const std::string& prefix = "moxel-test") {
    std::string name = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(name.data())) path = name;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
};

}  // namespace moxel::test
