#include "device/output_queue.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <system_error>
#include <utility>

#include "wire/wire_format.hpp"

namespace zt::device {
namespace {

using Clock = std::chrono::steady_clock;

// Two transfers in flight, each as large as what waits up to 16 packets: the bus stays busy
// between completions, and what a purge, a close or a failure finds in flight stays under
// 2 KiB. Each transfer costs a completion and a wake-up of the reader thread whatever its
// size, so few large ones move about three times the bytes per CPU second of many small
// ones (bench/bench_data_plane.py). A time-limited transfer's limit grows with its packets.
constexpr size_t kMaxTransfers = 2;
constexpr size_t kPacketsPerTransfer = 16;
// While waiting, how often to look whether the device's reader has stopped: transfers in
// flight when it stops may complete only once the device is released.
constexpr auto kEndCheck = std::chrono::milliseconds(20);
// The codes of the USB layer this queue tells apart.
constexpr int kNoDevice = -4;       // LIBUSB_ERROR_NO_DEVICE
constexpr int kTimeout = -7;        // LIBUSB_ERROR_TIMEOUT
constexpr int kInterrupted = -10;   // LIBUSB_ERROR_INTERRUPTED: cancelled, the handle released
// libusb's "no time limit".
constexpr unsigned kNoTimeLimit = 0;

Clock::time_point deadline_after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

std::string OutputQueue::Failure::text() const {
    std::string reason;
    switch (code) {
        case kNoDevice: reason = "the device is gone (unplugged or failed)"; break;
        case kTimeout: reason = "the device took nothing for too long (USB time-out)"; break;
        case kInterrupted: reason = "the device was closed"; break;
        default: reason = "USB error " + std::to_string(code); break;
    }
    return reason + ": " + std::to_string(undelivered) + " bytes written were not delivered";
}

std::shared_ptr<OutputQueue> OutputQueue::make(std::shared_ptr<DeviceCore> core, uint8_t channel, Policy policy,
                                               std::shared_ptr<channel::InputBuffer> input) {
    std::shared_ptr<OutputQueue> queue(new OutputQueue(std::move(core), channel, policy, std::move(input)));
    if (policy.waits_for_device && !queue->events_.open()) throw std::system_error(errno, std::generic_category(), "events descriptor");
    return queue;
}

OutputQueue::OutputQueue(std::shared_ptr<DeviceCore> core, uint8_t channel, Policy policy,
                         std::shared_ptr<channel::InputBuffer> input)
    : channel_(channel),
      waits_for_device_(policy.waits_for_device),
      input_(std::move(input)),
      readiness_(input_->readiness()),
      core_(std::move(core)),
      ring_(std::max<size_t>(policy.capacity, 1)),
      in_force_(policy.rate) {}

OutputQueue::~OutputQueue() = default;

size_t OutputQueue::put(const uint8_t* data, size_t size, double seconds, std::optional<Failure>& failure) {
    std::unique_lock<std::mutex> lock(mutex_);
    check_change_locked();
    if ((failure = take_failure_locked())) return 0;
    if (stopped_) return 0;
    if (input_->input_ended()) {
        fail_locked(kNoDevice);
        failure = take_failure_locked();
        update_writable_locked();
        return 0;
    }
    const auto deadline = deadline_after(seconds);
    Parked me{data, size, 0};
    // However put() ends, the queue stops taking its bytes, under the lock still held.
    struct Unpark {
        Parked*& slot;
        const Parked* me;
        ~Unpark() {
            if (slot == me) slot = nullptr;
        }
    } const unpark{parked_, &me};
    for (;;) {
        if (stopped_) break;
        if (failed_) {
            // What follows a failure waits for its report, and the report for the transfers
            // still in flight: a writer that has handed nothing over yet waits for it here
            // (until its time is up) instead of coming straight back to try again.
            if (me.taken != 0 || (failure = take_failure_locked()) || Clock::now() >= deadline) break;
            update_writable_locked();
            wait_locked(lock, std::chrono::duration<double>(deadline - Clock::now()).count());
            continue;
        }
        const size_t n = copy_in_locked(data + me.taken, size - me.taken);
        me.taken += n;
        if (n != 0) pump_locked();
        if (me.taken == size || Clock::now() >= deadline) break;
        // From here on the completions that make room take the rest on this writer's
        // behalf (one writer at a time; another copies its own bytes when it wakes).
        if (!parked_) parked_ = &me;
        update_writable_locked();
        wait_locked(lock, std::chrono::duration<double>(deadline - Clock::now()).count(),
                    parked_ == &me ? parked_cv_ : changed_);
    }
    update_writable_locked();
    return me.taken;
}

size_t OutputQueue::copy_in_locked(const uint8_t* data, size_t size) {
    const size_t n = std::min(free_locked(), size);
    for (size_t done = 0; done < n;) {
        const size_t at = (head_ + buffered_) % ring_.size();
        const size_t run = std::min(n - done, ring_.size() - at);
        std::copy_n(data + done, run, ring_.begin() + static_cast<std::ptrdiff_t>(at));
        buffered_ += run;
        done += run;
    }
    return n;
}

void OutputQueue::take_parked_locked() {
    if (!parked_ || stopped_ || failed_) return;
    parked_->taken += copy_in_locked(parked_->data + parked_->taken, parked_->size - parked_->taken);
    if (parked_->taken == parked_->size) parked_cv_.notify_one();
}

void OutputQueue::wake_all_locked() {
    changed_.notify_all();
    parked_cv_.notify_one();
}

size_t OutputQueue::waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return buffered_ + in_flight_bytes_;
}

bool OutputQueue::drain(double seconds, std::optional<Failure>& failure) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = deadline_after(seconds);
    for (;;) {
        if ((failure = take_failure_locked())) {
            update_writable_locked();
            return false;
        }
        check_change_locked();
        if (stopped_ || (buffered_ == 0 && transfers_ == 0 && changes_.empty() && change_state_ == ChangeState::Idle))
            return true;
        if (Clock::now() >= deadline) return false;
        wait_locked(lock, std::chrono::duration<double>(deadline - Clock::now()).count());
    }
}

size_t OutputQueue::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t dropped = buffered_;
    buffered_ = 0;
    head_ = 0;
    // The changes keep their order, now with nothing before them.
    for (auto& change : changes_) change.at = std::min(change.at, head_at_);
    take_parked_locked();
    pump_locked();  // a change the dropped bytes held back may go now
    update_writable_locked();
    wake_all_locked();
    return dropped;
}

size_t OutputQueue::close(double patience, std::optional<Failure>& failure) {
    std::shared_ptr<DeviceCore> core;
    size_t dropped = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto progress = [this] {
            return buffered_ + in_flight_bytes_ + changes_.size() + (change_state_ == ChangeState::Idle ? 0 : 1);
        };
        size_t last = progress();
        auto give_up = deadline_after(patience);
        while (!stopped_) {
            check_change_locked();
            if ((failure = take_failure_locked())) break;
            const size_t now_waiting = progress();
            if (now_waiting == 0 && transfers_ == 0) break;
            if (now_waiting != last) {
                last = now_waiting;
                give_up = deadline_after(patience);
            }
            if (Clock::now() >= give_up) break;
            wait_locked(lock, std::chrono::duration<double>(give_up - Clock::now()).count());
        }
        // Transfers still in flight go on, but nothing confirms them any more; those of a
        // queue that waits for the device have no time limit, so they are cancelled.
        if (!stopped_) dropped = buffered_ + in_flight_bytes_;
        buffered_ = 0;
        stopped_ = true;
        changes_.clear();
        if (waits_for_device_ && transfers_ > 0 && core_) core_->output_link().cancel_submitted(this);
        core = std::move(core_);
        update_writable_locked();
        wake_all_locked();
    }
    return dropped;  // `core` is let go here, without the queue's lock
}

void OutputQueue::detach() noexcept {
    std::shared_ptr<DeviceCore> core;
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
        buffered_ = 0;
        changes_.clear();
        if (waits_for_device_ && transfers_ > 0 && core_) core_->output_link().cancel_submitted(this);
        core = std::move(core_);
        update_writable_locked();
        wake_all_locked();
    } catch (...) {
        // Locking failed: the system is out of resources; the queue stays as it was.
    }
}

unsigned OutputQueue::transfer_timeout_locked(size_t packets) const {
    // A packet's time limit as for a synchronous write, counted from submission, so
    // each transfer also waits for those ahead of it.
    if (waits_for_device_) return kNoTimeLimit;
    return kWriteTimeoutMs * static_cast<unsigned>(packets + packets_in_flight_);
}

void OutputQueue::pump_locked() {
    if (stopped_ || failed_ || !core_) return;
    while (transfers_ < kMaxTransfers && change_state_ == ChangeState::Idle) {
        // Bytes up to the next change; the change itself once everything before it is done.
        size_t ready = buffered_;
        if (!changes_.empty()) {
            ready = static_cast<size_t>(std::min<uint64_t>(ready, changes_.front().at - head_at_));
            if (ready == 0) {
                if (transfers_ == 0) start_change_locked();
                return;
            }
        }
        if (ready == 0) return;
        const size_t payload =
            std::min(ready, kPacketsPerTransfer * wire::kMaxPayload);
        const size_t packets = (payload + wire::kMaxPayload - 1) / wire::kMaxPayload;
        std::vector<uint8_t> data;
        data.reserve(packets * wire::kPackageSize);
        std::array<uint8_t, wire::kMaxPayload> chunk;
        for (size_t at = 0; at < payload;) {
            const size_t n = std::min(payload - at, wire::kMaxPayload);
            const size_t from = (head_ + at) % ring_.size();
            const size_t first = std::min(n, ring_.size() - from);
            std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(from), first, chunk.begin());
            std::copy_n(ring_.begin(), n - first, chunk.begin() + static_cast<std::ptrdiff_t>(first));
            const wire::Packet packet = wire::encode_data_packet(channel_, std::span<const uint8_t>(chunk.data(), n));
            data.insert(data.end(), packet.begin(), packet.end());
            at += n;
        }
        const unsigned timeout_ms = transfer_timeout_locked(packets);
        const uint64_t generation = generation_;
        const int rc = core_->output_link().submit(
            std::move(data), timeout_ms, [self = shared_from_this(), payload, packets, generation](size_t sent, int code) {
                self->sent(payload, packets, generation, sent, code);
            },
            this);
        if (rc != 0) {
            fail_locked(rc);
            return;
        }
        head_ = (head_ + payload) % ring_.size();
        head_at_ += payload;
        buffered_ -= payload;
        in_flight_bytes_ += payload;
        packets_in_flight_ += packets;
        ++transfers_;
    }
}

void OutputQueue::sent(size_t payload, size_t packets, uint64_t generation, size_t transferred, int code) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (generation != generation_) return;  // written off when the reader stopped
    --transfers_;
    in_flight_bytes_ -= payload;
    packets_in_flight_ -= packets;
    if (code != 0 && !stopped_) {
        const size_t delivered = std::min(payload, transferred / wire::kPackageSize * wire::kMaxPayload);
        if (!failed_) {
            fail_locked(code);
            // Nothing may reach the device after a gap: stop the transfers behind this one
            // (each reports what it had sent), so that what arrives is a prefix of what was
            // written and the count reported is exactly what is missing.
            if (core_) core_->output_link().cancel_submitted(this);
        }
        failure_.undelivered += payload - delivered;
    }
    if (failed_ && transfers_ == 0) notify_locked();  // the failure's count is complete
    take_parked_locked();
    pump_locked();
    update_writable_locked();
    // Drain and close wait on changed_; a parked writer only for the end of its bytes
    // (take_parked_locked) or of the queue's drain: not woken for every transfer.
    changed_.notify_all();
    if (failed_) parked_cv_.notify_one();
}

void OutputQueue::fail_locked(int code) {
    if (!failed_) {
        failed_ = true;
        failure_ = Failure{code, 0};
    }
    failure_.undelivered += buffered_;
    head_at_ += buffered_;
    buffered_ = 0;
    head_ = 0;
    // The changes among what is dropped end unconfirmed, in order.
    if (change_state_ != ChangeState::Idle) {
        outcomes_.push_back(RateOutcome{change_.rate, change_.before, std::nullopt});
        change_state_ = ChangeState::Idle;
    }
    for (const auto& change : changes_) outcomes_.push_back(RateOutcome{change.rate, in_force_, std::nullopt});
    changes_.clear();
    notify_locked();
    wake_all_locked();
}

std::optional<OutputQueue::Failure> OutputQueue::take_failure_locked() {
    if (!failed_) return std::nullopt;
    if (transfers_ > 0) {
        // Wait for the transfers still in flight, whose outcome is part of the count,
        // unless the reader is gone: then they can only fail.
        if (!input_->input_ended()) return std::nullopt;
        failure_.undelivered += in_flight_bytes_;
        ++generation_;  // their completions no longer count
        in_flight_bytes_ = 0;
        packets_in_flight_ = 0;
        transfers_ = 0;
    }
    failed_ = false;
    return std::exchange(failure_, Failure{});
}

void OutputQueue::wait_locked(std::unique_lock<std::mutex>& lock, double seconds) {
    wait_locked(lock, seconds, changed_);
}

void OutputQueue::wait_locked(std::unique_lock<std::mutex>& lock, double seconds, std::condition_variable& cv) {
    if (seconds <= 0) return;
    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    cv.wait_for(lock, std::min<Clock::duration>(limit, kEndCheck));
    check_change_locked();
    if (!failed_ && !stopped_ && (buffered_ > 0 || transfers_ > 0 || change_state_ != ChangeState::Idle) &&
        input_->input_ended()) {
        fail_locked(kNoDevice);
    }
}

}  // namespace zt::device
