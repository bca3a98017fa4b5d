#pragma once

#include "line_peer.hpp"

namespace torvak_emu {

struct ModbusSlaveOptions {
  uint8_t address = 1;  // 1 to 247
  // The slave's registers; reading or writing any other address is answered with
  // exception 2 (illegal data address). Functions 3 and 4 both read this one map.
  std::map<uint16_t, uint16_t> registers;
};

// A Modbus RTU slave serving functions 3 and 4 (read registers), 6 (write one register) and
// 16 (write registers); any other function is answered with exception 1. A request with a
// bad CRC is dropped without an answer, as is one for another address; a broadcast (address
// 0) is carried out without one. Requests are framed by the length their function code
// implies; with an unknown function code, by what one packet of the host carried.
class ModbusSlave : public LinePeer {
 public:
  explicit ModbusSlave(ModbusSlaveOptions options);

  void receive(std::span<const uint8_t> data, Bytes& answer) override;
  PeerSnapshot snapshot() const override;

 private:
  // Length of the request at the front of pending_ once it can be told, else 0.
  size_t request_length() const;
  void serve(std::span<const uint8_t> request, Bytes& answer);
  // Builds the response body for a request known to be for this slave; exceptions included.
  Bytes respond(std::span<const uint8_t> request);

  const uint8_t address_;
  std::map<uint16_t, uint16_t> registers_;
  Bytes pending_;  // bytes of the request being received
  int requests_ = 0;
  int crc_errors_ = 0;
  int exceptions_ = 0;
  int other_address_ = 0;
};

}  // namespace torvak_emu
