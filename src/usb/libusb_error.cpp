#include "usb/libusb_error.hpp"

#include <libusb.h>

#include <cerrno>

#include "usb/usb_device.hpp"

namespace zt::usb {

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

int errno_for(int code) noexcept {
    switch (code) {
        case LIBUSB_ERROR_IO: return EIO;
        case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
        case LIBUSB_ERROR_ACCESS: return EACCES;
        case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
        case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
        case LIBUSB_ERROR_BUSY: return EBUSY;
        case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
        case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
        case LIBUSB_ERROR_PIPE: return EPIPE;
        case LIBUSB_ERROR_INTERRUPTED: return EINTR;
        case LIBUSB_ERROR_NO_MEM: return ENOMEM;
        case LIBUSB_ERROR_NOT_SUPPORTED: return ENOSYS;
        default: return 0;
    }
}

}  // namespace zt::usb
