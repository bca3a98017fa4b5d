// A channel's output queue: a byte buffer of fixed size (a tty's 4 KiB by default) that a
// writer fills and asynchronous OUT transfers drain, a few in flight, each refilled from
// the buffer by the completion of the one before. Completions run where USB events are
// handled (the device's reader thread): no thread of its own, no Python, no GIL.
//
// Locks: mutex_ is held for one queue operation at a time, never while waiting for
// anything but the USB layer's own lock (taken inside Link::submit). Order:
//   mutex_  ->  the USB layer's lock ;  mutex_  ->  the receive buffer's lock
// A completion takes mutex_ with no USB lock held. Waiting callers hold no other lock
// (the GIL released).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "channel/input_buffer.hpp"
#include "device/device_core.hpp"
#include "sync/readiness_pair.hpp"

namespace zt::device {

class OutputQueue : public std::enable_shared_from_this<OutputQueue> {
public:
    static constexpr size_t kDefaultCapacity = 4096;

    // `core` must have a link that submits asynchronously; `input` is the channel's receive
    // buffer, whose readiness descriptor this queue makes writable only while it has room,
    // and whose end tells that the device is gone.
    static std::shared_ptr<OutputQueue> make(std::shared_ptr<DeviceCore> core, uint8_t channel, size_t capacity,
                                             std::shared_ptr<channel::InputBuffer> input);

    // A failure not yet reported: what went wrong, and how many bytes will not reach the
    // device because of it.
    struct Failure {
        int code = 0;  // a USB error code
        size_t undelivered = 0;
        std::string text() const;
    };

    // Takes what fits of `data`, waiting up to `seconds` for room while some does not
    // (0: no wait). Returns the count taken; a pending failure instead, taking nothing.
    size_t put(const uint8_t* data, size_t size, double seconds, std::optional<Failure>& failure);
    // Bytes buffered or in flight.
    size_t waiting() const;
    // Waits up to `seconds` until everything has reached the device: true once it has, false
    // at the limit; a failure (taken) ends the wait.
    bool drain(double seconds, std::optional<Failure>& failure);
    // Drops what has not been submitted; returns how many bytes.
    size_t reset();
    // Drains, giving up once nothing has moved for `patience` seconds, then stops: later
    // calls take nothing. Returns the bytes dropped; a failure on the way is reported.
    size_t close(double patience, std::optional<Failure>& failure);
    // Stops at once without draining (the owner is going away). Idempotent.
    void detach() noexcept;

    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;
    ~OutputQueue();

private:
    OutputQueue(std::shared_ptr<DeviceCore> core, uint8_t channel, size_t capacity,
                std::shared_ptr<channel::InputBuffer> input);

    // All expect mutex_ held.
    void pump_locked();
    void fail_locked(int code);
    std::optional<Failure> take_failure_locked();
    void update_writable_locked();
    // Waits on changed_ for up to `seconds`, at most one short slice, then looks whether the
    // device's reader has stopped with bytes still to go (a failure then).
    void wait_locked(std::unique_lock<std::mutex>& lock, double seconds);
    // Room for more: the capacity holds what is buffered and what is in flight.
    size_t free_locked() const { return ring_.size() - buffered_ - in_flight_bytes_; }

    // A completion, on the thread handling USB events. Takes mutex_.
    void sent(size_t payload, size_t packets, uint64_t generation, size_t transferred, int code);

    const uint8_t channel_;
    const std::shared_ptr<channel::InputBuffer> input_;
    const std::shared_ptr<sync::ReadinessPair> readiness_;  // nullptr when the system gave none

    mutable std::mutex mutex_;
    std::condition_variable changed_;            // notified under mutex_: room, progress, failure, stop
    std::shared_ptr<DeviceCore> core_;           // guarded by mutex_; dropped by close() and detach()
    std::vector<uint8_t> ring_;                  // guarded by mutex_: the buffer, of fixed size
    size_t head_ = 0;                            // guarded by mutex_: where the oldest byte is
    size_t buffered_ = 0;                        // guarded by mutex_: bytes in ring_, not yet submitted
    size_t in_flight_bytes_ = 0;                 // guarded by mutex_: payload of transfers not yet completed
    size_t transfers_ = 0;                       // guarded by mutex_: transfers not yet completed
    size_t packets_in_flight_ = 0;               // guarded by mutex_: their packets
    uint64_t generation_ = 0;                    // guarded by mutex_: transfers of older ones were written off
    bool failed_ = false;                        // guarded by mutex_: the drain stopped on a failure not yet reported
    Failure failure_;                            // guarded by mutex_: that failure, while failed_
    bool stopped_ = false;                       // guarded by mutex_: closed or detached
    bool writable_ = true;                       // guarded by mutex_: the readiness descriptor polls writable
};

}  // namespace zt::device
