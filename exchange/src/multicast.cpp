#include "zarn_exchange/multicast.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <limits>

#include "zarn_platform/log.h"

namespace zarn_exchange {
namespace {

// Direction field of every multicast send word.
constexpr std::uint32_t MULTICAST_DIRECTION = 3;
// The receiver's XPIC `c` field that marks its count words (the second XPIC delay of the row).
constexpr std::uint32_t RECEIVE_COUNT_MARK = 1600;
// A send word carries at most 64 words; the rest goes into one send-off word.
constexpr std::uint32_t SEND_WORD_LIMIT = 64;

constexpr std::uint32_t marked_pic_delay(std::uint32_t a) { return delay_pic(a, 0, 0) | RECEIVE_ADDRESS_MARK; }

// Membership of logical tiles, one bit each, without allocating: the receiver check runs once per
// multicast group of every launch. Only the words covering the board's tiles are cleared, and only
// valid tiles (below the tile count) are ever marked or looked up.
class TileSet {
 public:
  explicit TileSet(std::size_t tile_count) : used_words_(std::min(WORDS, (tile_count + 63) / 64)) {
    std::fill_n(bits_.begin(), used_words_, std::uint64_t{0});
  }

  // Adds `tile`; false when it was already present.
  bool insert(std::uint16_t tile) {
    const std::size_t word = tile / 64u;
    assert(word < used_words_);
    const std::uint64_t bit = std::uint64_t{1} << (tile % 64u);
    if ((bits_[word] & bit) != 0) return false;
    bits_[word] |= bit;
    return true;
  }

 private:
  // Logical tiles are 16-bit, so 65536 bits cover any board.
  static constexpr std::size_t WORDS = 65536 / 64;
  std::array<std::uint64_t, WORDS> bits_;
  std::size_t used_words_;
};

bool receivers_form_a_set(std::size_t tile_count, std::uint16_t sender_logical,
                          std::span<const std::uint16_t> receiver_logical) {
  if (receiver_logical.empty()) return false;
  TileSet used(tile_count);
  used.insert(sender_logical);
  for (const auto receiver : receiver_logical) {
    if (receiver >= tile_count || !used.insert(receiver)) return false;
  }
  return true;
}

ExchangeRow sender_row(std::uint32_t start_cycle, std::uint32_t count) {
  ExchangeRow row{};
  std::size_t next = 0;
  row[next++] = EXCHANGE_ROW_ENTRY;
  // The delay lasts start_cycle cycles, so the send is issued at cycle start_cycle.
  const std::int32_t sender_delay = static_cast<std::int32_t>(start_cycle) - 1;
  if (sender_delay >= 0) row[next++] = delay(static_cast<std::uint32_t>(sender_delay));
  const auto send = encode_send(std::min(count, SEND_WORD_LIMIT) - 1, MULTICAST_DIRECTION, 0);
  assert(send.has_value());
  row[next++] = *send;
  if (count > SEND_WORD_LIMIT) row[next++] = send_off(count - SEND_WORD_LIMIT - 1, MULTICAST_DIRECTION, 0);
  // Even a very early, very short send keeps its row at least 6 cycles long.
  const std::int32_t trailing_delay = 4 - sender_delay - static_cast<std::int32_t>(count);
  if (trailing_delay >= 0) row[next++] = delay(static_cast<std::uint32_t>(trailing_delay));
  row[next++] = EXCHANGE_ROW_RETURN;
  return row;
}

ExchangeRow receiver_row(std::uint32_t receive_cycle, std::uint32_t source_physical, std::uint32_t receiver_physical,
                         std::uint32_t count) {
  // Twice the receiver's row on the board: at most 44 on the K1472, so the marked PIC field stays
  // within 44 + 51 of its 127.
  const std::uint32_t receiver_phase = (receiver_physical >> 6) * 2;
  assert(receiver_phase + 51 <= 0x7F);
  assert(source_physical <= 0x1FFF);
  ExchangeRow row{};
  row[0] = EXCHANGE_ROW_ENTRY;
  row[1] = delay_xpic(receive_cycle, 0, source_physical);
  if (count <= 51) {
    row[2] = delay_xpic(count - 1, 0, RECEIVE_COUNT_MARK);
    row[3] = marked_pic_delay(51 - count + receiver_phase);
    row[4] = delay(count + 4);
  } else if (count == 52) {
    row[2] = marked_pic_delay(receiver_phase + 50);
    row[3] = delay_xpic(0, 0, RECEIVE_COUNT_MARK);
    row[4] = delay(56);
  } else {
    row[2] = marked_pic_delay(receiver_phase + 51);
    row[3] = delay_xpic(count - 53, 0, RECEIVE_COUNT_MARK);
    row[4] = delay(56);
  }
  row[5] = EXCHANGE_ROW_RETURN;
  return row;
}

}  // namespace

ExchangeResult<MulticastPlan> Topology::multicast(std::uint16_t sender_logical,
                                                  std::span<const std::uint16_t> receiver_logical,
                                                  std::uint32_t count, std::uint32_t schedule_offset) const {
  if (auto valid = validate_count(count); !valid) return std::unexpected(valid.error());
  const auto sender_physical = physical(sender_logical);
  if (!sender_physical) return std::unexpected(sender_physical.error());
  const std::uint32_t source_physical = *sender_physical;
  if (!receivers_form_a_set(tile_count(), sender_logical, receiver_logical)) {
    return exchange_failure(ExchangeError::ReceiverSet{});
  }

  // Mux times are recomputed when the rows are built rather than kept in a list: they are a few
  // integer operations each, and the plan then allocates only its receiver rows.
  std::int32_t minimum_mux = std::numeric_limits<std::int32_t>::max();
  std::int32_t maximum_mux = std::numeric_limits<std::int32_t>::min();
  for (const auto receiver : receiver_logical) {
    const std::int32_t mux_time = time_to_mux(source_physical, logical_to_physical[receiver]);
    minimum_mux = std::min(minimum_mux, mux_time);
    maximum_mux = std::max(maximum_mux, mux_time);
  }

  // The earliest send at which no receiver's event falls before cycle 0.
  const auto natural_start = static_cast<std::uint32_t>(std::max(-minimum_mux, 0));
  if (schedule_offset > std::numeric_limits<std::uint32_t>::max() - natural_start ||
      natural_start + schedule_offset > MAX_MULTICAST_CYCLE) {
    return exchange_failure(ExchangeError::Schedule{"multicast start cycle"});
  }
  const std::uint32_t start_cycle = natural_start + schedule_offset;
  // The latest receive cycle belongs to the largest mux time; the earliest is never below 0 (the
  // natural start covers the smallest one).
  if (static_cast<std::int32_t>(start_cycle) + maximum_mux > static_cast<std::int32_t>(MAX_MULTICAST_CYCLE)) {
    return exchange_failure(ExchangeError::Schedule{"multicast receive cycle"});
  }

  MulticastPlan plan{sender_row(start_cycle, count), {}};
  plan.receivers.reserve(receiver_logical.size());
  for (const auto receiver : receiver_logical) {
    const std::uint32_t receiver_physical = logical_to_physical[receiver];
    const std::int32_t receive_cycle = static_cast<std::int32_t>(start_cycle) + time_to_mux(source_physical, receiver_physical);
    assert(receive_cycle >= 0 && receive_cycle <= static_cast<std::int32_t>(MAX_MULTICAST_CYCLE));
    plan.receivers.push_back(
        receiver_row(static_cast<std::uint32_t>(receive_cycle), source_physical, receiver_physical, count));
  }

  zarn_platform::emit(zarn_platform::LogLevel::Debug, "zarn_exchange", "assembled multicast exchange",
                      {{"sender_logical", std::uint64_t{sender_logical}},
                       {"receivers", std::uint64_t{plan.receivers.size()}},
                       {"count", std::uint64_t{count}},
                       {"schedule_offset", std::uint64_t{schedule_offset}}});
  return plan;
}

}  // namespace zarn_exchange
