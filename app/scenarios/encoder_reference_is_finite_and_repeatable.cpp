#include <gtest/gtest.h>

#include "scenario_table.h"

namespace zarn_selfcheck {

void encoder_reference_is_finite_and_repeatable() { GTEST_SKIP() << "reference evaluation not built yet"; }

}  // namespace zarn_selfcheck
