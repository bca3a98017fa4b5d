// A Device backed by one libusb_device. Its code is in three files: libusb_device.cpp (the
// handle's life, synchronous transfers, the kernel driver), libusb_async_write.cpp and
// libusb_descriptors.cpp.
#pragma once

#include <libusb.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "usb/libusb_context.hpp"
#include "usb/usb_device.hpp"

namespace zt::usb {

// Frees a libusb transfer, for std::unique_ptr.
struct TransferFree {
    void operator()(libusb_transfer* t) const noexcept { libusb_free_transfer(t); }
};

// The handle is opened on first need and closed by release().
//
// Locking: `mutex_` guards the fields marked below and is never held while a transfer or
// a control request is on the bus. A thread that needs the handle for such a call pins it
// (`users_`), drops the mutex, and unpins when it is done. release() refuses new users,
// cancels the pinned asynchronous transfers, and closes the handle only once `users_` is
// back to 0, so the handle is never closed under a running transfer. Opening the handle and
// claiming an interface (one ioctl each, no transfer) happen under the mutex, so that two
// threads making their first transfer at once neither open twice nor claim twice.
// libusb_cancel_transfer is also called under the mutex; that is safe because cancelling
// only asks the kernel to discard the transfer and never runs a callback, so the callback
// of an asynchronous transfer may take the mutex.
class LibusbDevice final : public Device {
public:
    // Takes a new reference to `device`; `descriptor` is its device descriptor.
    LibusbDevice(std::shared_ptr<Context> context, libusb_device* device, const libusb_device_descriptor& descriptor);
    ~LibusbDevice() override;
    LibusbDevice(const LibusbDevice&) = delete;
    LibusbDevice& operator=(const LibusbDevice&) = delete;

    std::optional<std::string> serial_number() override;
    uint16_t vendor_id() const override { return descriptor_.idVendor; }
    uint16_t product_id() const override { return descriptor_.idProduct; }
    uint8_t bus_number() const override;
    uint8_t device_address() const override;

    bool is_kernel_driver_active(int interface) override;
    void detach_kernel_driver(int interface) override;
    Configuration active_configuration() override;

    size_t read(uint8_t endpoint, uint8_t* buffer, size_t length, unsigned timeout_ms) override;
    size_t write(uint8_t endpoint, const uint8_t* data, size_t length, unsigned timeout_ms) override;
    int submit_write(uint8_t endpoint, std::vector<uint8_t> data, unsigned timeout_ms, SentHandler done,
                     const void* owner) noexcept override;
    void cancel_writes(const void* owner) noexcept override;

    void release() override;

private:
    struct Route {
        int interface = 0;
        uint8_t attributes = 0;
    };
    class Pin;
    struct Outgoing;
    // The callback of an asynchronous output transfer, on the thread handling events.
    static void LIBUSB_CALL on_sent(libusb_transfer* t);

    // Expect mutex_ held.
    libusb_device_handle* pin_locked(const std::string& operation);
    const Route& route_locked(const std::string& operation, uint8_t endpoint, bool in);
    void claim_locked(const std::string& operation, libusb_device_handle* handle, int interface);
    // Takes mutex_.
    void unpin() noexcept;

    size_t transfer(const char* operation, uint8_t endpoint, bool in, uint8_t* buffer, size_t length,
                    unsigned timeout_ms);
    // Runs the context's event handling until `t` has completed. Expects no lock.
    void wait_for_completion(libusb_transfer* t, int& completed);
    // Reads the serial-number string over `handle`. Expects no lock.
    std::optional<std::string> read_serial(libusb_device_handle* handle) const;
    Configuration read_configuration(const std::string& operation) const;

    const std::shared_ptr<Context> context_;
    libusb_device* const device_;  // one reference owned
    const libusb_device_descriptor descriptor_;

    std::mutex mutex_;
    std::condition_variable idle_;             // notified under mutex_ when users_ drops to 0 or closed_ is set
    libusb_device_handle* handle_ = nullptr;   // guarded by mutex_; changes only while users_ == 0
    unsigned users_ = 0;                       // guarded by mutex_: threads and asynchronous transfers using handle_ without the mutex
    unsigned outgoing_ = 0;                    // guarded by mutex_: asynchronous transfers among users_
    bool released_ = false;                    // guarded by mutex_: release() has begun
    bool closed_ = false;                      // guarded by mutex_: release() has finished
    std::set<int> claimed_;                    // guarded by mutex_
    // guarded by mutex_: submitted and not yet completed; a handful at most (one per
    // thread in a transfer, a few asynchronous ones), kept in a vector so that tracking
    // one seldom allocates
    std::vector<libusb_transfer*> in_flight_;
    std::optional<std::map<uint8_t, Route>> routes_;  // guarded by mutex_: endpoints of the active configuration
    bool serial_known_ = false;                // guarded by mutex_
    std::optional<std::string> serial_;        // guarded by mutex_; final once serial_known_
};

// Keeps the handle pinned (users_ counted) for the lifetime of the object, unless the
// owner unpins it itself (dismiss(), with users_ already counted down under the mutex).
class LibusbDevice::Pin {
public:
    explicit Pin(LibusbDevice& device) noexcept : device_(device) {}
    ~Pin() {
        if (armed_) device_.unpin();
    }
    void dismiss() noexcept { armed_ = false; }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

private:
    LibusbDevice& device_;
    bool armed_ = true;
};

}  // namespace zt::usb
