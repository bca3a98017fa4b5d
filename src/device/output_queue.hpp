// A channel's output queue: a byte buffer of fixed size (a tty's 4 KiB by default) that a
// writer fills and asynchronous OUT transfers drain, a few in flight, each refilled from
// the buffer by the completion of the one before. Completions run where USB events are
// handled (the device's reader thread; over a handle that writes only synchronously, the
// device's writer thread, device/threaded_writes.hpp): no thread of its own, no Python,
// no GIL.
//
// Its entries are bytes and rate changes, in the order given: a change goes out as
// "Config N" and "Config?" once every byte before it has reached the device, and the
// bytes after it wait for the device's answer (or for 5 s without one). The changes' code
// is in output_queue_rates.cpp, what the owner hears in output_queue_events.cpp, the rest
// in output_queue.cpp.
//
// How a queue behaves is one value, its Policy, fixed when it is made. One that waits for
// the device (the service's) submits its transfers without a USB time-out: a slow device is
// waited for, a writer's own limit only ends its wait, and only close() or an unplug cancels
// what is in flight (bytes cancelled may have reached the device and are never sent again).
// Its owner hears through a second descriptor, events_fd(), when room came back, when
// everything has drained, when a rate change ended and when the drain failed. Transfers are
// shaped alike for every queue: as large as what waits, up to a bound.
//
// Locks: mutex_ is held for one queue operation at a time, never while waiting for
// anything but the USB layer's own lock (taken inside Link::submit). Order:
//   (the device's handlers lock)  ->  mutex_  ->  the USB layer's lock ;  mutex_  ->  the receive buffer's lock
// The device's answers to "Config?" come through a control handler, on the reader thread
// with the handlers lock held; nothing holding mutex_ ever sets or removes a handler.
// A completion takes mutex_ with no USB lock held. Waiting callers hold no other lock
// (the GIL released).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "channel/input_buffer.hpp"
#include "device/device_core.hpp"
#include "sync/readiness_pair.hpp"

namespace zt::device {

class OutputQueue : public std::enable_shared_from_this<OutputQueue> {
public:
    static constexpr size_t kDefaultCapacity = 4096;

    struct Policy {
        size_t capacity = kDefaultCapacity;
        // Transfers without a USB time-out, an events descriptor, and the channel's control
        // records for the answers to rate changes; else each transfer has a write's time limit.
        bool waits_for_device = false;
        // The rate in force when the queue is made: what the first change's outcome gives as
        // the rate before it.
        uint32_t rate = 0;
    };

    // `core` must have a link that submits asynchronously; `input` is the channel's receive
    // buffer, whose readiness descriptor this queue makes writable only while it has room,
    // and whose end tells that the device is gone.
    // One that waits for the device also opens its events descriptor (throws std::system_error
    // when the system gives none); install_confirmations() must follow before its first rate change.
    static std::shared_ptr<OutputQueue> make(std::shared_ptr<DeviceCore> core, uint8_t channel, Policy policy,
                                             std::shared_ptr<channel::InputBuffer> input);

    // Makes this queue the receiver of the channel's control records (the answers to
    // "Config?"); returns the handler it replaced, for the caller to release where it may.
    // Expects no lock held: it takes the device's handlers lock.
    std::shared_ptr<ControlHandler> install_confirmations();

    // How a rate change ended: the rate asked for, the rate in force before it (the last
    // one the device confirmed, else the queue's first), and the one the device confirmed,
    // or nullopt when it gave no readable answer in time or the drain failed before it.
    struct RateOutcome {
        uint32_t rate = 0;
        uint32_t before = 0;
        std::optional<uint32_t> confirmed;
    };
    // What the owner of a queue that waits for the device learns when events_fd() polls readable.
    struct Events {
        size_t room = 0;
        size_t waiting = 0;  // bytes queued or in flight
        size_t changes = 0;  // rate changes queued or under way
        std::vector<RateOutcome> outcomes;  // rate changes ended since the last call, in order
    };

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
    // Drops what has not been submitted; returns how many bytes. Rate changes stay queued.
    size_t reset();

    // Queues a change to `rate` after the bytes put so far, whatever room the buffer has. A
    // change that follows a queued one not yet begun, with no bytes between, takes its place
    // then false.
    bool change_rate(uint32_t rate);
    // The descriptor that polls readable while something has happened the owner has not
    // collected with events(); -1 for a queue that does not wait for the device.
    int events_fd() const { return events_.fd(); }
    // Collects what happened and makes events_fd() quiet until something more does.
    Events events();
    // Room for a put() now.
    size_t room() const;
    // Drains, giving up once nothing has moved for `patience` seconds, then stops: later
    // calls take nothing. Returns the bytes dropped; a failure on the way is reported.
    size_t close(double patience, std::optional<Failure>& failure);
    // Stops at once without draining (the owner is going away). Idempotent.
    void detach() noexcept;

    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;
    ~OutputQueue();

private:
    OutputQueue(std::shared_ptr<DeviceCore> core, uint8_t channel, Policy policy,
                std::shared_ptr<channel::InputBuffer> input);

    class Confirmations;
    struct PendingChange {
        uint64_t at;  // where it goes in the stream of bytes put
        uint32_t rate;
        uint32_t before;  // the rate in force when it began (or failed)
    };
    enum class ChangeState { Idle, Sending, Confirming };

    // A writer waiting in put() for room, whose bytes the queue takes on its behalf as room
    // comes back, on the thread that makes it (a completion): the transfers stay full
    // however late that writer's own thread is woken.
    struct Parked {
        const uint8_t* data;
        size_t size;
        size_t taken;
    };

    // All expect mutex_ held.
    // Copies what fits of `data` into the ring; returns the count.
    size_t copy_in_locked(const uint8_t* data, size_t size);
    // Takes what fits of the parked writer's bytes.
    void take_parked_locked();
    void pump_locked();
    void fail_locked(int code);
    std::optional<Failure> take_failure_locked();
    void update_writable_locked();
    void notify_locked();
    // Starts the change at the front: its commands submitted as one transfer.
    void start_change_locked();
    // Ends the change under way with `confirmed` (nullopt: no answer) and lets the bytes behind it go.
    void end_change_locked(std::optional<uint32_t> confirmed);
    // Ends the change under way once its answer is overdue.
    void check_change_locked();
    // The device's answer to "Config?", on the reader thread. Takes mutex_.
    void confirmed(std::span<const uint8_t> payload);
    // The transfer of a change's commands ended, on the thread handling USB events. Takes mutex_.
    void change_sent(uint64_t generation, int code);
    // The time limit of a transfer of `packets` submitted now: none for a queue that waits for the device.
    unsigned transfer_timeout_locked(size_t packets) const;
    // Waits on changed_ for up to `seconds`, at most one short slice, then looks whether the
    // device's reader has stopped with bytes still to go (a failure then).
    void wait_locked(std::unique_lock<std::mutex>& lock, double seconds);
    // The same on `cv`.
    void wait_locked(std::unique_lock<std::mutex>& lock, double seconds, std::condition_variable& cv);
    // Wakes everyone waiting: drain, close, and the parked writer.
    void wake_all_locked();
    // Room for more: the capacity holds what is buffered and what is in flight.
    size_t free_locked() const { return ring_.size() - buffered_ - in_flight_bytes_; }

    // A completion, on the thread handling USB events. Takes mutex_.
    void sent(size_t payload, size_t packets, uint64_t generation, size_t transferred, int code);

    const uint8_t channel_;
    const bool waits_for_device_;
    const std::shared_ptr<channel::InputBuffer> input_;
    const std::shared_ptr<sync::ReadinessPair> readiness_;  // nullptr when the system gave none

    mutable std::mutex mutex_;
    std::condition_variable changed_;            // notified under mutex_: room, progress, failure, stop
    std::condition_variable parked_cv_;          // notified under mutex_: the parked writer's bytes all taken, failure, stop
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
    uint64_t head_at_ = 0;                       // guarded by mutex_: where ring_'s oldest byte is in the stream
    std::deque<PendingChange> changes_;          // guarded by mutex_: rate changes not yet begun, in order
    ChangeState change_state_ = ChangeState::Idle;  // guarded by mutex_
    PendingChange change_{};                     // guarded by mutex_: the change under way
    uint32_t in_force_ = 0;                      // guarded by mutex_: the rate last confirmed (or the first)
    std::chrono::steady_clock::time_point answer_due_;  // guarded by mutex_: while Confirming
    std::vector<RateOutcome> outcomes_;          // guarded by mutex_: ended, not yet collected
    bool notified_ = false;                      // guarded by mutex_: events_ polls readable
    bool was_drained_ = true;                    // guarded by mutex_: nothing waited when last looked
    Parked* parked_ = nullptr;                   // guarded by mutex_: on put()'s stack while it waits
    sync::ReadinessPair events_;                 // fixed after make(); set under mutex_
};

}  // namespace zt::device
