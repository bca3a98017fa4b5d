#include "xmodem_receiver.hpp"

#include <cstddef>
#include <numeric>
#include <utility>

namespace torvak_emu {
namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kCrcRequest = 'C';
constexpr size_t kHeaderSize = 3;  // lead byte, sequence, its complement

// CRC-16 as XMODEM uses it: polynomial 0x1021, initial value 0, sent high byte first.
uint16_t crc16_xmodem(std::span<const uint8_t> data) {
  uint16_t crc = 0;
  for (uint8_t byte : data) {
    crc = static_cast<uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

const char* state_name(int state) {
  static constexpr const char* kNames[] = {"waiting", "receiving", "done", "cancelled"};
  return kNames[state];
}

}  // namespace

XmodemReceiver::XmodemReceiver(XmodemReceiverOptions options, Clock::time_point now)
    : options_(std::move(options)), next_start_request_(now) {}

std::optional<Clock::time_point> XmodemReceiver::next_tick() const {
  if (state_ != State::kWaiting) return std::nullopt;
  return next_start_request_;
}

void XmodemReceiver::tick(Clock::time_point now, Bytes& answer) {
  if (state_ != State::kWaiting || now < next_start_request_) return;
  answer.push_back(options_.crc ? kCrcRequest : kNak);
  ++start_requests_;
  next_start_request_ = now + options_.start_interval;
}

void XmodemReceiver::receive(std::span<const uint8_t> data, Bytes& answer) {
  if (state_ == State::kDone || state_ == State::kCancelled) {
    stray_bytes_ += static_cast<int>(data.size());
    return;
  }
  pending_.insert(pending_.end(), data.begin(), data.end());
  take_frames(answer);
}

void XmodemReceiver::take_frames(Bytes& answer) {
  while (!pending_.empty()) {
    const uint8_t lead = pending_.front();
    if (lead == kEot) {
      answer.push_back(kAck);
      state_ = State::kDone;
      stray_bytes_ += static_cast<int>(pending_.size() - 1);
      pending_.clear();
      return;
    }
    if (lead == kCan) {
      if (pending_.size() < 2) return;  // the sender cancels with two
      if (pending_[1] == kCan) {
        state_ = State::kCancelled;
        pending_.clear();
        return;
      }
    }
    if (lead != kSoh && lead != kStx) {
      ++stray_bytes_;
      pending_.erase(pending_.begin());
      continue;
    }
    state_ = State::kReceiving;
    const size_t block_size = lead == kSoh ? 128 : 1024;
    const size_t frame_size = kHeaderSize + block_size + (options_.crc ? 2 : 1);
    if (pending_.size() < frame_size) return;
    take_block(block_size, answer);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(frame_size));
    if (state_ == State::kCancelled) {
      pending_.clear();
      return;
    }
  }
}

void XmodemReceiver::take_block(size_t block_size, Bytes& answer) {
  const uint8_t sequence = pending_[1];
  const uint8_t complement = pending_[2];
  const std::span<const uint8_t> payload(pending_.data() + kHeaderSize, block_size);
  const uint8_t* trailer = payload.data() + block_size;
  bool intact = static_cast<uint8_t>(sequence ^ complement) == 0xFF;
  if (options_.crc) {
    const uint16_t crc = crc16_xmodem(payload);
    intact = intact && trailer[0] == (crc >> 8) && trailer[1] == (crc & 0xFF);
  } else {
    const auto sum = std::accumulate(payload.begin(), payload.end(), 0u);
    intact = intact && trailer[0] == (sum & 0xFF);
  }
  if (!intact) {
    ++naks_;
    answer.push_back(kNak);
    return;
  }
  if (sequence == static_cast<uint8_t>(next_block_)) {
    if (options_.reject_blocks.count(next_block_) && rejected_.insert(next_block_).second) {
      ++naks_;
      answer.push_back(kNak);
      return;
    }
    file_.insert(file_.end(), payload.begin(), payload.end());
    ++next_block_;
    answer.push_back(kAck);
  } else if (sequence == static_cast<uint8_t>(next_block_ - 1)) {
    // Our acknowledgement was lost or came late: the sender repeats the block.
    ++duplicates_;
    answer.push_back(kAck);
  } else {
    state_ = State::kCancelled;
    answer.push_back(kCan);
    answer.push_back(kCan);
  }
}

PeerSnapshot XmodemReceiver::snapshot() const {
  PeerSnapshot out;
  out.kind = "xmodem-receiver";
  out.state = state_name(static_cast<int>(state_));
  out.received = file_;
  out.counters = {{"blocks", next_block_ - 1},
                  {"start_requests", start_requests_},
                  {"naks", naks_},
                  {"duplicates", duplicates_},
                  {"stray_bytes", stray_bytes_}};
  return out;
}

}  // namespace torvak_emu
