#pragma once
// Text listings of the stages (`--emit ... --format text`): the same content as the JSON files, laid
// out for reading, with words in hexadecimal.

#include <string>

#include "pipeline.h"
#include "text.h"

namespace zarnc {

/// The listing of one stage that produced; empty when it did not.
std::string render_listing(const Results& results, Stage stage, const Style& style);

}  // namespace zarnc
