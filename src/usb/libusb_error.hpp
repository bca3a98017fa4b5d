// Turning libusb result codes into the layer's typed errors.
#pragma once

#include <string>

namespace zt::usb {

// Throws the error for libusb result `code` (< 0) of `operation`: Timeout for
// LIBUSB_ERROR_TIMEOUT, NotSupported for LIBUSB_ERROR_NOT_SUPPORTED, Error otherwise. The
// message is "<operation>: <libusb_strerror(code)>" followed by `detail` when given.
[[noreturn]] void throw_libusb_error(const std::string& operation, int code, const std::string& detail = {});

}  // namespace zt::usb
