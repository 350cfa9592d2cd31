// zarnc, the command-line compiler. See docs/cli.md.

#include <cstdio>
#include <exception>
#include <new>

#include "cli.h"

int main(int argc, char** argv) {
  // The zarn libraries never throw; CLI11 and nlohmann do, and are caught where they are used. What
  // can still arrive here is the standard library's: running out of memory above all.
  try {
    return zarnc::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("zarnc: error: out of memory\n", stderr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zarnc: error: internal error: %s\n", error.what());
  } catch (...) {
    std::fputs("zarnc: error: internal error\n", stderr);
  }
  return zarnc::kExitFailure;
}
