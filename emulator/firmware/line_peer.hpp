#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "descriptors.hpp"
#include "scheduler.hpp"

namespace torvak_emu {

// What a test can see of a peer: its kind and state, what it has taken in, and counters.
struct PeerSnapshot {
  std::string kind;
  std::string state;
  Bytes received;                          // a receiver's file, as far as it has accepted it
  std::map<uint16_t, uint16_t> registers;  // a register map, after the writes it served
  std::map<std::string, int> counters;
};

// The device at the far end of one channel's serial line. The firmware hands it every byte
// the host writes on that channel and sends what it answers back to the host as channel data.
// Owned by the Firmware, whose owner serialises every call.
class LinePeer {
 public:
  virtual ~LinePeer() = default;

  // Bytes that reached the line; appends what the peer sends in answer.
  virtual void receive(std::span<const uint8_t> data, Bytes& answer) = 0;

  // When the peer next sends on its own, with nothing received (a receiver that keeps asking
  // its sender to start); nullopt while it only answers.
  virtual std::optional<Clock::time_point> next_tick() const { return std::nullopt; }
  // Called once next_tick() has passed; appends what the peer sends.
  virtual void tick(Clock::time_point now, Bytes& answer) {
    (void)now;
    (void)answer;
  }

  virtual PeerSnapshot snapshot() const = 0;
};

}  // namespace torvak_emu
