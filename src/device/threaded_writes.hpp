// Asynchronous OUT transfers over a link that can only write synchronously (a handle
// reached through Python): a thread of the device's own writes the transfers submitted to
// it, one after the other, packet by packet, through the link's write, and ends each
// through its `done` on that thread. Reads and writes of the link itself pass straight
// through.
//
// Locks: mutex_ is held only to queue, cancel and take transfers, never while writing or
// calling `done`, so a caller may hold its own lock (an output queue's) while it submits
// or cancels. The thread holds nothing of this object's while it writes, so that whatever
// the link's write takes (the GIL, for a Python handle) is taken last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "device/device_core.hpp"

namespace zt::device {

class ThreadedWrites final : public Link {
public:
    explicit ThreadedWrites(std::shared_ptr<Link> link);
    // As stop(), but a write under way is not waited for: the thread finishes it on its own.
    ~ThreadedWrites() override;
    ThreadedWrites(const ThreadedWrites&) = delete;
    ThreadedWrites& operator=(const ThreadedWrites&) = delete;

    size_t read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) override;
    size_t write(std::span<const uint8_t> data, unsigned timeout_ms) override;
    size_t in_packet_size() const override;
    bool asynchronous() const override { return true; }
    // Transfers not yet begun end with nothing sent; the one being written stops after its
    // current packet. Each still ends through its `done`, on the thread.
    void cancel_submitted(const void* owner) noexcept override;
    // Whole packets of the wire format. Starts the thread on first use. A `timeout_ms` of 0
    // waits for the device as long as it takes (until cancelled or stopped).
    int submit(std::vector<uint8_t> data, unsigned timeout_ms, Sent done, const void* owner) noexcept override;

    // Cancels everything submitted, refuses more, and waits until the thread has ended
    // (after the packet it is writing). Expects none of what the link's write takes held
    // (for a Python handle: called without the GIL). Idempotent.
    void stop() noexcept;

private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared);
    // Asks the thread to end; returns it to be joined or let go, and whether it is in the
    // link's write now.
    std::thread stopping(bool& writing) noexcept;

    const std::shared_ptr<Shared> shared_;
};

}  // namespace zt::device
