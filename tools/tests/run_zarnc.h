#pragma once
// Runs the built zarnc binary as a user would, capturing what it prints.

#include <filesystem>
#include <string>
#include <vector>

namespace zarn_tools_test {

struct RunResult {
  /// The exit status, or -1 when the process did not exit normally (a crash).
  int exit_code = -1;
  std::string out;
  std::string err;
};

/// Runs zarnc with `arguments` (standard input from /dev/null) and `environment` entries
/// ("NAME=value") added to the test's own environment.
RunResult run_zarnc(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {});

/// A fresh empty directory under the system's temporary directory, removed with its contents when the
/// object goes.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// Writes `text` to the file `name` in the directory and returns its path.
  std::string write(const std::string& name, const std::string& text) const;

 private:
  std::filesystem::path path_;
};

/// The whole file's bytes.
std::string read_file(const std::filesystem::path& path);

/// The names of every file and folder under `directory`, relative to it, sorted.
std::vector<std::string> tree(const std::filesystem::path& directory);

}  // namespace zarn_tools_test
