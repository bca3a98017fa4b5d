#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "descriptors.hpp"
#include "line_peer.hpp"

namespace torvak_emu {

enum class FaultMode { kOk, kSilent, kGarbage, kWrongRate };

// What the host has told the device about one serial channel.
struct ChannelState {
  bool open = false;
  std::optional<uint32_t> baud;  // the last rate set with "Config R", if any
  int flushed = 0;               // "FlushInput" commands received
};

// The device's side of the packet protocol: takes the packets the host writes to the OUT
// endpoint and produces the packets the device sends back on the IN endpoint.
// Not thread-safe: its owner serialises every call.
class Firmware {
 public:
  static constexpr size_t kPacketSize = 64;
  static constexpr size_t kMaxPayload = 62;
  static constexpr uint8_t kMasterChannelByte = 100;
  static constexpr int kMaxDataChannel = 99;
  static constexpr int kMaxControlChannel = 155;
  static constexpr uint32_t kDefaultBaud = 9600;
  // A data record at offset 0 must leave one byte behind it for the host's parser to see
  // the end of the records, so the device never sends more than 61 data bytes in one.
  static constexpr size_t kMaxDataPerInPacket = kPacketSize - 3;

  Firmware(int channel_count, std::string version);

  // Handles one packet from the host, appending every packet the device answers with.
  void receive(std::span<const uint8_t> packet, std::deque<Bytes>& replies);

  // Where the data of the host's `packet` comes back to the host through the line: the
  // channel (its own with the loopback, the other one of a crossed pair) and the byte
  // count. nullopt for anything else: a command, data for a peer or for no line.
  struct LineReturn {
    int channel;
    size_t bytes;
  };
  std::optional<LineReturn> line_return(std::span<const uint8_t> packet) const;

  void set_master_fault(FaultMode mode) { master_fault_ = mode; }
  void set_config_fault(FaultMode mode) { config_fault_ = mode; }
  void set_loopback(bool on) { loopback_ = on; }
  void set_channel_count(int count) { channel_count_ = count; }
  void set_version(std::string version) { version_ = std::move(version); }

  // Puts `peer` at the far end of data channel `channel`'s line; null takes it away. While
  // a peer is there, data for the channel goes to it instead of the loopback.
  void set_peer(int channel, std::unique_ptr<LinePeer> peer);
  std::optional<PeerSnapshot> peer_snapshot(int channel) const;
  // Joins the lines of data channels `a` and `b` as a null-modem cable does: what the host
  // sends on one arrives on the other, instead of the loopback. `b` 0 parts `a` again.
  void cross_lines(int a, int b);
  // Lets every peer whose time has come send on its own, as data of its channel; a channel
  // the host has not opened drops it. Returns when a peer next wants to run.
  std::optional<Clock::time_point> run_peers(Clock::time_point now, std::deque<Bytes>& replies);

  int channel_count() const { return channel_count_; }
  const std::string& version() const { return version_; }
  bool loopback() const { return loopback_; }
  FaultMode master_fault() const { return master_fault_; }
  FaultMode config_fault() const { return config_fault_; }
  ChannelState channel_state(int channel) const;

  // Packets that broke the wire format or addressed nothing; the real device would
  // silently drop them, tests want to know.
  std::vector<std::string> take_protocol_errors(bool clear);

  // Builds one IN packet holding a single record, zero filled to kPacketSize.
  static Bytes make_packet(uint8_t channel_byte, std::span<const uint8_t> payload);

 private:
  void on_data(int channel, std::span<const uint8_t> data, std::deque<Bytes>& replies);
  // Sends `data` to the host as data of `channel`.
  void send_data(int channel, std::span<const uint8_t> data, std::deque<Bytes>& replies);
  void on_master_command(const std::string& text, std::deque<Bytes>& replies);
  void on_channel_command(int channel, const std::string& text, std::deque<Bytes>& replies);
  void reply_text(uint8_t channel_byte, const std::string& text, std::deque<Bytes>& replies);
  void note_error(std::string message);

  int channel_count_;
  std::string version_;
  bool loopback_ = false;
  FaultMode master_fault_ = FaultMode::kOk;
  FaultMode config_fault_ = FaultMode::kOk;
  std::array<ChannelState, kMaxControlChannel + 1> channels_{};  // index = channel number
  std::vector<std::string> protocol_errors_;
  std::map<int, std::unique_ptr<LinePeer>> peers_;  // by data channel
  std::map<int, int> crossed_;  // data channel -> the channel its line is joined to
};

}  // namespace torvak_emu
