#pragma once
// The per-user settings of kestrel32: "Kestrel32.conf" under the user configuration root, section
// "Kestrel32" for the program's own values and "Node%d" for each node's.
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

class CKestrelProfile {
 public:
  static constexpr const char* kFileName = "Kestrel32.conf";
  static constexpr const char* kProgramSection = "Kestrel32";

  // The file under the user configuration root (moxel::user_config_dir()).
  CKestrelProfile();
  explicit CKestrelProfile(std::filesystem::path file) : file_(std::move(file)) {}

  static std::string NodeSection(int node) { return "Node" + std::to_string(node); }

  int GetInt(const std::string& section, const std::string& name, int fallback) const;
  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& fallback = {}) const;
  // False when the file could not be written (the reason goes to stderr).
  bool SetInt(const std::string& section, const std::string& name, int value) const;
  bool SetString(const std::string& section, const std::string& name, const std::string& value) const;

  // "InitCount" + 1, written back; the new count.
  int CountStart(int node) const;
  // "Program0" .. "Program<ProgramNum - 1>" of the node, empty entries included.
  std::vector<std::string> Programs(int node) const;

  // The settings page's view of the same list: the non-empty lines, in order.
  std::vector<std::string> ProgramLines(int node) const;
  // Writes the lines as "Program0".. and "ProgramNum", and removes the entries beyond the new
  // count up to the old one, in one update of the file.
  bool SaveProgramLines(int node, const std::vector<std::string>& lines) const;
  // A chosen program path as a program line: in double quotes when it holds a blank.
  static std::string QuotedPath(const std::string& path);

  const std::filesystem::path& File() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace kestrel
