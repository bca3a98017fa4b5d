// A channel's receive buffer: byte chunks in arrival order. The device's reader
// thread appends without the GIL; readers take one piece at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "sync/readiness_pair.hpp"

namespace zt::channel {

// The name of the capsule, holding a std::shared_ptr<InputBuffer>, in which a channel
// object keeps its receive buffer: every reader of the capsule checks it by this name.
inline constexpr const char* kInputBufferCapsule = "zeq_torvak._Channel.receive_buffer";

class InputBuffer {
public:
    enum class Take { Closed, Empty, Got };

    InputBuffer() = default;
    ~InputBuffer();
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;

    // Appends one chunk; dropped when the buffer is closed. Never blocks for long:
    // the lock is only ever held for one buffer operation.
    void append(std::vector<uint8_t> chunk);
    void append(const uint8_t* data, size_t size) { append(std::vector<uint8_t>(data, data + size)); }

    // Total bytes buffered; 0 once closed.
    size_t waiting() const;

    // Takes at most `max_size` bytes from the front, never more than one chunk.
    // Returns Closed once closed, Empty when nothing is buffered.
    Take take(size_t max_size, std::vector<uint8_t>& out);

    // Drops everything buffered; the buffer stays open. Returns false when closed.
    bool clear();

    // Drops everything and refuses all later input. Idempotent.
    void close();

    // The device's reader has stopped (unplug, USB error): what is buffered can still be
    // taken, nothing more will come. Idempotent.
    void end_input();
    bool input_ended() const;

    // A descriptor that polls readable while data is buffered, or while no more can come
    // (closed, or input ended), and not readable otherwise; its writable state belongs to
    // the channel's output queue, when it has one (always writable otherwise). Made on the
    // first call, kept until the buffer and every holder of readiness() are gone: whoever
    // waits on it holds the buffer, so it is never closed under a waiter. -1 when the
    // system refuses one.
    int readiness_fd();
    // The descriptor's pair, made on first need; nullptr when the system refuses one.
    std::shared_ptr<sync::ReadinessPair> readiness();

private:
    // Brings the descriptor's state in line with the buffer's. Expects mutex_.
    void update_readiness_locked();

    // Held for one buffer operation at a time; nothing else is taken while it is held.
    mutable std::mutex mutex_;
    std::deque<std::vector<uint8_t>> chunks_;  // guarded by mutex_
    size_t front_offset_ = 0;                   // guarded by mutex_: bytes already taken from chunks_.front()
    size_t total_ = 0;                          // guarded by mutex_: bytes buffered
    bool closed_ = false;                       // guarded by mutex_
    bool ended_ = false;                        // guarded by mutex_
    std::shared_ptr<sync::ReadinessPair> readiness_;  // guarded by mutex_; then fixed until destruction
    bool signalled_ = false;                    // guarded by mutex_: readiness_ polls readable
};

}  // namespace zt::channel
