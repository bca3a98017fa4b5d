#include "device/threaded_writes.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "sync/thread_setup.hpp"
#include "usb/usb_device.hpp"
#include "wire/wire_format.hpp"

namespace zt::device {
namespace {

using Clock = std::chrono::steady_clock;

// The codes of the USB layer a transfer ends with here.
constexpr int kIo = -1;            // LIBUSB_ERROR_IO
constexpr int kNoDevice = -4;      // LIBUSB_ERROR_NO_DEVICE
constexpr int kTimeout = -7;       // LIBUSB_ERROR_TIMEOUT
constexpr int kInterrupted = -10;  // LIBUSB_ERROR_INTERRUPTED: cancelled
constexpr int kNoMemory = -11;     // LIBUSB_ERROR_NO_MEM

}  // namespace

struct ThreadedWrites::Shared {
    struct Transfer {
        std::vector<uint8_t> data;
        std::optional<Clock::time_point> deadline;  // none: waits for the device
        Sent done;
        const void* owner = nullptr;
        bool cancelled = false;
    };

    explicit Shared(std::shared_ptr<Link> l) : link(std::move(l)) {}

    // Whether the transfer being written was cancelled meanwhile. Takes mutex.
    bool current_cancelled() {
        std::lock_guard lock(mutex);
        return cancel_current;
    }
    // Writes `t` packet by packet; the code it ends with, and in `sent` the bytes the link took.
    int write_out(const Transfer& t, size_t& sent);

    const std::shared_ptr<Link> link;
    std::mutex mutex;
    std::condition_variable work;      // notified under mutex: a transfer queued, or stopped
    std::deque<Transfer> queue;        // guarded by mutex: submitted, not yet taken by the thread
    const void* writing_owner = nullptr;  // guarded by mutex: the owner of the transfer being written
    bool writing = false;              // guarded by mutex: the thread is in the link's write
    bool cancel_current = false;       // guarded by mutex: the transfer being written stops
    bool stopped = false;              // guarded by mutex
    std::thread thread;                // guarded by mutex: started by the first transfer
};

int ThreadedWrites::Shared::write_out(const Transfer& t, size_t& sent) {
    for (size_t at = 0; at < t.data.size();) {
        if (current_cancelled()) return kInterrupted;
        const size_t n = std::min(wire::kPackageSize, t.data.size() - at);
        unsigned limit = kWriteTimeoutMs;
        if (t.deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*t.deadline - Clock::now()).count();
            if (left <= 0) return kTimeout;
            limit = static_cast<unsigned>(std::min<long long>(limit, left));
        }
        try {
            const size_t written = link->write(std::span<const uint8_t>(t.data.data() + at, n), limit);
            sent += std::min(written, n);
            if (written < n) return kIo;  // part of a packet: the device took something else
            at += n;
        } catch (const usb::Timeout&) {
            continue;  // the device is slow: asked again until the transfer's limit, if it has one
        } catch (const usb::Error& e) {
            return e.code() != 0 ? e.code() : kIo;
        } catch (const std::exception&) {
            return kIo;
        }
    }
    return 0;
}

ThreadedWrites::ThreadedWrites(std::shared_ptr<Link> link) : shared_(std::make_shared<Shared>(std::move(link))) {}

ThreadedWrites::~ThreadedWrites() {
    bool writing = false;
    std::thread thread = stopping(writing);
    if (!thread.joinable()) return;
    // A write under way may wait for what the thread destroying this holds (the GIL):
    // the thread finishes it on its own, keeping what it uses alive.
    if (writing || thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

size_t ThreadedWrites::read(uint8_t* buffer, size_t capacity, unsigned timeout_ms) {
    return shared_->link->read(buffer, capacity, timeout_ms);
}

size_t ThreadedWrites::write(std::span<const uint8_t> data, unsigned timeout_ms) {
    return shared_->link->write(data, timeout_ms);
}

size_t ThreadedWrites::in_packet_size() const { return shared_->link->in_packet_size(); }

int ThreadedWrites::submit(std::vector<uint8_t> data, unsigned timeout_ms, Sent done, const void* owner) noexcept {
    try {
        std::optional<Clock::time_point> deadline;
        if (timeout_ms != 0) deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::lock_guard lock(shared_->mutex);
        if (shared_->stopped) return kNoDevice;
        if (!shared_->thread.joinable()) shared_->thread = std::thread(run, shared_);
        shared_->queue.push_back(Shared::Transfer{std::move(data), deadline, std::move(done), owner, false});
        shared_->work.notify_one();
        return 0;
    } catch (...) {  // no memory, or no thread to be had; nothing here takes the GIL
        return kNoMemory;
    }
}

void ThreadedWrites::cancel_submitted(const void* owner) noexcept {
    std::lock_guard lock(shared_->mutex);
    for (auto& transfer : shared_->queue)
        if (transfer.owner == owner) transfer.cancelled = true;
    if (shared_->writing && shared_->writing_owner == owner) shared_->cancel_current = true;
}

std::thread ThreadedWrites::stopping(bool& writing) noexcept {
    std::lock_guard lock(shared_->mutex);
    writing = shared_->writing;
    shared_->stopped = true;
    for (auto& transfer : shared_->queue) transfer.cancelled = true;
    shared_->cancel_current = true;
    shared_->work.notify_one();
    return std::move(shared_->thread);
}

void ThreadedWrites::stop() noexcept {
    bool writing = false;
    std::thread thread = stopping(writing);
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();  // the device closed from a `done` of its own: the thread ends after it
    else
        thread.join();
}

void ThreadedWrites::run(std::shared_ptr<Shared> shared) {
    const sync::SignalsBlocked signals_go_to_the_main_thread;
    const sync::ThreadNamed named("torvak-writer");
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->work.wait(lock, [&] { return !shared->queue.empty() || shared->stopped; });
        if (shared->queue.empty()) return;
        {
            Shared::Transfer transfer = std::move(shared->queue.front());
            shared->queue.pop_front();
            size_t sent = 0;
            int code = kInterrupted;
            if (!transfer.cancelled) {
                shared->writing = true;
                shared->writing_owner = transfer.owner;
                shared->cancel_current = shared->stopped;
                lock.unlock();
                code = shared->write_out(transfer, sent);
                lock.lock();
                shared->writing = false;
                shared->writing_owner = nullptr;
            }
            lock.unlock();
            try {
                transfer.done(sent, code);
            } catch (const std::exception&) {
                // A handler must not throw; nothing on this thread could report it.
            }
        }  // the transfer's handler goes here, without the lock: it may hold the last of its owner
        lock.lock();
    }
}

}  // namespace zt::device
