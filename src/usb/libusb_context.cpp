#include "usb/libusb_context.hpp"

#include <dlfcn.h>

#include <mutex>

#include "usb/libusb_error.hpp"

namespace zt::usb {

std::shared_ptr<Context> default_context() {
    static std::mutex mutex;
    // Never destroyed: libusb_exit at static destruction would race reader threads and
    // handles that the interpreter still holds at exit.
    static auto* instance = new std::shared_ptr<Context>();  // guarded by mutex
    std::lock_guard<std::mutex> guard(mutex);
    if (!*instance) {
        libusb_context* ctx = nullptr;
        const int rc = libusb_init(&ctx);
        if (rc < 0) throw_libusb_error("initialise libusb", rc);
        *instance = std::make_shared<Context>(ctx);
    }
    return *instance;
}

std::string library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libusb_init), &info) != 0 && info.dli_fname && *info.dli_fname) {
        return info.dli_fname;
    }
    return "libusb-1.0.so.0";
}

}  // namespace zt::usb
