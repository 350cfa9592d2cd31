#pragma once
/// Multicast plans: the exact exchange rows with which one tile sends a block of consecutive words to
/// one or more receiving tiles in a single launch, timed from the moment the tiles enter their rows.
///
/// `Topology::multicast` (declared in zarn_exchange/topology.h) builds them:
///
/// 1. validate_count(count), then the sender (Tile), then the receiver set (ReceiverSet: empty, the
///    sender, a repeat or not a tile of the board).
/// 2. Every receiver's mux time is time_to_mux(sender, receiver) on physical tiles. The send is
///    issued at start_cycle = max(-min mux time, 0) + schedule_offset, the earliest cycle at which no
///    receiver's event falls before cycle 0, moved later by the offset. Above 4095: Schedule
///    "multicast start cycle".
/// 3. A receiver's receive_cycle is start_cycle + its mux time; above 4095: Schedule "multicast
///    receive cycle".
///
/// Timing of the rows (sums of event advances between entry and return):
/// - the sender's row lasts max(start_cycle + count, 6) cycles;
/// - a receiver's row lasts receive_cycle + count + 2 * (receiver's board row) + 58 cycles.
///
/// Source and destination SRAM addresses are left zero; patch them with `patch_sender_address` and
/// `patch_multicast_receiver_address`. On success one DEBUG event "assembled multicast exchange" is
/// emitted on target "zarn_exchange" with fields sender_logical, receivers, count, schedule_offset.

#include <vector>

#include "zarn_exchange/instruction_words.h"
#include "zarn_exchange/topology.h"

namespace zarn_exchange {

/// The rows of one multicast; owned by the caller, who patches and consumes them.
struct MulticastPlan {
  /// The sending tile's row.
  ExchangeRow sender;
  /// One row per receiver, in the order of the receiver list given to `multicast`.
  std::vector<ExchangeRow> receivers;

  friend bool operator==(const MulticastPlan&, const MulticastPlan&) = default;
};

/// The latest cycle at which a multicast may send or a receiver may receive.
inline constexpr std::uint32_t MAX_MULTICAST_CYCLE = 4095;

}  // namespace zarn_exchange
