#include "device/output_queue.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <utility>

#include "wire/wire_format.hpp"

namespace zt::device {
namespace {

using Clock = std::chrono::steady_clock;

// A few transfers in flight, of a few packets each: enough to keep the bus busy between
// completions, few enough that a failure strands little behind it.
constexpr size_t kMaxTransfers = 4;
constexpr size_t kPacketsPerTransfer = 4;
// While waiting, how often to look whether the device's reader has stopped: transfers in
// flight when it stops may complete only once the device is released.
constexpr auto kEndCheck = std::chrono::milliseconds(20);
// The codes of the USB layer this queue tells apart.
constexpr int kNoDevice = -4;       // LIBUSB_ERROR_NO_DEVICE
constexpr int kTimeout = -7;        // LIBUSB_ERROR_TIMEOUT
constexpr int kInterrupted = -10;   // LIBUSB_ERROR_INTERRUPTED: cancelled, the handle released

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

std::shared_ptr<OutputQueue> OutputQueue::make(std::shared_ptr<DeviceCore> core, uint8_t channel, size_t capacity,
                                               std::shared_ptr<channel::InputBuffer> input) {
    return std::shared_ptr<OutputQueue>(new OutputQueue(std::move(core), channel, capacity, std::move(input)));
}

OutputQueue::OutputQueue(std::shared_ptr<DeviceCore> core, uint8_t channel, size_t capacity,
                         std::shared_ptr<channel::InputBuffer> input)
    : channel_(channel),
      input_(std::move(input)),
      readiness_(input_->readiness()),
      core_(std::move(core)),
      ring_(std::max<size_t>(capacity, 1)) {}

OutputQueue::~OutputQueue() = default;

size_t OutputQueue::put(const uint8_t* data, size_t size, double seconds, std::optional<Failure>& failure) {
    std::unique_lock<std::mutex> lock(mutex_);
    if ((failure = take_failure_locked())) return 0;
    if (stopped_) return 0;
    if (input_->input_ended()) {
        fail_locked(kNoDevice);
        failure = take_failure_locked();
        update_writable_locked();
        return 0;
    }
    const auto deadline = deadline_after(seconds);
    size_t taken = 0;
    for (;;) {
        if (stopped_) break;
        if (failed_) {
            // What follows a failure waits for its report, and the report for the transfers
            // still in flight: a writer that has handed nothing over yet waits for it here
            // (until its time is up) instead of coming straight back to try again.
            if (taken != 0 || (failure = take_failure_locked()) || Clock::now() >= deadline) break;
            update_writable_locked();
            wait_locked(lock, std::chrono::duration<double>(deadline - Clock::now()).count());
            continue;
        }
        const size_t n = std::min(free_locked(), size - taken);
        for (size_t done = 0; done < n;) {
            const size_t at = (head_ + buffered_) % ring_.size();
            const size_t run = std::min(n - done, ring_.size() - at);
            std::copy_n(data + taken + done, run, ring_.begin() + static_cast<std::ptrdiff_t>(at));
            buffered_ += run;
            done += run;
        }
        taken += n;
        if (n != 0) pump_locked();
        if (taken == size || Clock::now() >= deadline) break;
        update_writable_locked();
        wait_locked(lock, std::chrono::duration<double>(deadline - Clock::now()).count());
    }
    update_writable_locked();
    return taken;
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
        if (stopped_ || (buffered_ == 0 && transfers_ == 0)) return true;
        if (Clock::now() >= deadline) return false;
        wait_locked(lock, std::chrono::duration<double>(deadline - Clock::now()).count());
    }
}

size_t OutputQueue::reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t dropped = buffered_;
    buffered_ = 0;
    head_ = 0;
    update_writable_locked();
    changed_.notify_all();
    return dropped;
}

size_t OutputQueue::close(double patience, std::optional<Failure>& failure) {
    std::shared_ptr<DeviceCore> core;
    size_t dropped = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        size_t last = buffered_ + in_flight_bytes_;
        auto give_up = deadline_after(patience);
        while (!stopped_) {
            if ((failure = take_failure_locked())) break;
            const size_t now_waiting = buffered_ + in_flight_bytes_;
            if (now_waiting == 0 && transfers_ == 0) break;
            if (now_waiting != last) {
                last = now_waiting;
                give_up = deadline_after(patience);
            }
            if (Clock::now() >= give_up) break;
            wait_locked(lock, std::chrono::duration<double>(give_up - Clock::now()).count());
        }
        // Transfers still in flight go on, but nothing confirms them any more.
        if (!stopped_) dropped = buffered_ + in_flight_bytes_;
        buffered_ = 0;
        stopped_ = true;
        core = std::move(core_);
        update_writable_locked();
        changed_.notify_all();
    }
    return dropped;  // `core` is let go here, without the queue's lock
}

void OutputQueue::detach() noexcept {
    std::shared_ptr<DeviceCore> core;
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        stopped_ = true;
        buffered_ = 0;
        core = std::move(core_);
        update_writable_locked();
        changed_.notify_all();
    } catch (...) {
        // Locking failed: the system is out of resources; the queue stays as it was.
    }
}

void OutputQueue::pump_locked() {
    if (stopped_ || failed_ || !core_) return;
    while (transfers_ < kMaxTransfers && buffered_ > 0) {
        const size_t payload = std::min(buffered_, kPacketsPerTransfer * wire::kMaxPayload);
        const size_t packets = (payload + wire::kMaxPayload - 1) / wire::kMaxPayload;
        std::vector<uint8_t> data;
        data.reserve(packets * wire::kPackageSize);
        std::array<uint8_t, wire::kMaxPayload> chunk;
        for (size_t at = 0; at < payload;) {
            const size_t n = std::min(payload - at, wire::kMaxPayload);
            for (size_t i = 0; i < n; ++i) chunk[i] = ring_[(head_ + at + i) % ring_.size()];
            const wire::Packet packet = wire::encode_data_packet(channel_, std::span<const uint8_t>(chunk.data(), n));
            data.insert(data.end(), packet.begin(), packet.end());
            at += n;
        }
        // A packet's time limit as for a synchronous write, counted from submission, so
        // each transfer also waits for those ahead of it.
        const unsigned timeout_ms =
            kWriteTimeoutMs * static_cast<unsigned>(packets + packets_in_flight_);
        const uint64_t generation = generation_;
        const int rc = core_->link().submit(
            std::move(data), timeout_ms, [self = shared_from_this(), payload, packets, generation](size_t sent, int code) {
                self->sent(payload, packets, generation, sent, code);
            },
            this);
        if (rc != 0) {
            fail_locked(rc);
            return;
        }
        head_ = (head_ + payload) % ring_.size();
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
            if (core_) core_->link().cancel_submitted(this);
        }
        failure_.undelivered += payload - delivered;
    }
    pump_locked();
    update_writable_locked();
    changed_.notify_all();
}

void OutputQueue::fail_locked(int code) {
    if (!failed_) {
        failed_ = true;
        failure_ = Failure{code, 0};
    }
    failure_.undelivered += buffered_;
    buffered_ = 0;
    head_ = 0;
    changed_.notify_all();
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

void OutputQueue::update_writable_locked() {
    if (!readiness_) return;
    bool writable = writable_;
    const size_t room = free_locked();
    if (stopped_ || failed_) {
        writable = true;  // a writer must come to hear of it
    } else if (room == 0) {
        writable = false;
    } else if (room >= std::max<size_t>(1, ring_.size() / 4)) {
        writable = true;  // as a tty, not for every few bytes freed
    }
    if (writable == writable_) return;
    readiness_->set_writable(writable);
    writable_ = writable;
}

void OutputQueue::wait_locked(std::unique_lock<std::mutex>& lock, double seconds) {
    if (seconds <= 0) return;
    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    changed_.wait_for(lock, std::min<Clock::duration>(limit, kEndCheck));
    if (!failed_ && !stopped_ && (buffered_ > 0 || transfers_ > 0) && input_->input_ended()) {
        fail_locked(kNoDevice);
    }
}

}  // namespace zt::device
