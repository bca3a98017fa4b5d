#include "usb/libusb_device.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>

#include "usb/libusb_error.hpp"

namespace zt::usb {
namespace {

constexpr const char* kReleasedText = ": the device handle has been released";

// Runs on whichever thread is handling libusb events; the waiting thread sees the flag
// through libusb's event-waiter lock. It must not touch the transfer afterwards: the
// waiting thread may free it at once.
void LIBUSB_CALL on_transfer_done(libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }

std::string hex_address(uint8_t endpoint) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", endpoint);
    return text;
}

// This thread's transfer, allocated on its first transfer and used again for every later
// one, on any device: transfers here are synchronous, so it is never in flight twice, and
// libusb lets a completed transfer be filled and submitted again. Freed when the thread
// ends. Saves an allocation and a release per packet on the reader's path.
libusb_transfer* thread_transfer() {
    thread_local std::unique_ptr<libusb_transfer, TransferFree> transfer;
    if (!transfer) transfer.reset(libusb_alloc_transfer(0));
    return transfer.get();
}

}  // namespace

LibusbDevice::LibusbDevice(std::shared_ptr<Context> context, libusb_device* device,
                           const libusb_device_descriptor& descriptor)
    : context_(std::move(context)), device_(libusb_ref_device(device)), descriptor_(descriptor) {
    if (descriptor_.iSerialNumber == 0) serial_known_ = true;
}

LibusbDevice::~LibusbDevice() {
    try {
        release();
    } catch (...) {
        // The handle is closed even when releasing an interface failed; nobody is left
        // to tell about that failure.
    }
    libusb_unref_device(device_);
}

uint8_t LibusbDevice::bus_number() const { return libusb_get_bus_number(device_); }

uint8_t LibusbDevice::device_address() const { return libusb_get_device_address(device_); }

libusb_device_handle* LibusbDevice::pin_locked(const std::string& operation) {
    if (released_) throw Error(0, operation + kReleasedText);
    if (!handle_) {
        libusb_device_handle* handle = nullptr;
        const int rc = libusb_open(device_, &handle);
        if (rc < 0) throw_libusb_error(operation, rc, "opening the device");
        handle_ = handle;
    }
    ++users_;
    return handle_;
}

void LibusbDevice::unpin() noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--users_ == 0) idle_.notify_all();
}

const LibusbDevice::Route& LibusbDevice::route_locked(const std::string& operation, uint8_t endpoint, bool in) {
    if (!routes_) {
        std::map<uint8_t, Route> routes;
        for (const Interface& interface : read_configuration(operation).interfaces) {
            for (const Endpoint& e : interface.endpoints) {
                routes.emplace(e.address, Route{interface.number, e.attributes});
            }
        }
        routes_ = std::move(routes);
    }
    const auto found = routes_->find(endpoint);
    if (found == routes_->end()) {
        throw InvalidArgument(0, operation + ": the device has no endpoint " + hex_address(endpoint) +
                                     " in its active configuration");
    }
    const bool is_in = (endpoint & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
    if (is_in != in) {
        throw InvalidArgument(0, operation + ": endpoint " + hex_address(endpoint) + " is an " +
                                     (is_in ? "IN" : "OUT") + " endpoint");
    }
    const int type = found->second.attributes & LIBUSB_TRANSFER_TYPE_MASK;
    if (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
        throw InvalidArgument(0, operation + ": endpoint " + hex_address(endpoint) +
                                     " is neither a bulk nor an interrupt endpoint");
    }
    return found->second;
}

void LibusbDevice::claim_locked(const std::string& operation, libusb_device_handle* handle, int interface) {
    if (claimed_.count(interface) != 0) return;
    const int rc = libusb_claim_interface(handle, interface);
    if (rc < 0) throw_libusb_error(operation, rc, "claiming interface " + std::to_string(interface));
    claimed_.insert(interface);
}

size_t LibusbDevice::read(uint8_t endpoint, uint8_t* buffer, size_t length, unsigned timeout_ms) {
    return transfer("read", endpoint, true, buffer, length, timeout_ms);
}

size_t LibusbDevice::write(uint8_t endpoint, const uint8_t* data, size_t length, unsigned timeout_ms) {
    // An OUT transfer only reads from its buffer; libusb's transfer type has no const.
    return transfer("write", endpoint, false, const_cast<uint8_t*>(data), length, timeout_ms);
}

size_t LibusbDevice::transfer(const char* operation, uint8_t endpoint, bool in, uint8_t* buffer, size_t length,
                              unsigned timeout_ms) {
    const std::string op = operation;
    if (length > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw InvalidArgument(0, op + ": " + std::to_string(length) + " bytes do not fit in one transfer");
    }
    libusb_transfer* const t = thread_transfer();
    if (!t) throw_libusb_error(op, LIBUSB_ERROR_NO_MEM);
    int completed = 0;

    libusb_device_handle* handle = nullptr;
    Route route;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (released_) throw Error(0, op + kReleasedText);
        // Check the endpoint before opening or claiming anything: a bad address changes nothing.
        route = route_locked(op, endpoint, in);
        handle = pin_locked(op);
        try {
            claim_locked(op, handle, route.interface);
        } catch (...) {  // rethrows, a forced unwind included
            --users_;  // no release() waits for it: released_ was false under this same lock
            throw;
        }
    }
    Pin pin(*this);

    if ((route.attributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK) {
        libusb_fill_bulk_transfer(t, handle, endpoint, buffer, static_cast<int>(length), on_transfer_done,
                                  &completed, timeout_ms);
    } else {
        libusb_fill_interrupt_transfer(t, handle, endpoint, buffer, static_cast<int>(length), on_transfer_done,
                                       &completed, timeout_ms);
    }
    const int rc = libusb_submit_transfer(t);
    if (rc < 0) throw_libusb_error(op, rc);

    bool tracked = false;
    bool cancel = true;
    try {
        std::lock_guard<std::mutex> guard(mutex_);
        in_flight_.push_back(t);
        tracked = true;
        // release() began between pin and submit and could not see this transfer.
        cancel = released_;
    } catch (const std::exception&) {
        // Untracked, release() could not cancel it: give it up now.
    }
    if (cancel) libusb_cancel_transfer(t);
    wait_for_completion(t, completed);
    bool released = false;
    {
        // Stops tracking and unpins in one go: one lock per transfer fewer.
        std::lock_guard<std::mutex> guard(mutex_);
        if (tracked) {
            const auto it = std::find(in_flight_.begin(), in_flight_.end(), t);
            *it = in_flight_.back();
            in_flight_.pop_back();
        }
        released = released_;
        if (--users_ == 0) idle_.notify_all();
        pin.dismiss();
    }
    // The transfer outlives this handle (it is the thread's, and freed when the thread
    // ends): libusb_free_transfer looks through dev_handle for its context, so it must
    // not point at a handle that may be closed by then. The callback's pointer to the
    // count on this stack goes too.
    t->dev_handle = nullptr;
    t->user_data = nullptr;

    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return static_cast<size_t>(t->actual_length);
        case LIBUSB_TRANSFER_TIMED_OUT:
            throw_libusb_error(op, LIBUSB_ERROR_TIMEOUT);
        case LIBUSB_TRANSFER_STALL:
            throw_libusb_error(op, LIBUSB_ERROR_PIPE);
        case LIBUSB_TRANSFER_OVERFLOW:
            throw_libusb_error(op, LIBUSB_ERROR_OVERFLOW);
        case LIBUSB_TRANSFER_NO_DEVICE:
            throw_libusb_error(op, LIBUSB_ERROR_NO_DEVICE);
        case LIBUSB_TRANSFER_CANCELLED:
            if (released) throw_libusb_error(op, LIBUSB_ERROR_INTERRUPTED, "the device handle was released");
            throw_libusb_error(op, LIBUSB_ERROR_IO);
        default:
            throw_libusb_error(op, LIBUSB_ERROR_IO);
    }
}

void LibusbDevice::wait_for_completion(libusb_transfer* t, int& completed) {
    libusb_context* ctx = context_->get();
    while (!completed) {
        const int rc = libusb_handle_events_completed(ctx, &completed);
        // Event handling itself failed: cancel, and keep handling events until the
        // cancellation has completed the transfer (the buffer must outlive it).
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(t);
    }
}

bool LibusbDevice::is_kernel_driver_active(int interface) {
    const std::string op = "is kernel driver active";
    libusb_device_handle* handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        handle = pin_locked(op);
    }
    Pin pin(*this);
    const int rc = libusb_kernel_driver_active(handle, interface);
    if (rc < 0) throw_libusb_error(op, rc);
    return rc == 1;
}

void LibusbDevice::detach_kernel_driver(int interface) {
    const std::string op = "detach kernel driver";
    libusb_device_handle* handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        handle = pin_locked(op);
    }
    Pin pin(*this);
    const int rc = libusb_detach_kernel_driver(handle, interface);
    if (rc < 0) throw_libusb_error(op, rc);
}

void LibusbDevice::release() {
    libusb_device_handle* handle = nullptr;
    std::set<int> claimed;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (released_) {
            idle_.wait(lock, [this] { return closed_; });
            return;
        }
        released_ = true;
        for (libusb_transfer* t : in_flight_) libusb_cancel_transfer(t);
        while (users_ != 0) {
            if (outgoing_ == 0) {
                idle_.wait(lock);
                continue;
            }
            // Asynchronous transfers end only where events are handled, and the reader that
            // handles them may be gone: handle them here until they have all ended.
            lock.unlock();
            timeval slice{0, 50000};
            libusb_handle_events_timeout_completed(context_->get(), &slice, nullptr);
            lock.lock();
        }
        handle = std::exchange(handle_, nullptr);
        claimed.swap(claimed_);
    }

    int failure = 0;
    int failed_interface = 0;
    if (handle) {
        for (int interface : claimed) {
            const int rc = libusb_release_interface(handle, interface);
            // A device that has gone holds no interface any more: nothing to report.
            if (rc < 0 && rc != LIBUSB_ERROR_NO_DEVICE && failure == 0) {
                failure = rc;
                failed_interface = interface;
            }
        }
        libusb_close(handle);
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
    }
    idle_.notify_all();
    if (failure) throw_libusb_error("release", failure, "releasing interface " + std::to_string(failed_interface));
}

}  // namespace zt::usb
