// Enumeration of attached devices by vendor and product ID.
#include <libusb.h>

#include <exception>
#include <memory>

#include "usb/libusb_context.hpp"
#include "usb/libusb_device.hpp"
#include "usb/libusb_error.hpp"

namespace zt::usb {
namespace {

struct DeviceListFree {
    void operator()(libusb_device** list) const noexcept { libusb_free_device_list(list, 1); }
};

// The devices of `candidates` whose serial number is `serial`; at most one when
// `first_only`. A device that cannot tell its serial number is passed over; if nothing
// matched, the first such failure is thrown (a device that went away meanwhile is not a
// failure).
std::vector<std::shared_ptr<Device>> select_by_serial(std::vector<std::shared_ptr<Device>> candidates,
                                                      const std::string& serial, bool first_only) {
    std::vector<std::shared_ptr<Device>> matches;
    std::exception_ptr failure;
    for (std::shared_ptr<Device>& device : candidates) {
        try {
            const std::optional<std::string> own = device->serial_number();
            if (own && *own == serial) {
                matches.push_back(std::move(device));
                if (first_only) break;
            }
        } catch (const Error& e) {
            if (e.code() != LIBUSB_ERROR_NO_DEVICE && !failure) failure = std::current_exception();
        }
    }
    if (matches.empty() && failure) std::rethrow_exception(failure);
    return matches;
}

}  // namespace

std::vector<std::shared_ptr<Device>> find_all(const std::shared_ptr<Context>& ctx, uint16_t vid, uint16_t pid) {
    if (!ctx) throw Error(0, "find: no libusb context");
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(ctx->get(), &raw);
    if (count < 0) throw_libusb_error("find", static_cast<int>(count));
    const std::unique_ptr<libusb_device*, DeviceListFree> list(raw);

    std::vector<std::shared_ptr<Device>> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(raw[i], &descriptor) < 0) continue;
        if (descriptor.idVendor != vid || descriptor.idProduct != pid) continue;
        found.push_back(std::make_shared<LibusbDevice>(ctx, raw[i], descriptor));
    }
    return found;
}

std::shared_ptr<Device> find_by_serial(const std::shared_ptr<Context>& ctx, uint16_t vid, uint16_t pid,
                                       const std::string& serial) {
    std::vector<std::shared_ptr<Device>> matches = select_by_serial(find_all(ctx, vid, pid), serial, true);
    return matches.empty() ? nullptr : std::move(matches.front());
}

std::vector<std::shared_ptr<Device>> find_all_by_serial(const std::shared_ptr<Context>& ctx, uint16_t vid,
                                                        uint16_t pid, const std::string& serial) {
    return select_by_serial(find_all(ctx, vid, pid), serial, false);
}

}  // namespace zt::usb
