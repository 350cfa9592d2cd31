#pragma once
// JSON paths as messages show them: $.steps[3].matmul.left, $.tensors[0]["odd key"].

#include <cstddef>
#include <string>
#include <string_view>

namespace zarn_files {

/// Appends ".name", or ["name"] (escaped) when the name is not a plain identifier.
void append_member(std::string& path, std::string_view name);

/// Appends "[index]".
void append_index(std::string& path, std::size_t index);

/// The text with quotes, backslashes and control characters escaped, cut to 64 bytes (with "...")
/// so that a hostile name cannot flood a message.
std::string escaped_for_message(std::string_view text);

}  // namespace zarn_files
