#include "firmware.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace torvak_emu {
namespace {

constexpr const char* kGarbageReply = "garbage\n";
constexpr const char* kEchoPrefix = "Echo ";
constexpr const char* kConfigPrefix = "Config ";

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::optional<uint32_t> parse_rate(const std::string& digits) {
  uint32_t value = 0;
  const char* first = digits.data();
  const char* last = first + digits.size();
  if (digits.empty() || !std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

}  // namespace

Firmware::Firmware(int channel_count, std::string version)
    : channel_count_(channel_count), version_(std::move(version)) {}

Bytes Firmware::make_packet(uint8_t channel_byte, std::span<const uint8_t> payload) {
  const size_t count = std::min(payload.size(), kMaxPayload);
  Bytes packet(kPacketSize, 0);
  packet[0] = channel_byte;
  packet[1] = static_cast<uint8_t>(count);
  std::copy_n(payload.begin(), count, packet.begin() + 2);
  return packet;
}

ChannelState Firmware::channel_state(int channel) const {
  if (channel < 1 || channel > kMaxControlChannel) return {};
  return channels_[static_cast<size_t>(channel)];
}

std::vector<std::string> Firmware::take_protocol_errors(bool clear) {
  std::vector<std::string> out = protocol_errors_;
  if (clear) protocol_errors_.clear();
  return out;
}

void Firmware::note_error(std::string message) { protocol_errors_.push_back(std::move(message)); }

void Firmware::receive(std::span<const uint8_t> packet, std::deque<Bytes>& replies) {
  if (packet.size() != kPacketSize) {
    note_error("OUT packet of " + std::to_string(packet.size()) + " bytes, expected " +
               std::to_string(kPacketSize));
    if (packet.size() < 2) return;
  }
  const uint8_t channel_byte = packet[0];
  const size_t count = packet[1];
  if (channel_byte == 0) {
    note_error("OUT packet starts with channel byte 0");
    return;
  }
  if (count < 1 || count > kMaxPayload || 2 + count > packet.size()) {
    note_error("OUT packet for channel byte " + std::to_string(channel_byte) + " has count " +
               std::to_string(count));
    return;
  }
  const auto payload = packet.subspan(2, count);
  const auto padding = packet.subspan(2 + count);
  if (std::any_of(padding.begin(), padding.end(), [](uint8_t b) { return b != 0; })) {
    note_error("OUT packet for channel byte " + std::to_string(channel_byte) +
               " has non-zero bytes after its record");
  }
  if (channel_byte <= kMaxDataChannel) {
    on_data(channel_byte, payload, replies);
    return;
  }
  std::string text(payload.begin(), payload.end());
  if (text.back() == '\n') {
    text.pop_back();
  } else {
    note_error("command on channel byte " + std::to_string(channel_byte) +
               " does not end with a line feed");
  }
  const int target = channel_byte - kMasterChannelByte;
  if (target == 0) {
    on_master_command(text, replies);
  } else if (target <= channel_count_) {
    on_channel_command(target, text, replies);
  } else {
    note_error("command \"" + text + "\" for channel " + std::to_string(target) +
               " of a device with " + std::to_string(channel_count_) + " channels");
  }
}

void Firmware::on_data(int channel, std::span<const uint8_t> data, std::deque<Bytes>& replies) {
  if (channel > channel_count_) {
    note_error("data for channel " + std::to_string(channel) + " of a device with " +
               std::to_string(channel_count_) + " channels");
    return;
  }
  if (auto peer = peers_.find(channel); peer != peers_.end()) {
    Bytes answer;
    peer->second->receive(data, answer);
    send_data(channel, answer, replies);
    return;
  }
  if (auto crossed = crossed_.find(channel); crossed != crossed_.end()) {
    send_data(crossed->second, data, replies);
    return;
  }
  if (!loopback_) return;
  send_data(channel, data, replies);
}

std::optional<Firmware::LineReturn> Firmware::line_return(std::span<const uint8_t> packet) const {
  if (packet.size() < 2) return std::nullopt;
  const int channel = packet[0];
  const size_t count = packet[1];
  if (channel < 1 || channel > kMaxDataChannel || channel > channel_count_) return std::nullopt;
  if (count < 1 || count > kMaxPayload || 2 + count > packet.size()) return std::nullopt;
  if (peers_.count(channel) != 0) return std::nullopt;
  if (auto crossed = crossed_.find(channel); crossed != crossed_.end()) {
    return LineReturn{crossed->second, count};
  }
  if (!loopback_) return std::nullopt;
  return LineReturn{channel, count};
}

void Firmware::cross_lines(int a, int b) {
  if (a < 1 || a > kMaxDataChannel || b < 0 || b > kMaxDataChannel || a == b) {
    throw std::invalid_argument("lines join two different data channels 1 to 99");
  }
  if (auto old = crossed_.find(a); old != crossed_.end()) {
    crossed_.erase(old->second);
    crossed_.erase(old);
  }
  if (b == 0) return;
  if (auto old = crossed_.find(b); old != crossed_.end()) {
    crossed_.erase(old->second);
    crossed_.erase(old);
  }
  crossed_[a] = b;
  crossed_[b] = a;
}

void Firmware::send_data(int channel, std::span<const uint8_t> data, std::deque<Bytes>& replies) {
  for (size_t offset = 0; offset < data.size(); offset += kMaxDataPerInPacket) {
    const size_t n = std::min(kMaxDataPerInPacket, data.size() - offset);
    replies.push_back(make_packet(static_cast<uint8_t>(channel), data.subspan(offset, n)));
  }
}

void Firmware::set_peer(int channel, std::unique_ptr<LinePeer> peer) {
  if (channel < 1 || channel > kMaxDataChannel) {
    throw std::invalid_argument("peers sit on data channels 1 to 99");
  }
  if (peer) {
    peers_[channel] = std::move(peer);
  } else {
    peers_.erase(channel);
  }
}

std::optional<PeerSnapshot> Firmware::peer_snapshot(int channel) const {
  auto peer = peers_.find(channel);
  if (peer == peers_.end()) return std::nullopt;
  return peer->second->snapshot();
}

std::optional<Clock::time_point> Firmware::run_peers(Clock::time_point now,
                                                     std::deque<Bytes>& replies) {
  std::optional<Clock::time_point> next;
  for (auto& [channel, peer] : peers_) {
    if (auto due = peer->next_tick(); due && *due <= now) {
      Bytes sent;
      peer->tick(now, sent);
      if (channels_[static_cast<size_t>(channel)].open) send_data(channel, sent, replies);
    }
    if (auto due = peer->next_tick()) next = next ? std::min(*next, *due) : *due;
  }
  return next;
}

void Firmware::reply_text(uint8_t channel_byte, const std::string& text,
                          std::deque<Bytes>& replies) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  replies.push_back(make_packet(channel_byte, std::span<const uint8_t>(bytes, text.size())));
}

void Firmware::on_master_command(const std::string& text, std::deque<Bytes>& replies) {
  std::optional<std::string> answer;
  if (text == "ChannelCount?") {
    answer = std::to_string(channel_count_) + "\n";
  } else if (text == "Version?") {
    answer = version_;
  } else if (starts_with(text, kEchoPrefix) && text.size() > 5 && text.back() == '?') {
    answer = text.substr(5, text.size() - 6);
  } else {
    note_error("unknown master command \"" + text + "\"");
    return;
  }
  switch (master_fault_) {
    case FaultMode::kSilent:
      return;
    case FaultMode::kGarbage:
      reply_text(kMasterChannelByte, kGarbageReply, replies);
      return;
    default:
      reply_text(kMasterChannelByte, *answer, replies);
  }
}

void Firmware::on_channel_command(int channel, const std::string& text,
                                  std::deque<Bytes>& replies) {
  ChannelState& state = channels_[static_cast<size_t>(channel)];
  const auto channel_byte = static_cast<uint8_t>(kMasterChannelByte + channel);
  if (text == "Config?") {
    const uint32_t rate = state.baud.value_or(kDefaultBaud);
    switch (config_fault_) {
      case FaultMode::kSilent:
        return;
      case FaultMode::kGarbage:
        reply_text(channel_byte, kGarbageReply, replies);
        return;
      case FaultMode::kWrongRate:
        reply_text(channel_byte, std::to_string(rate == 0 ? 1 : rate / 2) + "\n", replies);
        return;
      case FaultMode::kOk:
        reply_text(channel_byte, std::to_string(rate) + "\n", replies);
        return;
    }
  } else if (starts_with(text, kConfigPrefix)) {
    if (auto rate = parse_rate(text.substr(7))) {
      state.baud = *rate;
    } else {
      note_error("bad rate in \"" + text + "\" for channel " + std::to_string(channel));
    }
  } else if (text == "OpenChannel") {
    state.open = true;
  } else if (text == "CloseChannel") {
    state.open = false;
  } else if (text == "FlushInput") {
    ++state.flushed;
  } else {
    note_error("unknown command \"" + text + "\" for channel " + std::to_string(channel));
  }
}

}  // namespace torvak_emu
