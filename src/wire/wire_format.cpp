#include "wire/wire_format.hpp"

#include <limits>

namespace zt::wire {

Packet encode_data_packet(uint8_t channel, std::span<const uint8_t> payload) {
    Packet packet{};  // zero padding
    packet[0] = channel;
    packet[1] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), packet.begin() + 2);
    return packet;
}

long long command_channel_byte(long long channel) {
    constexpr long long kLargest = std::numeric_limits<long long>::max();
    return channel > kLargest - kIoControlChannel ? kLargest : channel + kIoControlChannel;
}

size_t command_count(std::span<const uint8_t> command) {
    const bool terminated = !command.empty() && command.back() == kTerminator;
    return terminated ? command.size() : command.size() + 1;
}

std::vector<uint8_t> encode_command_packet(uint8_t channel_byte, std::span<const uint8_t> command) {
    const size_t count = command_count(command);
    std::vector<uint8_t> packet(std::max(kPackageSize, 2 + count), 0);  // zero padding
    packet[0] = channel_byte;
    packet[1] = static_cast<uint8_t>(count);
    std::copy(command.begin(), command.end(), packet.begin() + 2);
    packet[1 + count] = kTerminator;  // already there when the command ends in one
    return packet;
}

std::string describe_short_packet(size_t needed_index, size_t received) {
    return "malformed packet: byte " + std::to_string(needed_index) + " is needed but only " +
           std::to_string(received) + " bytes were received";
}

}  // namespace zt::wire
