#include "kestrel/boot/boot_profile.h"

#include <cstdio>

#include "platform/config_store.h"
#include "platform/paths.h"

namespace kestrel {

CKestrelProfile::CKestrelProfile() : file_(moxel::user_config_dir() / kFileName) {}

int CKestrelProfile::GetInt(const std::string& section, const std::string& name, int fallback) const {
  return static_cast<int>(moxel::load_config(file_).dword(section, name, static_cast<uint32_t>(fallback)));
}

std::string CKestrelProfile::GetString(const std::string& section, const std::string& name,
                                       const std::string& fallback) const {
  return moxel::load_config(file_).string(section, name, fallback);
}

static bool Update(const std::filesystem::path& file, const std::function<void(moxel::ConfigData&)>& change) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::string error;
  if (moxel::update_config(file, change, &error)) return true;
  std::fprintf(stderr, "kestrel32: %s: %s\n", file.c_str(), error.c_str());
  return false;
}

bool CKestrelProfile::SetInt(const std::string& section, const std::string& name, int value) const {
  return Update(file_, [&](moxel::ConfigData& d) { d.set(section, name, std::to_string(value)); });
}

bool CKestrelProfile::SetString(const std::string& section, const std::string& name,
                                const std::string& value) const {
  return Update(file_, [&](moxel::ConfigData& d) { d.set(section, name, value); });
}

int CKestrelProfile::CountStart(int node) const {
  // Read and write under one lock, so two programs counting at once lose no start.
  int count = 0;
  const std::string section = NodeSection(node);
  const bool written = Update(file_, [&](moxel::ConfigData& d) {
    count = static_cast<int>(d.dword(section, "InitCount", 0)) + 1;
    d.set(section, "InitCount", std::to_string(count));
  });
  if (!written) count = GetInt(section, "InitCount", 0) + 1;
  return count;
}

std::vector<std::string> CKestrelProfile::Programs(int node) const {
  const moxel::ConfigData data = moxel::load_config(file_);
  const std::string section = NodeSection(node);
  const int n = static_cast<int>(data.dword(section, "ProgramNum", 0));
  std::vector<std::string> out;
  for (int i = 0; i < n && i < 1000; ++i) out.push_back(data.string(section, "Program" + std::to_string(i)));
  return out;
}

std::vector<std::string> CKestrelProfile::ProgramLines(int node) const {
  std::vector<std::string> lines = Programs(node);
  std::erase_if(lines, [](const std::string& line) { return line.empty(); });
  return lines;
}

bool CKestrelProfile::SaveProgramLines(int node, const std::vector<std::string>& lines) const {
  const std::string section = NodeSection(node);
  return Update(file_, [&](moxel::ConfigData& d) {
    for (size_t i = 0; i < lines.size(); ++i) d.set(section, "Program" + std::to_string(i), lines[i]);
    const uint32_t old_count = d.dword(section, "ProgramNum", 0);
    d.set(section, "ProgramNum", std::to_string(lines.size()));
    for (uint32_t i = uint32_t(lines.size()); i < old_count && i < 1000; ++i)
      d.erase(section, "Program" + std::to_string(i));
  });
}

std::string CKestrelProfile::QuotedPath(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : '"' + path + '"';
}

}  // namespace kestrel
