#pragma once
// `-o DIR`: every file of a run appears at once, or none does.
//
// The files are written into a fresh hidden folder beside DIR (".DIR.zarnc-XXXXXX"), which is
// renamed into place only after the last file is complete. An existing DIR is replaced only when it
// is empty or was itself written by zarnc (it holds zarnc's manifest.json); it is swapped with the new
// folder in one atomic rename and the old contents are removed afterwards. Anything else at DIR is
// refused before any work is done.

#include <string>
#include <vector>

#include "zarn_files/json_document.h"

namespace zarnc {

/// One file of the output folder: its path relative to the folder ("commands/tile-0000.bin").
struct OutputFile {
  std::string path;
  std::string bytes;
};

/// The name of the manifest every output folder holds.
inline constexpr const char* kManifestName = "manifest.json";

/// Fails when DIR could not be written: its parent folder is missing, or something other than an
/// empty folder or an earlier zarnc output folder is there.
zarn_files::FileResult<void> check_output_directory(const std::string& directory);

/// Writes `files` (and nothing else) as the folder `directory`, replacing an earlier output folder.
/// On failure nothing at `directory` has changed and the temporary folder is gone.
zarn_files::FileResult<void> write_output_directory(const std::string& directory, const std::vector<OutputFile>& files);

}  // namespace zarnc
