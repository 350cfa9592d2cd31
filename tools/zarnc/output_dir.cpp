#include "output_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "zarn_platform/format.h"

namespace zarnc {
namespace {

namespace fs = std::filesystem;
using zarn_files::FileError;
using zarn_files::FileResult;
using zarn_platform::format;

std::unexpected<FileError> failure(const std::string& directory, std::string_view problem) {
  return std::unexpected(FileError{format("{}: {}", directory, problem)});
}

std::string system_message(int error_number) { return std::generic_category().message(error_number); }

/// DIR without trailing slashes, its parent folder and its last component.
struct Target {
  fs::path path;
  fs::path parent;
  std::string name;
};

FileResult<Target> target_of(const std::string& directory) {
  std::string trimmed = directory;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const fs::path path(trimmed);
  const std::string name = path.filename().string();
  if (trimmed.empty() || name.empty() || name == "." || name == ".." || trimmed == "/") {
    return failure(directory, "name a folder to create or replace, not the current or a parent folder");
  }
  fs::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  return Target{path, parent, name};
}

/// True when the folder holds a manifest that zarnc wrote.
bool is_zarnc_output(const fs::path& folder) {
  const auto manifest = zarn_files::read_json_file((folder / kManifestName).string());
  return manifest && manifest->is_object() && manifest->contains("zarnc");
}

/// Whether DIR exists (as something zarnc may replace), or fails.
FileResult<bool> existing_target(const std::string& directory, const Target& target) {
  struct stat status {};
  if (lstat(target.parent.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return failure(directory, format("the folder {} does not exist", target.parent.string()));
  }
  if (lstat(target.path.c_str(), &status) != 0) {
    if (errno == ENOENT) return false;
    return failure(directory, system_message(errno));
  }
  if (!S_ISDIR(status.st_mode)) return failure(directory, "exists and is not a folder; refusing to replace it");
  std::error_code error;
  const bool empty = fs::is_empty(target.path, error);
  if (error) return failure(directory, error.message());
  if (!empty && !is_zarnc_output(target.path)) {
    return failure(directory, format("exists and is not a zarnc output folder (it has no {}); refusing to replace it",
                                     kManifestName));
  }
  return true;
}

FileResult<void> write_file(const fs::path& path, const std::string& bytes) {
  std::FILE* stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr) return std::unexpected(FileError{format("{}: {}", path.string(), system_message(errno))});
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
  const int write_errno = errno;
  const bool closed = std::fclose(stream) == 0;
  if (!written || !closed) {
    return std::unexpected(FileError{format("{}: {}", path.string(), system_message(written ? errno : write_errno))});
  }
  return {};
}

mode_t folder_mode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0777 & ~mask);
}

/// Removes the temporary folder on every exit that does not hand it over.
class TemporaryFolder {
 public:
  explicit TemporaryFolder(fs::path path) : path_(std::move(path)) {}
  ~TemporaryFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const fs::path& path() const { return path_; }
  /// After a swap the folder holds DIR's old contents; it is still removed.
  void release() { path_.clear(); }

 private:
  fs::path path_;
};

}  // namespace

FileResult<void> check_output_directory(const std::string& directory) {
  auto target = target_of(directory);
  if (!target) return std::unexpected(target.error());
  auto exists = existing_target(directory, *target);
  if (!exists) return std::unexpected(exists.error());
  return {};
}

FileResult<void> write_output_directory(const std::string& directory, const std::vector<OutputFile>& files) {
  auto target = target_of(directory);
  if (!target) return std::unexpected(target.error());
  auto exists = existing_target(directory, *target);
  if (!exists) return std::unexpected(exists.error());

  std::string pattern = (target->parent / ("." + target->name + ".zarnc-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    return failure(directory, format("cannot create a temporary folder beside it: {}", system_message(errno)));
  }
  TemporaryFolder temporary{fs::path(pattern)};

  for (const OutputFile& file : files) {
    const fs::path path = temporary.path() / file.path;
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) return failure(directory, format("cannot create {}: {}", path.parent_path().string(), error.message()));
    auto written = write_file(path, file.bytes);
    if (!written) return written;
  }
  if (chmod(temporary.path().c_str(), folder_mode()) != 0) {
    return failure(directory, format("cannot set the folder's permissions: {}", system_message(errno)));
  }

  if (!*exists) {
    if (rename(temporary.path().c_str(), target->path.c_str()) != 0) {
      return failure(directory, format("cannot move the output into place: {}", system_message(errno)));
    }
    temporary.release();
    return {};
  }
  // Swap the new folder with the old one in one step; the temporary name then holds the old
  // contents, which the TemporaryFolder removes.
  if (renameat2(AT_FDCWD, temporary.path().c_str(), AT_FDCWD, target->path.c_str(), RENAME_EXCHANGE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) {
    return failure(directory, format("cannot move the output into place: {}", system_message(errno)));
  }
  // The file system cannot swap: move the old folder aside, then the new one in.
  std::string aside = (target->parent / ("." + target->name + ".zarnc-old-XXXXXX")).string();
  if (mkdtemp(aside.data()) == nullptr || rmdir(aside.c_str()) != 0 ||
      rename(target->path.c_str(), aside.c_str()) != 0) {
    return failure(directory, format("cannot move the earlier output aside: {}", system_message(errno)));
  }
  TemporaryFolder old{fs::path(aside)};
  if (rename(temporary.path().c_str(), target->path.c_str()) != 0) {
    const int move_errno = errno;
    if (rename(aside.c_str(), target->path.c_str()) == 0) old.release();
    return failure(directory, format("cannot move the output into place: {}", system_message(move_errno)));
  }
  temporary.release();
  return {};
}

}  // namespace zarnc
