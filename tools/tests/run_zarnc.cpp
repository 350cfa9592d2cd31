#include "run_zarnc.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace zarn_tools_test {

RunResult run_zarnc(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  TemporaryDirectory capture;
  const std::string out_path = (capture.path() / "stdout").string();
  const std::string err_path = (capture.path() / "stderr").string();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

  std::vector<std::string> argument_texts{ZARNC_PATH};
  argument_texts.insert(argument_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argument_texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment_texts;
  for (char** entry = environ; *entry != nullptr; ++entry) environment_texts.emplace_back(*entry);
  environment_texts.insert(environment_texts.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (auto& text : environment_texts) envp.push_back(text.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, ZARNC_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error(std::string("cannot start zarnc: ") + std::strerror(spawned));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  RunResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zarn-tools-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary directory");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::write(const std::string& name, const std::string& text) const {
  const auto file = path_ / name;
  std::ofstream stream(file, std::ios::binary);
  stream << text;
  return file.string();
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

std::vector<std::string> tree(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    names.push_back(std::filesystem::relative(entry.path(), directory).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace zarn_tools_test
