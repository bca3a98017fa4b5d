#pragma once

#include <chrono>
#include <set>

#include "line_peer.hpp"

namespace torvak_emu {

struct XmodemReceiverOptions {
  // Ask for CRC-16 blocks ("C") rather than blocks with the additive checksum (NAK).
  bool crc = true;
  // How often the receiver repeats its start request until the first block arrives.
  Clock::duration start_interval = std::chrono::milliseconds(100);
  // Blocks (counted from 1 over the whole transfer) answered once with NAK, as line noise
  // would make a receiver do; the sender has to send them again.
  std::set<int> reject_blocks;
};

// An XMODEM receiver (128-byte SOH and 1024-byte STX blocks) that keeps the file in memory.
// Like a terminal program started before the sender, it repeats its start request until
// the first block arrives; blocks are acknowledged one by one, a repeated block is
// acknowledged again without being stored, and a block out of sequence ends the transfer
// with CAN CAN. The file keeps the sender's padding of the last block.
class XmodemReceiver : public LinePeer {
 public:
  XmodemReceiver(XmodemReceiverOptions options, Clock::time_point now);

  void receive(std::span<const uint8_t> data, Bytes& answer) override;
  std::optional<Clock::time_point> next_tick() const override;
  void tick(Clock::time_point now, Bytes& answer) override;
  PeerSnapshot snapshot() const override;

 private:
  enum class State { kWaiting, kReceiving, kDone, kCancelled };

  // Takes every complete frame off the front of pending_.
  void take_frames(Bytes& answer);
  void take_block(size_t block_size, Bytes& answer);

  const XmodemReceiverOptions options_;
  State state_ = State::kWaiting;
  Clock::time_point next_start_request_;
  Bytes pending_;        // bytes of the frame being received
  Bytes file_;           // the accepted blocks, in order
  int next_block_ = 1;   // ordinal of the next new block; its sequence byte is this mod 256
  std::set<int> rejected_;
  int start_requests_ = 0;
  int naks_ = 0;
  int duplicates_ = 0;
  int stray_bytes_ = 0;  // bytes outside any frame, dropped
};

}  // namespace torvak_emu
