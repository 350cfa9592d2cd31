#pragma once
/// Writing documents: zarnc's own serializer, so that floats come out as the shortest text that
/// reads back as the same single-precision value and files stay readable.

#include <string>

#include "zarn_files/json_document.h"

namespace zarn_files {

/// The shortest decimal text that reads back (rounding to nearest) as exactly `value`: "1e-05",
/// "0.1", "17.354069". Integral values keep a ".0" ("100.0"), negative zero is "-0.0", and the
/// non-finite values are "inf", "-inf" and "nan" (which JSON output writes as null instead).
std::string float_text(float value);

/// A JSON number holding `value`. Every floating-point number of a document written by
/// `write_json` is a single-precision value and is written with `float_text`.
Json float_json(float value);

/// The document as text, ending in a newline: two-space indentation; a container nested at most two
/// levels deep that fits in 100 columns stays on one line ({"tensor": 0, "tiles": [0, 1], ...}); a
/// longer list of scalars wraps at 100 columns. Members keep their insertion order. Non-finite
/// numbers are written as null. Strings are written as UTF-8 with JSON escapes; bytes that are not
/// valid UTF-8 become U+FFFD.
std::string write_json(const Json& document);

}  // namespace zarn_files
