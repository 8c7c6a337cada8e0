#include "platform/temp_files.h"

#include <sys/stat.h>

namespace moxel {

void remove_stale_temps(const std::filesystem::path& folder, const std::string& prefix) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    struct stat st {};
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        ::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
      std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace moxel
