#pragma once
/// Internal invariants of the compiler library: conditions that the checks before them rule out.
///
/// A broken invariant is a bug, not an input error, so it stops the program with a diagnostic in every
/// build type (unlike `assert`, which release builds drop).

#include <cstdio>
#include <cstdlib>
#include <source_location>

namespace zarn_compiler::detail {

/// Stops the program: an invariant named by `what` does not hold. Written as
/// `if (!x) invariant_broken(...)` where the checked value is used right after (an optional, a
/// pointer), so that readers and static analysis both see the guarded use.
[[noreturn]] inline void invariant_broken(const char* what,
                                          std::source_location where = std::source_location::current()) {
  std::fprintf(stderr, "zarn_compiler: broken invariant at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), what);
  std::abort();
}

inline void check_invariant(bool holds, const char* what,
                            std::source_location where = std::source_location::current()) {
  if (!holds) invariant_broken(what, where);
}

}  // namespace zarn_compiler::detail
