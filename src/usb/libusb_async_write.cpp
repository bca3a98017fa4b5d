// A LibusbDevice's asynchronous OUT transfers: submitted without waiting, ended by their
// callback on whichever thread handles libusb events (the device's reader).
#include "usb/libusb_device.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "usb/libusb_error.hpp"

namespace zt::usb {

// What an asynchronous transfer keeps until its callback: its data, its handler, and the
// device it pins. Owned by the transfer's user_data from submission to callback.
struct LibusbDevice::Outgoing {
    LibusbDevice* device;
    std::vector<uint8_t> data;
    SentHandler done;
    const void* owner;
};

int LibusbDevice::submit_write(uint8_t endpoint, std::vector<uint8_t> data, unsigned timeout_ms,
                               SentHandler done, const void* owner) noexcept {
    try {
        if (data.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return LIBUSB_ERROR_INVALID_PARAM;
        const std::string op = "write";
        std::unique_ptr<libusb_transfer, TransferFree> t(libusb_alloc_transfer(0));
        if (!t) return LIBUSB_ERROR_NO_MEM;
        auto outgoing = std::make_unique<Outgoing>(Outgoing{this, std::move(data), std::move(done), owner});
        std::lock_guard<std::mutex> guard(mutex_);
        if (released_) return LIBUSB_ERROR_NO_DEVICE;
        const Route route = route_locked(op, endpoint, false);
        libusb_device_handle* handle = pin_locked(op);
        try {
            claim_locked(op, handle, route.interface);
        } catch (...) {
            --users_;
            throw;
        }
        uint8_t* buffer = outgoing->data.data();
        const int length = static_cast<int>(outgoing->data.size());
        if ((route.attributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK) {
            libusb_fill_bulk_transfer(t.get(), handle, endpoint, buffer, length, on_sent, outgoing.get(), timeout_ms);
        } else {
            libusb_fill_interrupt_transfer(t.get(), handle, endpoint, buffer, length, on_sent, outgoing.get(),
                                           timeout_ms);
        }
        in_flight_.reserve(in_flight_.size() + 1);  // tracking it below cannot fail
        // Submitted under the mutex: release() cannot begin between the check above and
        // tracking the transfer, and the callback, which takes the mutex, waits until then.
        const int rc = libusb_submit_transfer(t.get());
        if (rc < 0) {
            if (--users_ == 0) idle_.notify_all();
            return rc;
        }
        ++outgoing_;
        in_flight_.push_back(t.release());
        outgoing.release();
        return 0;
    } catch (const Error& e) {  // nothing here takes the GIL, so no forced unwind can start
        return e.code() != 0 ? e.code() : LIBUSB_ERROR_OTHER;
    } catch (...) {
        return LIBUSB_ERROR_OTHER;
    }
}

void LibusbDevice::cancel_writes(const void* owner) noexcept {
    std::lock_guard<std::mutex> guard(mutex_);
    for (libusb_transfer* t : in_flight_) {
        if (t->callback == on_sent && static_cast<Outgoing*>(t->user_data)->owner == owner) libusb_cancel_transfer(t);
    }
}

void LIBUSB_CALL LibusbDevice::on_sent(libusb_transfer* t) {
    std::unique_ptr<Outgoing> outgoing(static_cast<Outgoing*>(t->user_data));
    LibusbDevice& self = *outgoing->device;
    const size_t transferred = t->actual_length > 0 ? static_cast<size_t>(t->actual_length) : 0;
    int code = 0;
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED: code = 0; break;
        case LIBUSB_TRANSFER_TIMED_OUT: code = LIBUSB_ERROR_TIMEOUT; break;
        case LIBUSB_TRANSFER_STALL: code = LIBUSB_ERROR_PIPE; break;
        case LIBUSB_TRANSFER_NO_DEVICE: code = LIBUSB_ERROR_NO_DEVICE; break;
        case LIBUSB_TRANSFER_CANCELLED: code = LIBUSB_ERROR_INTERRUPTED; break;
        default: code = LIBUSB_ERROR_IO; break;
    }
    {
        std::lock_guard<std::mutex> guard(self.mutex_);
        const auto it = std::find(self.in_flight_.begin(), self.in_flight_.end(), t);
        if (it != self.in_flight_.end()) {
            *it = self.in_flight_.back();
            self.in_flight_.pop_back();
        }
    }
    // Still pinned: the handle the transfer names stays open while it is freed.
    libusb_free_transfer(t);
    try {
        outgoing->done(transferred, code);
    } catch (const std::exception&) {
        // A handler must not throw; nothing on this thread could report it.
    }  // anything else is a thread-ending unwind, which goes on
    outgoing.reset();  // the handler's state goes before the pin, while the device is certainly alive
    std::lock_guard<std::mutex> guard(self.mutex_);
    --self.outgoing_;
    if (--self.users_ == 0) self.idle_.notify_all();
}

}  // namespace zt::usb
