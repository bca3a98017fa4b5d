// An output queue's rate changes: queued among its bytes, sent as "Config N" and
// "Config?" once every byte before them has reached the device, and ended by the device's
// answer (or by its absence), which lets the bytes behind them go.
#include "device/output_queue.hpp"

#include <charconv>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

#include "wire/wire_format.hpp"

namespace zt::device {
namespace {

using Clock = std::chrono::steady_clock;

// How long the device has to answer "Config?" once the change's commands have reached it:
// the answer queues behind whatever the device sends the host meanwhile, and one counted
// as missing while the device did take the rate would report the rate in force wrongly.
constexpr auto kAnswerTime = std::chrono::seconds(5);

// The rate in a "Config?" answer: digits, possibly followed by white space.
std::optional<uint32_t> parse_rate(std::span<const uint8_t> payload) {
    std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '\t' || text.back() == '\0'))
        text.remove_suffix(1);
    uint32_t rate = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return rate;
}

}  // namespace

// The channel's control records, while the queue lives. Holds the queue weakly: the
// device keeps its handlers longer than a queue may live.
class OutputQueue::Confirmations final : public ControlHandler {
public:
    explicit Confirmations(std::weak_ptr<OutputQueue> queue) : queue_(std::move(queue)) {}
    void call(std::span<const uint8_t> payload) override {
        if (auto queue = queue_.lock()) queue->confirmed(payload);
    }

private:
    const std::weak_ptr<OutputQueue> queue_;
};

std::shared_ptr<ControlHandler> OutputQueue::install_confirmations() {
    std::shared_ptr<DeviceCore> core;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        core = core_;
    }
    if (!core) return nullptr;
    return core->set_handler(channel_, std::make_shared<Confirmations>(weak_from_this()));
}

bool OutputQueue::change_rate(uint32_t rate) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopped_) return false;
    const uint64_t end = head_at_ + buffered_;
    if (!changes_.empty() && changes_.back().at == end) {
        changes_.back().rate = rate;
        return false;
    }
    changes_.push_back(PendingChange{end, rate, 0});
    was_drained_ = false;
    pump_locked();
    update_writable_locked();
    return true;
}

void OutputQueue::start_change_locked() {
    const PendingChange change = changes_.front();
    changes_.pop_front();
    const std::string set = "Config " + std::to_string(change.rate);
    const std::string ask = "Config?";
    const auto channel_byte = static_cast<uint8_t>(wire::command_channel_byte(channel_));
    std::vector<uint8_t> data = wire::encode_command_packet(
        channel_byte, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(set.data()), set.size()));
    const std::vector<uint8_t> second = wire::encode_command_packet(
        channel_byte, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(ask.data()), ask.size()));
    data.insert(data.end(), second.begin(), second.end());
    constexpr size_t kPackets = 2;
    change_state_ = ChangeState::Sending;
    change_ = change;
    change_.before = in_force_;
    const uint64_t generation = generation_;
    const int rc = core_->output_link().submit(
        std::move(data), transfer_timeout_locked(kPackets),
        [self = shared_from_this(), generation](size_t, int code) { self->change_sent(generation, code); }, this);
    if (rc != 0) {
        fail_locked(rc);
        return;
    }
    packets_in_flight_ += kPackets;
    ++transfers_;
}

void OutputQueue::change_sent(uint64_t generation, int code) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (generation != generation_) return;  // written off when the reader stopped
    --transfers_;
    packets_in_flight_ -= 2;
    if (code != 0 && !stopped_) {
        if (!failed_) fail_locked(code);
    } else if (change_state_ == ChangeState::Sending) {
        change_state_ = ChangeState::Confirming;
        answer_due_ = Clock::now() + kAnswerTime;
    }
    // else: answered already (the reader saw the answer before this completion)
    pump_locked();
    update_writable_locked();
    changed_.notify_all();
}

void OutputQueue::confirmed(std::span<const uint8_t> payload) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (change_state_ == ChangeState::Idle) return;  // an answer nobody here asked for
    end_change_locked(parse_rate(payload));
    changed_.notify_all();
}

void OutputQueue::end_change_locked(std::optional<uint32_t> confirmed) {
    const bool sending = change_state_ == ChangeState::Sending;
    outcomes_.push_back(RateOutcome{change_.rate, change_.before, confirmed});
    if (confirmed) in_force_ = *confirmed;
    change_state_ = ChangeState::Idle;
    notify_locked();
    // While its commands' transfer has not completed, transfers_ still counts it and the
    // bytes behind wait for that completion's pump.
    if (!sending) pump_locked();
    update_writable_locked();
}

void OutputQueue::check_change_locked() {
    if (change_state_ == ChangeState::Confirming && Clock::now() >= answer_due_) {
        end_change_locked(std::nullopt);
        changed_.notify_all();
    }
}

}  // namespace zt::device
