#include "zarn_compiler/schedule.h"

namespace zarn_compiler {

bool CompilerOptions::is_valid() const {
  return tile_count != 0 && exchange_base >= kLowestExchangeBase && exchange_limit <= kHighestExchangeLimit &&
         exchange_base < exchange_limit && exchange_limit <= data_base && data_base < data_limit;
}

}  // namespace zarn_compiler
