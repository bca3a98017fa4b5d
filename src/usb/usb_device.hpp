// The USB access layer: a thin C++ interface over libusb-1.0. Nothing above this
// layer talks to libusb, and nothing here knows about packets, channels or Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zt::usb {

// Every failure of the layer. `code` is the libusb error code (LIBUSB_ERROR_*), or 0
// for a failure the layer detected itself; what() is a human-readable description.
class Error : public std::runtime_error {
public:
    Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// The code of a time-out (LIBUSB_ERROR_TIMEOUT), for time-outs reported from outside libusb.
inline constexpr int kTimeoutCode = -7;

// The errno value matching an Error's code, 0 when there is none.
int errno_for(int code) noexcept;

// Nothing arrived (or nothing could be sent) within the time-out.
class Timeout : public Error {
public:
    using Error::Error;
};

// The platform has no such operation (kernel-driver query and detach without kernel drivers).
class NotSupported : public Error {
public:
    using Error::Error;
};

// The caller asked for something the device cannot do (an endpoint address it does not
// have, a transfer against the endpoint's direction). Detected before any bus traffic, so
// nothing has changed on the device.
class InvalidArgument : public Error {
public:
    using Error::Error;
};

struct Endpoint {
    uint8_t address = 0;             // bEndpointAddress, direction bit included
    uint16_t max_packet_size = 0;    // wMaxPacketSize
    uint8_t attributes = 0;          // bmAttributes: transfer type in bits 0..1
};

struct Interface {
    int number = 0;
    std::vector<Endpoint> endpoints;  // descriptor order
};

struct Configuration {
    int value = 0;
    std::vector<Interface> interfaces;  // descriptor order, first alternate setting
};

class Context;

// The end of an asynchronous output transfer: the bytes the device took, and 0 or the
// LIBUSB_ERROR_* code of the failure (kTimeoutCode for a time-out).
using SentHandler = std::function<void(size_t transferred, int code)>;

// One attached USB device, opened on first need. Thread-safe: one thread may wait in
// read() while others call write(); serial_number() may be called from any thread.
class Device {
public:
    virtual ~Device() = default;

    // The serial-number string descriptor, read from the device on first need and then
    // cached; std::nullopt for a device without one. Never touches the bus once cached.
    virtual std::optional<std::string> serial_number() = 0;
    virtual uint16_t vendor_id() const = 0;
    virtual uint16_t product_id() const = 0;
    virtual uint8_t bus_number() const = 0;
    virtual uint8_t device_address() const = 0;

    virtual bool is_kernel_driver_active(int interface) = 0;  // NotSupported where unavailable
    virtual void detach_kernel_driver(int interface) = 0;     // NotSupported where unavailable
    virtual Configuration active_configuration() = 0;

    // One input transfer; returns the number of bytes received (possibly 0). Throws
    // Timeout when nothing arrived within timeout_ms (0: no limit), InvalidArgument for an
    // endpoint that is not an IN endpoint of the active configuration, Error for every
    // other failure. The interface holding the endpoint is claimed on the first transfer.
    // Blocks: call without the GIL.
    virtual size_t read(uint8_t endpoint, uint8_t* buffer, size_t length, unsigned timeout_ms) = 0;
    // One output transfer; returns the number of bytes transferred. Errors as for read.
    virtual size_t write(uint8_t endpoint, const uint8_t* data, size_t length, unsigned timeout_ms) = 0;
    // Starts one output transfer of `data` and returns without waiting: 0 once it is on its
    // way, or the LIBUSB_ERROR_* code of why it could not start (then `done` is never
    // called). `done` is called exactly once, on whichever thread handles the context's
    // events (the device's reader, or release()), with no lock of this layer held; it must
    // not block, and may start the next transfer. Never throws, so that callers built apart
    // from this layer need not know its exception types.
    // `owner` tags the transfer for cancel_writes().
    virtual int submit_write(uint8_t endpoint, std::vector<uint8_t> data, unsigned timeout_ms, SentHandler done,
                             const void* owner) noexcept = 0;
    // Asks every asynchronous output transfer of `owner` still on its way to stop; each
    // still ends through its handler, with what it had sent. Returns at once.
    virtual void cancel_writes(const void* owner) noexcept = 0;

    // Releases claimed interfaces and closes the handle. Transfers pending on other
    // threads are cancelled (they fail with Error), asynchronous ones too, and release
    // returns once they have left the handle (handling events itself meanwhile, since the
    // reader may be gone). A second call does nothing. Transfers and kernel-driver calls
    // afterwards fail with Error; serial_number() and active_configuration() still work.
    // Destroying the last reference releases too, so drop it without the GIL.
    virtual void release() = 0;
};

// The process's libusb context, created on first use (not at import, so a test
// harness can prepare an emulated bus first).
std::shared_ptr<Context> default_context();

// Every attached device with the two IDs, in enumeration order.
std::vector<std::shared_ptr<Device>> find_all(const std::shared_ptr<Context>& ctx, uint16_t vid, uint16_t pid);
// The first attached device with the two IDs whose serial-number string equals `serial`,
// or nullptr. A device whose serial number cannot be read is passed over; when no device
// matches, the first such failure (other than a device that has gone) is thrown.
std::shared_ptr<Device> find_by_serial(const std::shared_ptr<Context>& ctx, uint16_t vid, uint16_t pid,
                                       const std::string& serial);
// Every attached device with the two IDs whose serial-number string equals `serial`, in
// enumeration order; failures as for find_by_serial.
std::vector<std::shared_ptr<Device>> find_all_by_serial(const std::shared_ptr<Context>& ctx, uint16_t vid,
                                                        uint16_t pid, const std::string& serial);

// Path (or soname) of the libusb-1.0 library this process uses.
std::string library_path();

}  // namespace zt::usb
