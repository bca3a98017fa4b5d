#include "usb/libusb_error.hpp"

#include <libusb.h>

#include "usb/usb_device.hpp"

namespace usb {

static_assert(kTimeoutCode == LIBUSB_ERROR_TIMEOUT);

void throw_libusb_error(const std::string& operation, int code, const std::string& detail) {
    std::string message = operation + ": " + libusb_strerror(code);
    if (!detail.empty()) message += " (" + detail + ")";
    switch (code) {
        case LIBUSB_ERROR_TIMEOUT:
            throw Timeout(code, message);
        case LIBUSB_ERROR_NOT_SUPPORTED:
            throw NotSupported(code, message);
        default:
            throw Error(code, message);
    }
}

}  // namespace usb
