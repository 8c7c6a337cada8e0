#pragma once
// Temporary files of writers that replace a file atomically: "<prefix>XXXXXX" next to the file,
// written complete and then renamed over it.
#include <filesystem>
#include <string>

namespace moxel {

// Removes the regular files in `folder` named `prefix` followed by the six characters mkstemp
// puts there: what writers killed before their rename left behind. Call it only where no live
// writer can have one (under the writers' lock, or in the only process that writes there).
void remove_stale_temps(const std::filesystem::path& folder, const std::string& prefix);

}  // namespace moxel
