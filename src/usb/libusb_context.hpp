// The process's libusb context.
#pragma once

#include <libusb.h>

#include "usb/usb_device.hpp"

namespace zt::usb {

// Owns one libusb_context. Devices keep a reference, so the context outlives them.
class Context {
public:
    explicit Context(libusb_context* ctx) noexcept : ctx_(ctx) {}
    ~Context() { libusb_exit(ctx_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    libusb_context* get() const noexcept { return ctx_; }

private:
    libusb_context* const ctx_;
};

}  // namespace zt::usb
