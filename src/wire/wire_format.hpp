// The bytes exchanged with the device. Host-to-device packets are exactly
// kPackageSize bytes holding one record; device-to-host packets hold records one
// after the other:
//
//   offset 0: channel byte  (0 = no more records, 1..99 data of channel N,
//                            100 master control channel, 101..255 control of channel N-100)
//   offset 1: count         (payload bytes that follow)
//   offset 2: payload
//
// This is the only place that knows the layout: the bindings encode with it, the
// device core and the fuzz target parse with it. No Python, no USB.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zt::wire {

inline constexpr size_t kPackageSize = 64;
inline constexpr int kIoControlChannel = 100;
inline constexpr size_t kMaxPayload = kPackageSize - 2;  // also the last offset a record may start below
inline constexpr uint8_t kTerminator = 0x0A;

// ---------------------------------------------------------------------------
// Encoding (host to device)

using Packet = std::array<uint8_t, kPackageSize>;

// A data packet for `channel`: channel byte, count, the payload, zero bytes up to
// kPackageSize. Precondition: payload.size() <= kMaxPayload.
Packet encode_data_packet(uint8_t channel, std::span<const uint8_t> payload);

// The channel byte of a command to `channel` (0 being the master control channel):
// kIoControlChannel + channel, saturated at the largest long long. Not always a byte:
// the caller checks the range.
long long command_channel_byte(long long channel);

// The count byte of a command: its length with the terminator, which is added unless
// the command already ends in one. Not always a byte: the caller checks the range.
size_t command_count(std::span<const uint8_t> command);

// A command packet: channel byte, count, the command ending in kTerminator, zero bytes
// up to kPackageSize. A command whose count exceeds kMaxPayload gives a longer packet
// with no padding; whether to send it is the caller's choice.
// Precondition: command_count(command) <= 255.
std::vector<uint8_t> encode_command_packet(uint8_t channel_byte, std::span<const uint8_t> command);

// ---------------------------------------------------------------------------
// Parsing (device to host)

enum class RecordKind { Data, Master, Control };

struct Record {
    RecordKind kind;
    int channel;                         // data: 1..99; control: channel byte - 100; master: 0
    std::span<const uint8_t> payload;    // cut at the end of the received bytes
};

struct ParseOutcome {
    bool malformed = false;
    std::string error;  // what was wrong, when malformed
};

// Splits a received packet into records and hands each to `on_record` in packet order
// (a payload is handed on before the next record is read). A data record whose
// payload ends exactly at the end of the received bytes ends the packet normally; a
// record whose count byte, or part of whose data payload, lies past the received bytes
// makes the packet malformed, after any partial data payload has been handed on.
// `on_record` may throw; the exception leaves parse_packet unchanged.
template <typename OnRecord>
ParseOutcome parse_packet(std::span<const uint8_t> packet, OnRecord&& on_record);

std::string describe_short_packet(size_t needed_index, size_t received);

template <typename OnRecord>
ParseOutcome parse_packet(std::span<const uint8_t> packet, OnRecord&& on_record) {
    const size_t size = packet.size();
    size_t index = 0;
    if (size == 0) return {};
    int channel = packet[0];
    while (index < kMaxPayload && channel != 0) {
        const size_t count_at = index + 1;
        if (count_at >= size) return {true, describe_short_packet(count_at, size)};
        const size_t count = packet[count_at];
        const size_t start = count_at + 1;
        const size_t end = start + count;
        const auto payload = packet.subspan(std::min(start, size), std::min(end, size) - std::min(start, size));
        if (channel < kIoControlChannel) {
            on_record(Record{RecordKind::Data, channel, payload});
            if (end == size) return {};  // the record fills the packet: nothing follows
            if (end > size) return {true, describe_short_packet(end, size)};
            index = end;
            channel = packet[index];
            continue;
        }
        if (channel == kIoControlChannel)
            on_record(Record{RecordKind::Master, 0, payload});
        else
            on_record(Record{RecordKind::Control, channel - kIoControlChannel, payload});
        break;  // nothing after a control record is parsed
    }
    return {};
}

}  // namespace zt::wire
