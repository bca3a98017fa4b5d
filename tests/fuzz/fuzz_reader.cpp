// libFuzzer target for the reader: random received packets go through
// DeviceCore::run_reader into native receive buffers (behind the module's own
// NativeSink), a recording control route and the master mailbox, and what arrives is
// compared with a plain re-reading of the record rules written out below. Any
// difference, and any sanitizer report, aborts. The same input, read as a payload,
// also goes through the packet encoders and back through the parser.
//
// Input layout:
//   byte 0   which channels are open and how (bits below)
//   byte 1   IN packet size the link reports (index into kPacketSizes)
//   then     events, each one step byte s followed for packets by its bytes:
//              kStepTimeout  the read times out (idle)
//              kStepUsbError the read fails as a pulled plug does
//              kStepQuery    a master query takes the stored reply and clears the flag
//              otherwise     a packet of s % (packet size + 1) bytes (fewer at the end of the input)
// When the events run out the link raises the stop flag, as close() does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "channel/input_buffer.hpp"
#include "device/device_core.hpp"
#include "device/native_adapters.hpp"
#include "wire/wire_format.hpp"
#include "usb/usb_device.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// Bits of byte 0.
constexpr uint8_t kOpenOne = 0x01;          // channel 1 has a buffer
constexpr uint8_t kOpenTwo = 0x02;          // channel 2 has a buffer
constexpr uint8_t kOpenThree = 0x04;        // channel 3 has a buffer
constexpr uint8_t kOpenLast = 0x08;         // channel 99, the highest data channel, has a buffer
constexpr uint8_t kRefusingFour = 0x10;     // channel 4's sink fails on any input
constexpr uint8_t kClosedFive = 0x20;       // channel 5 has a buffer that was closed
constexpr uint8_t kRefusingHandler = 0x40;  // the control handler of channel 2 fails
constexpr uint8_t kHandlerOnLast = 0x80;    // channel 155 (channel byte 255) has a recording handler

constexpr size_t kPacketSizes[] = {64, 64, 64, 64, 512, 16, 8, 1};

constexpr uint8_t kStepTimeout = 0xFF;
constexpr uint8_t kStepUsbError = 0xFE;
constexpr uint8_t kStepQuery = 0xFD;

// What a pulled plug gives: LIBUSB_ERROR_NO_DEVICE and its text.
constexpr int kNoDeviceCode = -4;
const char* const kUnplugged = "No such device (it may have been disconnected)";
const char* const kSinkRefused = "buffer refused";
const char* const kHandlerRefused = "handler refused";

enum class StepKind { Packet, Timeout, UsbError, Query };

struct Step {
    StepKind kind;
    Bytes packet;
};

struct Scenario {
    uint8_t config = 0;
    size_t packet_size = 64;
    std::vector<Step> steps;
};

Scenario decode(const uint8_t* data, size_t size) {
    Scenario s;
    if (size < 2) return s;
    s.config = data[0];
    s.packet_size = kPacketSizes[data[1] % std::size(kPacketSizes)];
    size_t at = 2;
    while (at < size) {
        const uint8_t step = data[at++];
        if (step == kStepTimeout) {
            s.steps.push_back({StepKind::Timeout, {}});
        } else if (step == kStepUsbError) {
            s.steps.push_back({StepKind::UsbError, {}});
        } else if (step == kStepQuery) {
            s.steps.push_back({StepKind::Query, {}});
        } else {
            const size_t n = std::min<size_t>(step % (s.packet_size + 1), size - at);
            s.steps.push_back({StepKind::Packet, Bytes(data + at, data + at + n)});
            at += n;
        }
    }
    return s;
}

// What arrived, in arrival order; filled by the harness and by the model alike.
struct Observed {
    std::vector<std::pair<int, Bytes>> chunks;    // (channel, chunk) per buffer, in order
    std::vector<std::optional<Bytes>> master;     // the mailbox at each query and at the end
    std::vector<std::pair<int, Bytes>> controls;  // every control record routed
    std::vector<std::pair<int, Bytes>> handled;   // calls of the recording handlers
    size_t steps_taken = 0;                        // reads the reader asked for
    enum class End { Stopped, Failed, Malformed } end = End::Stopped;
    std::string failure;                           // the reader's text, unless Stopped
};

bool buffered(const Scenario& s, int channel) {
    switch (channel) {
        case 1: return s.config & kOpenOne;
        case 2: return s.config & kOpenTwo;
        case 3: return s.config & kOpenThree;
        case 99: return s.config & kOpenLast;
        default: return false;
    }
}

// ---------------------------------------------------------------------------
// The plain re-reading. Records start at offsets below 62; channel byte 0 ends the
// records; a data record is followed directly by the next record, and one that ends
// exactly at the end of the received bytes ends the packet; a control record is the
// last one read; a payload running past the received bytes is cut there; a count byte
// past the received bytes, or a data record with no byte after it, makes the packet
// malformed, after the part of a data payload that was received has been delivered.
// An empty packet is an idle poll.

struct Model {
    explicit Model(const Scenario& scenario) : s(scenario) {}

    const Scenario& s;
    Observed out;
    bool flag = false;  // the master mailbox
    Bytes stored;

    bool deliver_data(int channel, const Bytes& payload) {
        if (channel == 4 && (s.config & kRefusingFour)) {
            out.end = Observed::End::Failed;
            out.failure = kSinkRefused;
            return false;
        }
        if (buffered(s, channel) && !payload.empty()) out.chunks.emplace_back(channel, payload);
        return true;
    }

    bool deliver_control(int channel_byte, const Bytes& payload) {
        if (channel_byte == 100) {
            if (!flag) {
                stored = payload;
                flag = true;
            }
            return true;
        }
        const int channel = channel_byte - 100;
        out.controls.emplace_back(channel, payload);
        if (channel == 1 || (channel == 155 && (s.config & kHandlerOnLast))) out.handled.emplace_back(channel, payload);
        if (channel == 2 && (s.config & kRefusingHandler)) {
            out.end = Observed::End::Failed;
            out.failure = kHandlerRefused;
            return false;
        }
        return true;
    }

    // False when the reader ends with this packet.
    bool packet(const Bytes& p) {
        const size_t n = p.size();
        size_t at = 0;
        while (at < 62 && at < n && p[at] != 0) {
            const int channel_byte = p[at];
            if (at + 1 >= n) {
                out.end = Observed::End::Malformed;
                return false;
            }
            const size_t count = p[at + 1];
            const size_t first = at + 2;
            const size_t past = first + count;
            Bytes payload;
            for (size_t i = first; i < past && i < n; ++i) payload.push_back(p[i]);
            if (channel_byte >= 100) return deliver_control(channel_byte, payload);
            if (!deliver_data(channel_byte, payload)) return false;
            if (past > n) {
                out.end = Observed::End::Malformed;
                return false;
            }
            at = past;  // == n: the packet ends here
        }
        return true;
    }

    void query() {
        out.master.push_back(flag ? std::optional<Bytes>(stored) : std::nullopt);
        flag = false;
    }

    Observed run() {
        for (const Step& step : s.steps) {
            if (step.kind == StepKind::Query) {
                query();
                continue;
            }
            ++out.steps_taken;
            if (step.kind == StepKind::UsbError) {
                out.end = Observed::End::Failed;
                out.failure = kUnplugged;
                break;
            }
            if (step.kind == StepKind::Packet && !packet(step.packet)) break;
        }
        if (out.end == Observed::End::Stopped) ++out.steps_taken;  // the read that found the input spent
        query();
        return out;
    }
};

// ---------------------------------------------------------------------------
// The harness around the real reader.

class FakeLink final : public zt::device::Link {
public:
    FakeLink(const Scenario& s, Observed& out) : s_(s), out_(out) {}
    void attach(zt::device::DeviceCore* core) { core_ = core; }

    size_t read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) override {
        if (timeout_ms != zt::device::kReadTimeoutMs) fail("reader polls with a time-out other than kReadTimeoutMs");
        ++out_.steps_taken;
        while (next_ < s_.steps.size() && s_.steps[next_].kind == StepKind::Query) {
            harvest();
            ++next_;
        }
        if (next_ == s_.steps.size()) {
            core_->stop_flag.store(true);
            throw zt::usb::Timeout(zt::usb::kTimeoutCode, "Operation timed out");
        }
        const Step& step = s_.steps[next_++];
        switch (step.kind) {
            case StepKind::Timeout: throw zt::usb::Timeout(zt::usb::kTimeoutCode, "Operation timed out");
            case StepKind::UsbError: throw zt::usb::Error(kNoDeviceCode, kUnplugged);
            default: break;
        }
        if (step.packet.size() > capacity) fail("reader offered less room than the IN packet size");
        if (!step.packet.empty()) std::memcpy(buffer, step.packet.data(), step.packet.size());
        return step.packet.size();
    }
    size_t write(std::span<const uint8_t>, unsigned) override { return 0; }
    size_t in_packet_size() const override { return s_.packet_size; }

    // A master query: takes what the mailbox holds and clears it for the next reply.
    void harvest() {
        out_.master.push_back(core_->master.is_set() ? std::optional<Bytes>(core_->master.reply()) : std::nullopt);
        core_->master.clear();
    }

    [[noreturn]] static void fail(const char* what) {
        std::fprintf(stderr, "fuzz_reader: %s\n", what);
        std::abort();
    }

private:
    const Scenario& s_;
    Observed& out_;
    zt::device::DeviceCore* core_ = nullptr;
    size_t next_ = 0;
};

class RefusingSink final : public zt::device::DataSink {
public:
    void input(std::span<const uint8_t>) override { throw zt::device::LinkFailure(kSinkRefused); }
};

class RecordingHandler final : public zt::device::ControlHandler {
public:
    RecordingHandler(int channel, Observed& out) : channel_(channel), out_(out) {}
    void call(std::span<const uint8_t> payload) override {
        out_.handled.emplace_back(channel_, Bytes(payload.begin(), payload.end()));
    }

private:
    int channel_;
    Observed& out_;
};

class RefusingHandler final : public zt::device::ControlHandler {
public:
    void call(std::span<const uint8_t>) override { throw zt::device::LinkFailure(kHandlerRefused); }
};

Observed run_reader(const Scenario& s) {
    Observed out;
    auto link = std::make_unique<FakeLink>(s, out);
    FakeLink* fake = link.get();
    zt::device::DeviceCore core(std::move(link));
    fake->attach(&core);

    std::vector<std::pair<int, std::shared_ptr<zt::channel::InputBuffer>>> buffers;
    for (int channel : {1, 2, 3, 99}) {
        if (!buffered(s, channel)) continue;
        auto buffer = std::make_shared<zt::channel::InputBuffer>();
        buffers.emplace_back(channel, buffer);
        core.insert_channel(channel, std::make_shared<zt::device::NativeSink>(buffer));
    }
    if (s.config & kRefusingFour) core.insert_channel(4, std::make_shared<RefusingSink>());
    auto closed = std::make_shared<zt::channel::InputBuffer>();
    if (s.config & kClosedFive) {
        closed->close();
        core.insert_channel(5, std::make_shared<zt::device::NativeSink>(closed));
    }
    core.set_handler(1, std::make_shared<RecordingHandler>(1, out));
    if (s.config & kRefusingHandler) core.set_handler(2, std::make_shared<RefusingHandler>());
    if (s.config & kHandlerOnLast) core.set_handler(155, std::make_shared<RecordingHandler>(155, out));
    core.control_route = [&](int channel, std::span<const uint8_t> payload) {
        out.controls.emplace_back(channel, Bytes(payload.begin(), payload.end()));
        core.handle_control(channel, payload);
    };

    const std::optional<std::string> failure = core.run_reader();
    fake->harvest();
    if (failure) {
        out.failure = *failure;
        out.end = (*failure == kUnplugged || *failure == kSinkRefused || *failure == kHandlerRefused)
                      ? Observed::End::Failed
                      : Observed::End::Malformed;
    }

    // Each buffer hands out one chunk at a time, in arrival order. The order between
    // channels is not kept by separate buffers, so chunks are compared channel by
    // channel (the model's list is sorted stably by channel to match).
    for (auto& [channel, buffer] : buffers) {
        std::vector<uint8_t> chunk;
        while (buffer->take(1 << 20, chunk) == zt::channel::InputBuffer::Take::Got)
            out.chunks.emplace_back(channel, chunk);
        if (buffer->waiting() != 0) FakeLink::fail("buffer reports bytes after it was drained");
    }
    if (closed->waiting() != 0) FakeLink::fail("a closed buffer took data");
    return out;
}

void sort_by_channel(std::vector<std::pair<int, Bytes>>& chunks) {
    std::stable_sort(chunks.begin(), chunks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

void check(bool ok, const char* what) {
    if (!ok) FakeLink::fail(what);
}

// What the parser reads back from one encoded packet.
std::vector<std::pair<int, Bytes>> parse_back(std::span<const uint8_t> packet, zt::wire::RecordKind kind) {
    std::vector<std::pair<int, Bytes>> records;
    const auto outcome = zt::wire::parse_packet(packet, [&](const zt::wire::Record& r) {
        check(r.kind == kind, "an encoded packet parses as another kind of record");
        records.emplace_back(r.channel, Bytes(r.payload.begin(), r.payload.end()));
    });
    check(!outcome.malformed, "an encoded packet parses as malformed");
    return records;
}

// A data packet and a command packet made of the input give back what went in.
void round_trip(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const int channel = 1 + data[0] % 99;
    const Bytes payload(data, data + std::min(size, zt::wire::kMaxPayload));
    const auto packet = zt::wire::encode_data_packet(static_cast<uint8_t>(channel), payload);
    check(parse_back(packet, zt::wire::RecordKind::Data) == std::vector{std::pair{channel, payload}},
          "a data packet does not parse back to its payload");

    const int target = 1 + data[0] % 155;
    Bytes command(data, data + std::min(size, zt::wire::kMaxPayload - 1));
    const Bytes packet2 = zt::wire::encode_command_packet(
        static_cast<uint8_t>(zt::wire::command_channel_byte(target)), command);
    check(packet2.size() == zt::wire::kPackageSize, "a command packet that fits is not one packet long");
    if (command.empty() || command.back() != zt::wire::kTerminator) command.push_back(zt::wire::kTerminator);
    check(parse_back(packet2, zt::wire::RecordKind::Control) == std::vector{std::pair{target, command}},
          "a command packet does not parse back to its command");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Scenario scenario = decode(data, size);
    Observed expected = Model(scenario).run();
    Observed got = run_reader(scenario);

    sort_by_channel(expected.chunks);
    check(got.chunks == expected.chunks, "channel data differs from the record rules");
    check(got.master == expected.master, "master replies differ from the record rules");
    check(got.controls == expected.controls, "control records differ from the record rules");
    check(got.handled == expected.handled, "control handler calls differ from the record rules");
    check(got.end == expected.end, "the reader ended differently from the record rules");
    check(got.steps_taken == expected.steps_taken, "the reader read a different number of times");
    if (expected.end == Observed::End::Malformed) check(!got.failure.empty(), "a malformed packet was reported without a text");
    if (expected.end == Observed::End::Failed) check(got.failure == expected.failure, "the failure text changed on the way");
    round_trip(data, size);
    return 0;
}
