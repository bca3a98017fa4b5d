#include "modbus_slave.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace torvak_emu {
namespace {

constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kReadInput = 4;
constexpr uint8_t kWriteSingle = 6;
constexpr uint8_t kWriteMultiple = 16;
constexpr uint8_t kExceptionFlag = 0x80;
constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalAddress = 2;
constexpr uint8_t kIllegalValue = 3;
constexpr uint8_t kBroadcast = 0;
constexpr size_t kCrcSize = 2;
constexpr int kMaxReadCount = 125;
constexpr int kMaxWriteCount = 123;

// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, sent low byte first.
uint16_t crc16_modbus(std::span<const uint8_t> data) {
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

uint16_t be16(std::span<const uint8_t> data, size_t offset) {
  return static_cast<uint16_t>(data[offset] << 8 | data[offset + 1]);
}

void put_be16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace

ModbusSlave::ModbusSlave(ModbusSlaveOptions options)
    : address_(options.address), registers_(std::move(options.registers)) {}

size_t ModbusSlave::request_length() const {
  if (pending_.size() < 2) return 0;
  switch (pending_[1]) {
    case kReadHolding:
    case kReadInput:
    case kWriteSingle:
      return 8;
    case kWriteMultiple:
      return pending_.size() < 7 ? 0 : 9 + size_t{pending_[6]};
    default:
      return pending_.size();
  }
}

void ModbusSlave::receive(std::span<const uint8_t> data, Bytes& answer) {
  pending_.insert(pending_.end(), data.begin(), data.end());
  for (size_t length = request_length(); length > 0 && pending_.size() >= length;
       length = request_length()) {
    const Bytes request(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
    const auto body = std::span<const uint8_t>(request).first(length < kCrcSize ? 0 : length - kCrcSize);
    const uint16_t crc = crc16_modbus(body);
    if (length < 4 || request[length - 2] != (crc & 0xFF) || request[length - 1] != (crc >> 8)) {
      // A slave cannot tell where the next frame starts after a broken one, so it drops
      // everything up to the next silence: here, what it holds.
      ++crc_errors_;
      pending_.clear();
      return;
    }
    serve(body, answer);
  }
}

void ModbusSlave::serve(std::span<const uint8_t> request, Bytes& answer) {
  const uint8_t address = request[0];
  if (address != address_ && address != kBroadcast) {
    ++other_address_;
    return;
  }
  ++requests_;
  Bytes response = respond(request);
  if (address == kBroadcast) return;
  const uint16_t crc = crc16_modbus(response);
  response.push_back(static_cast<uint8_t>(crc & 0xFF));
  response.push_back(static_cast<uint8_t>(crc >> 8));
  answer.insert(answer.end(), response.begin(), response.end());
}

Bytes ModbusSlave::respond(std::span<const uint8_t> request) {
  const uint8_t function = request[1];
  Bytes out{address_, function};
  const auto exception = [&](uint8_t code) {
    ++exceptions_;
    return Bytes{address_, static_cast<uint8_t>(function | kExceptionFlag), code};
  };
  const auto all_present = [&](uint32_t first, uint32_t count) {
    for (uint32_t r = first; r < first + count; ++r) {
      if (r > 0xFFFF || !registers_.count(static_cast<uint16_t>(r))) return false;
    }
    return true;
  };
  switch (function) {
    case kReadHolding:
    case kReadInput: {
      const uint32_t first = be16(request, 2);
      const uint32_t count = be16(request, 4);
      if (count < 1 || count > kMaxReadCount) return exception(kIllegalValue);
      if (!all_present(first, count)) return exception(kIllegalAddress);
      out.push_back(static_cast<uint8_t>(2 * count));
      for (uint32_t r = first; r < first + count; ++r) put_be16(out, registers_[static_cast<uint16_t>(r)]);
      return out;
    }
    case kWriteSingle: {
      const uint16_t reg = be16(request, 2);
      if (!registers_.count(reg)) return exception(kIllegalAddress);
      registers_[reg] = be16(request, 4);
      return Bytes(request.begin(), request.end());
    }
    case kWriteMultiple: {
      const uint32_t first = be16(request, 2);
      const uint32_t count = be16(request, 4);
      if (count < 1 || count > kMaxWriteCount || request[6] != 2 * count) {
        return exception(kIllegalValue);
      }
      if (!all_present(first, count)) return exception(kIllegalAddress);
      for (uint32_t i = 0; i < count; ++i) {
        registers_[static_cast<uint16_t>(first + i)] = be16(request, 7 + 2 * i);
      }
      put_be16(out, first);
      put_be16(out, count);
      return out;
    }
    default:
      return exception(kIllegalFunction);
  }
}

PeerSnapshot ModbusSlave::snapshot() const {
  PeerSnapshot out;
  out.kind = "modbus-slave";
  out.state = "serving";
  out.registers = registers_;
  out.counters = {{"requests", requests_},
                  {"crc_errors", crc_errors_},
                  {"exceptions", exceptions_},
                  {"other_address", other_address_}};
  return out;
}

}  // namespace torvak_emu
