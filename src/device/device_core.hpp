// The native side of one open device: its link to the USB handle, the reader loop,
// the table of open channels the reader delivers to, the control-handler registry
// and the master-query mailbox. No Python here; the binding supplies the pieces
// that must call Python (a duck-typed handle, a Python channel, a Python handler).
//
// Lock order (all non-recursive):
//   channel_lock  ->  (registry's device lock)  ->  table_guard_ / mailbox / buffers  ->  GIL
// The reader thread never takes channel_lock or master_protector: threads holding
// those wait for the reader (closing the device joins it). The GIL is always the last
// lock taken; every native lock here is waited for with the GIL released. The writer
// thread of a link without asynchronous transfers (threaded_writes.hpp) holds no lock
// while it writes through the link (for a Python handle: with the GIL); closing the
// device joins it after the reader, with the GIL released.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sync/blocking_lock.hpp"

namespace zt::device {

// Transfer time-outs. The reader polls with kReadTimeoutMs, so closing the device waits
// about that long at most for the reader's current read; packets go out with
// kWriteTimeoutMs.
inline constexpr unsigned kReadTimeoutMs = 50;
inline constexpr unsigned kWriteTimeoutMs = 100;

// A failure of the link or of routing that is not a USB error; what() is the text
// the reader reports.
struct LinkFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The device's two endpoints on some USB handle.
class Link {
public:
    virtual ~Link() = default;
    // One IN transfer into `buffer`; throws usb::Timeout when idle, usb::Error or
    // LinkFailure otherwise. Called without the GIL.
    virtual size_t read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) = 0;
    // One OUT transfer; returns the count the handle reports. Called without the GIL.
    virtual size_t write(std::span<const uint8_t> data, unsigned timeout_ms) = 0;
    virtual size_t in_packet_size() const = 0;

    // The end of an asynchronous OUT transfer: bytes taken, and 0 or a USB error code.
    using Sent = std::function<void(size_t transferred, int code)>;
    // Starts one OUT transfer and returns without waiting: 0 once it is on its way, or the
    // USB error code of why not (then `done` is never called). `done` runs once on the
    // thread that handles USB events (the reader's), holds no lock of the link's and must
    // not block. kNoAsync for a link that cannot (a handle reached through Python). Never
    // throws: its callers may be built apart from the link.
    static constexpr int kNoAsync = -12;  // LIBUSB_ERROR_NOT_SUPPORTED
    virtual bool asynchronous() const { return false; }
    // Stops the asynchronous transfers of `owner` on their way (they still end through `done`).
    virtual void cancel_submitted(const void* owner) noexcept { (void)owner; }
    // `owner` tags the transfer for cancel_submitted().
    virtual int submit(std::vector<uint8_t> data, unsigned timeout_ms, Sent done, const void* owner) noexcept {
        (void)data, (void)timeout_ms, (void)done, (void)owner;
        return kNoAsync;
    }
};

// Receiver of one open channel's data.
class DataSink {
public:
    virtual ~DataSink() = default;
    // Called on the reader thread without the GIL. Throws LinkFailure to end the reader.
    virtual void input(std::span<const uint8_t> data) = 0;
    // The reader has stopped: no more input will come. On the reader thread, without the GIL.
    virtual void end() noexcept {}
};

// A registered control handler.
class ControlHandler {
public:
    virtual ~ControlHandler() = default;
    // Called on the reader thread (or a caller thread) with handlers_protector held
    // and without the GIL. Throws LinkFailure to end the reader.
    virtual void call(std::span<const uint8_t> payload) = 0;
};

// The master-query hand-over: the reader stores a reply and sets the flag; a query
// clears the flag before sending and reads the reply only after the flag was set.
class MasterMailbox {
public:
    void clear();
    bool is_set() const;
    // Stores `reply` and sets the flag, unless the flag is already set (then the reply is dropped).
    void offer(std::span<const uint8_t> reply);
    // Waits up to `seconds` for the flag (no wait for 0 or less); returns its state.
    bool wait(double seconds);
    std::vector<uint8_t> reply() const;
    // Waits up to `seconds` until a second reply has come since the last clear (the one
    // stored and one dropped): the device had an older reply queued ahead of the answer to
    // the query sent after that clear. Returns whether it came.
    bool wait_for_second_reply(double seconds);

private:
    mutable std::mutex mutex_;
    std::condition_variable set_cv_;
    bool set_ = false;             // guarded by mutex_
    std::vector<uint8_t> reply_;   // guarded by mutex_
    unsigned replies_ = 0;         // guarded by mutex_: replies offered since the last clear
};

class DeviceCore;
class ThreadedWrites;

// The name of the capsule, holding a std::shared_ptr<DeviceCore>, in which a device
// object keeps its core: every reader of the capsule checks it by this name.
inline constexpr const char* kDeviceCoreCapsule = "zeq_torvak._Device.core";

class DeviceCore {
public:
    // A link that cannot transfer asynchronously gets a writer thread of the core's own
    // for its output queues (device/threaded_writes.hpp).
    explicit DeviceCore(std::unique_ptr<Link> link);
    ~DeviceCore();
    DeviceCore(const DeviceCore&) = delete;
    DeviceCore& operator=(const DeviceCore&) = delete;

    // The handle's link: the reader's reads, and synchronous writes.
    Link& link() { return *link_; }
    // What output queues submit their transfers to: the link itself, or the writer thread
    // over it. Inline: the private readiness module, built apart, reaches it too.
    Link& output_link() { return *output_link_; }
    // Ends the writer thread, if any, after the packet it is writing; transfers not yet
    // written end cancelled. Expects the GIL released (the writer may be waiting for it).
    void stop_output() noexcept;

    // Reader loop: polls until stop_flag is seen set (returns nullopt) or a read or
    // routing step fails (returns the failure text). Runs without the GIL, with
    // asynchronous signals blocked on its thread.
    std::optional<std::string> run_reader();

    // --- open channels -------------------------------------------------------
    // Changes of the table are serialised by channel_lock (held by callers);
    // table_guard_ only makes each lookup by the reader safe against them.
    void insert_channel(int channel, std::shared_ptr<DataSink> sink);
    bool has_channel(int channel) const;
    // Removes the entry; returns it so the caller can release it where it chooses.
    std::shared_ptr<DataSink> erase_channel(int channel);
    bool no_channels() const;
    // Calls end() of every open channel's sink.
    void end_input_of_channels() noexcept;

    // --- control handlers ------------------------------------------------------
    // Takes handlers_protector and calls the handler of `channel`, if any.
    void handle_control(int channel, std::span<const uint8_t> payload);
    // Takes handlers_protector and calls f(handler) for the handler of `channel`, if any.
    template <typename F>
    void with_handler(int channel, F&& f);
    // Both take handlers_protector; they return the replaced/removed handler, released by the caller.
    std::shared_ptr<ControlHandler> set_handler(int channel, std::shared_ptr<ControlHandler> handler);
    std::shared_ptr<ControlHandler> reset_handler(int channel);

    // Where the reader sends control records; handle_control unless the binding
    // routes them through an overriding Python method. Set before the reader starts.
    std::function<void(int, std::span<const uint8_t>)> control_route;

    std::atomic<bool> stop_flag{false};

    // Serialises changes of the channel table; held while the last channel's close stops the device.
    std::mutex channel_lock;
    // Lets one master query run at a time.
    std::mutex master_protector;
    MasterMailbox master;

    // Not a count any device reports (a reply of -1 must read back as -1); counts
    // beyond the range of long long are saturated.
    static constexpr long long kUnknownCount = std::numeric_limits<long long>::min();
    std::atomic<long long> channel_count{kUnknownCount};

private:
    const std::shared_ptr<Link> link_;
    const std::unique_ptr<ThreadedWrites> writes_;  // only over a link without asynchronous transfers
    Link* const output_link_;                       // link_ or writes_

    mutable std::mutex table_guard_;
    std::map<int, std::shared_ptr<DataSink>> channels_;  // guarded by table_guard_

    std::mutex handlers_protector_;  // held for every access to handlers_ and every handler call
    std::map<int, std::shared_ptr<ControlHandler>> handlers_;  // guarded by handlers_protector_
};

// Inline: the private readiness module, built apart, installs its queues' handlers too.
inline std::shared_ptr<ControlHandler> DeviceCore::set_handler(int channel, std::shared_ptr<ControlHandler> handler) {
    sync::BlockingLock lock(handlers_protector_);
    std::swap(handlers_[channel], handler);
    return handler;
}

template <typename F>
void DeviceCore::with_handler(int channel, F&& f) {
    sync::BlockingLock lock(handlers_protector_);
    auto it = handlers_.find(channel);
    if (it != handlers_.end()) f(*it->second);
}

}  // namespace zt::device
