#pragma once
// zarnc's command line: encoder, compile, lower and reference.

namespace zarnc {

/// Exit statuses.
inline constexpr int kExitSuccess = 0;
/// A compilation, lowering or reference evaluation failed.
inline constexpr int kExitFailure = 1;
/// A usage error, or a file that is malformed, unreadable or unwritable.
inline constexpr int kExitBadInput = 2;

/// Runs one command line and returns the exit status. Throws only what the standard library throws
/// (std::bad_alloc); main catches it.
int run(int argc, char** argv);

}  // namespace zarnc
